// A fiber: one simulated thread. It runs on its own guarded stack until it reaches
// a scheduling point, where the scheduler switches to the next ready fiber. The
// scheduler owns every fiber; a fiber is itself a waitable that is signalled when
// its function has returned, so a thread can be joined.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/sched/fiber_stack.h"
#include "platform/sched/virtual_time.h"
#include "platform/sched/waitable.h"

namespace platform {

class Scheduler;

enum class FiberState { kReady, kRunning, kBlocked, kFinished };

// Per-fiber slots for the layers above (the kernel keeps each thread's IRQL there).
inline constexpr int kFiberLocalSlots = 4;

class Fiber final : public Waitable {
  public:
    const std::string& Name() const { return name_; }
    std::uint64_t Id() const { return id_; }
    FiberState State() const { return state_; }
    bool IsFinished() const { return state_ == FiberState::kFinished; }
    // The wait this fiber is blocked in, or null.
    const WaitRequest* CurrentWait() const { return wait_; }

    void* Local(int slot) const { return locals_[slot]; }
    void SetLocal(int slot, void* value) { locals_[slot] = value; }

    bool IsSignaledFor(const Fiber&) const override { return IsFinished(); }
    std::string Describe() const override;

  private:
    friend class Scheduler;
    friend class Waitable;
    Fiber(Scheduler& scheduler, std::uint64_t id, std::string name, std::function<void()> body,
          std::size_t stackBytes);

    Scheduler& scheduler_;
    std::uint64_t id_;
    std::string name_;
    std::function<void()> body_;
    std::unique_ptr<FiberStack> stack_;
    void* stackPointer_ = nullptr;  // saved while the fiber is not running
    FiberState state_ = FiberState::kReady;
    WaitRequest* wait_ = nullptr;
    bool started_ = false;
    bool daemon_ = false;
    void* fakeStack_ = nullptr;  // the sanitizer's record of this fiber's fake stack
    std::array<void*, kFiberLocalSlots> locals_{};
};

}  // namespace platform
