// The scheduler: runs every fiber of one machine on one OS thread and keeps virtual
// time. A fiber runs until it reaches a scheduling point (a wait, a yield, a spin on
// a held lock); then the next ready fiber runs, oldest first, or in stress mode one
// picked at random from the seed. Time moves only when no fiber can run: it jumps to
// the earliest deadline or timer. When nothing can run and no deadline remains while
// the fiber being run for has not finished, the run stops with a deadlock report.
//
// A run also stops when a fiber reports a fault (the verifier does): every fiber is
// then unwound, its destructors run, and the run's outcome carries the report.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/sched/fiber.h"
#include "platform/sched/stress_random.h"
#include "platform/sched/virtual_time.h"
#include "platform/sched/waitable.h"

namespace platform {

class Timer;

enum class WaitType { kAny, kAll };

// The result of a wait: the index of the object that satisfied a wait-any, 0 for a
// satisfied wait-all, or one of these.
inline constexpr int kWaitTimedOut = -1;
inline constexpr int kWaitAborted = -2;  // the run is being torn down

// One blocked wait; it lives on the waiting fiber's stack.
struct WaitRequest {
    Fiber* fiber;
    std::span<Waitable* const> objects;
    WaitType type;
    VirtualTime deadline;  // kNever for none
    const char* what;      // the call that waits, for reports
    int result = kWaitTimedOut;
    std::uint64_t timerSequence = 0;  // with deadline, its key in the timer map
    bool hasTimer = false;
};

// Why a run ended.
enum class RunEnd { kFinished, kTimeReached, kDeadlock, kFault };

struct RunOutcome {
    RunEnd end = RunEnd::kFinished;
    std::string report;  // the deadlock or fault report, empty otherwise

    bool Ok() const { return end == RunEnd::kFinished || end == RunEnd::kTimeReached; }
};
std::ostream& operator<<(std::ostream& os, const RunOutcome& outcome);

struct SchedulerOptions {
    // Stress mode: with a seed, ready fibers are picked at random and fibers are
    // switched at random scheduling points. KALDRIT_STRESS_SEED sets it from outside
    // for machines (FromEnvironment), so a failing run can be replayed from the shell.
    std::optional<std::uint64_t> stressSeed;
    std::size_t stackBytes = 512 * 1024;

    static SchedulerOptions FromEnvironment();
};

// Thrown through a fiber to unwind it when the run stops; caught at the fiber's base.
struct FiberUnwind {};

class Scheduler {
  public:
    explicit Scheduler(SchedulerOptions options = {});
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // The scheduler running on this OS thread, or null outside any run.
    static Scheduler* Current();

    // A new fiber, ready to run. A daemon fiber (a worker waiting for work) does not
    // count as blocked in a deadlock report.
    Fiber& Spawn(std::string name, std::function<void()> body, bool daemon = false);

    // Runs fibers until `target` has finished, virtual time passes `until`, a
    // deadlock, or a fault. Called from outside any fiber.
    [[nodiscard]] RunOutcome Run(Fiber* target, VirtualTime until = kNever);

    VirtualTime Now() const { return now_; }
    // The running fiber; null in the scheduler itself.
    Fiber* CurrentFiber() const { return current_; }
    const std::vector<std::unique_ptr<Fiber>>& Fibers() const { return fibers_; }
    std::optional<std::uint64_t> StressSeed() const { return options_.stressSeed; }

    // --- scheduling points, for fibers ---

    // Blocks until the objects satisfy `type` or `deadline` passes. Returns the
    // index (kAny), 0 (kAll), kWaitTimedOut, or kWaitAborted while unwinding.
    int Wait(std::span<Waitable* const> objects, WaitType type, VirtualTime deadline,
             const char* what);
    void SleepUntil(VirtualTime deadline, const char* what = "sleep");
    // Lets every other ready fiber run first.
    void Yield();
    // In stress mode, sometimes yields; a no-op otherwise. Platform operations that a
    // real machine could interleave (releasing a lock, signalling) call it.
    void MaybePreempt();

    // Stops the run: the current fiber is unwound at once (when in a fiber), every
    // other fiber at its next scheduling point. Only the first report is kept.
    [[noreturn]] void Fault(std::string report);
    void FaultLater(std::string report);  // for where unwinding cannot start (signal handlers)
    bool IsFaulted() const { return faulted_; }
    // A safe point: unwinds the running fiber when the run has faulted.
    void CheckFault() {
        if (faulted_ && current_ != nullptr) FaultPoint();
    }

    // Called with the fiber about to run, after every switch (null: the scheduler).
    void SetSwitchHook(std::function<void(Fiber*)> hook) { switchHook_ = std::move(hook); }

    // Unwinds every live fiber so its destructors run; the scheduler stays faulted.
    // The destructor does it too; owners call it first when fibers may still need
    // what the owner is about to destroy.
    void Shutdown();

    // A report of every unfinished fiber and what it waits for.
    std::string DescribeFibers() const;

  private:
    friend class Waitable;
    friend class Timer;
    friend class Fiber;

    struct TimerKey {
        VirtualTime time;
        std::uint64_t sequence;
        friend auto operator<=>(const TimerKey&, const TimerKey&) = default;
    };
    struct TimerEntry {
        WaitRequest* wait = nullptr;  // a deadline of a blocked wait, or
        Timer* timer = nullptr;       // a timer's due time
    };
    using TimerMap = std::map<TimerKey, TimerEntry>;

    static void FiberMain();
    void SwitchTo(Fiber& fiber);
    void SwitchToScheduler();
    void Block(WaitRequest& request);
    void MakeReady(Fiber& fiber);
    bool TrySatisfy(WaitRequest& request);
    void FinishWait(WaitRequest& request, int result);
    void OnSignaled(Waitable& object);
    std::uint64_t AddTimer(VirtualTime time, TimerEntry entry);
    void FireTimersAt(VirtualTime time);
    void RunTimerCallbacks();
    void UnwindAll();
    int FaultPoint();
    Fiber* PickReady();
    std::string StressNote() const;

    SchedulerOptions options_;
    std::optional<StressRandom> random_;
    VirtualTime now_ = 0;
    std::uint64_t nextFiberId_ = 1;
    std::uint64_t nextTimerSequence_ = 0;
    std::vector<std::unique_ptr<Fiber>> fibers_;
    std::deque<Fiber*> ready_;
    TimerMap timers_;
    std::vector<Timer*> dueTimers_;  // waiting for the timer fiber
    Fiber* timerFiber_ = nullptr;
    Fiber* current_ = nullptr;
    void* schedulerStackPointer_ = nullptr;
    void* schedulerFakeStack_ = nullptr;
    const void* schedulerStackBottom_ = nullptr;
    std::size_t schedulerStackSize_ = 0;
    Fiber* finishedFiber_ = nullptr;  // its stack is freed once we have left it
    bool faulted_ = false;
    std::string faultReport_;
    std::function<void(Fiber*)> switchHook_;
    Scheduler* previousCurrent_ = nullptr;
};

}  // namespace platform
