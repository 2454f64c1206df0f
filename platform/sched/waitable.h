// Something a fiber can wait for: the common part of events, mutexes, semaphores,
// threads and every other object a platform wait takes. Each kind says when a fiber
// may take it and what taking it does; the scheduler does the queueing.
#pragma once

#include <string>
#include <vector>

namespace platform {

class Fiber;
struct WaitRequest;

class Waitable {
  public:
    Waitable() = default;
    Waitable(const Waitable&) = delete;
    Waitable& operator=(const Waitable&) = delete;
    virtual ~Waitable();

    // True when a wait by `fiber` on this object would be satisfied now.
    virtual bool IsSignaledFor(const Fiber& fiber) const = 0;
    // A wait by `fiber` was satisfied: a synchronisation event resets, a mutex
    // becomes owned. Nothing for objects that stay signalled.
    virtual void Acquire(Fiber& fiber) {}
    // What the object is and its state, for deadlock reports.
    virtual std::string Describe() const = 0;

    // An optional name for reports ("idle event").
    void SetDebugName(std::string name) { debugName_ = std::move(name); }
    const std::string& DebugName() const { return debugName_; }

    // Fibers waiting for this object, oldest first.
    const std::vector<WaitRequest*>& Waiters() const { return waiters_; }

    // To be called after any change that may satisfy a waiter.
    void WakeWaiters();

  private:
    friend class Scheduler;
    std::vector<WaitRequest*> waiters_;
    std::string debugName_;
};

}  // namespace platform
