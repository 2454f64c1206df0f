// The simulated Windows kernel of one machine: each thread's IRQL, the pool, the
// verifier's record, the timer resolution, and the handle table of system threads.
// Kernel routines (Ke*, Ex*, Ps*) find it as the running machine's kernel, as on
// Windows they act on "this machine"; nothing passes it around.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "platform/core/types.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/verifier.h"
#include "platform/sched/scheduler.h"

struct KTHREAD;

namespace platform {

// What the kernel keeps for each fiber.
struct KernelThread {
    KIRQL irql = PASSIVE_LEVEL;
    KTHREAD* thread = nullptr;  // the thread object of a system thread
};

struct TimerResolutionRequest {
    VirtualTime at;
    ULONG desired100ns;
    bool set;
};

class Kernel {
  public:
    explicit Kernel(Scheduler& scheduler);
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The kernel of the machine running on this OS thread; a kernel call outside any
    // machine is a programming error and aborts with a message.
    static Kernel& Current();
    static Kernel* CurrentOrNull();
    // Makes `kernel` current until the scope ends.
    class Scope {
      public:
        explicit Scope(Kernel& kernel);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        Kernel* previous_;
    };

    Scheduler& scheduler() { return scheduler_; }
    Pool& pool() { return pool_; }

    // The running fiber's kernel state.
    KernelThread& CurrentThread();
    // Sets the running fiber's IRQL and follows it with the paged-pool guard.
    void SetIrql(KIRQL irql);
    // The running fiber's name, for reports.
    std::string CurrentThreadName() const;

    void RecordViolation(Violation violation) { lastViolation_ = violation; }
    std::optional<Violation> LastViolation() const { return lastViolation_; }

    // ExSetTimerResolution: the requests, and the resolution in effect.
    ULONG SetTimerResolution(ULONG desired100ns, bool set);
    ULONG TimerResolution() const;
    const std::vector<TimerResolutionRequest>& TimerResolutionRequests() const {
        return timerRequests_;
    }

    // System time (100-ns units since 1601, as KeQuerySystemTime gives it) at boot.
    static constexpr LONGLONG kBootSystemTime = 130'017'312'000'000'000;  // 2013-01-07

    HANDLE AddHandle(KTHREAD* thread);
    KTHREAD* LookupHandle(HANDLE handle) const;
    bool CloseHandle(HANDLE handle);
    // Thread objects live as long as the kernel: a handle or pointer to one stays valid.
    KTHREAD& NewThreadObject();

  private:
    void OnSwitch(Fiber* fiber);

    Scheduler& scheduler_;
    Pool pool_;
    std::deque<KernelThread> threads_;
    KernelThread outsideFibers_;
    std::optional<Violation> lastViolation_;
    std::vector<TimerResolutionRequest> timerRequests_;
    std::multiset<ULONG> activeResolutions_;
    std::map<ULONG_PTR, KTHREAD*> handles_;
    ULONG_PTR nextHandle_ = 4;
    std::vector<std::unique_ptr<KTHREAD>> threadObjects_;
    Kernel* previousCurrent_ = nullptr;
};

}  // namespace platform
