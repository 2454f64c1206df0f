// A timer: a callback run at a virtual time, once or periodically. Callbacks run one
// after another on the scheduler's timer fiber, in due-time order; a callback may
// signal, start fibers and re-arm timers, and should not block.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/sched/virtual_time.h"

namespace platform {

class Scheduler;

class Timer {
  public:
    Timer(Scheduler& scheduler, std::string name, std::function<void()> callback);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Arms the timer for `due` (absolute virtual time), then every `period` if non-zero.
    // Re-arming an armed timer moves it.
    void Start(VirtualTime due, VirtualTime period = 0);
    void Cancel();
    bool IsArmed() const { return armed_; }
    VirtualTime Due() const { return due_; }
    const std::string& Name() const { return name_; }

  private:
    friend class Scheduler;
    Scheduler& scheduler_;
    std::string name_;
    std::function<void()> callback_;
    VirtualTime due_ = 0;
    VirtualTime period_ = 0;
    bool armed_ = false;
    bool queued_ = false;         // due and waiting for the timer fiber
    std::uint64_t sequence_ = 0;  // with due_, its key in the scheduler's timer map
};

}  // namespace platform
