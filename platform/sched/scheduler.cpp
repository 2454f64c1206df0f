#include "platform/sched/scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <ostream>
#include <sstream>

#include "platform/sched/context_switch.h"
#include "platform/sched/timer.h"

#if defined(__SANITIZE_ADDRESS__)
#define KALDRIT_FIBER_ANNOTATIONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KALDRIT_FIBER_ANNOTATIONS 1
#endif
#endif

#ifdef KALDRIT_FIBER_ANNOTATIONS
#include <sanitizer/common_interface_defs.h>
#endif

namespace platform {
namespace {

thread_local Scheduler* tCurrent = nullptr;

// The address sanitizer must be told about every stack switch, or it takes the
// fiber stacks for overflows of the thread's own stack.
void StartSwitch(void** fakeStackSave, const void* bottom, std::size_t size) {
#ifdef KALDRIT_FIBER_ANNOTATIONS
    __sanitizer_start_switch_fiber(fakeStackSave, bottom, size);
#endif
}
void FinishSwitch(void* fakeStack, const void** oldBottom, std::size_t* oldSize) {
#ifdef KALDRIT_FIBER_ANNOTATIONS
    __sanitizer_finish_switch_fiber(fakeStack, oldBottom, oldSize);
#endif
}

const char* StateName(FiberState state) {
    switch (state) {
        case FiberState::kReady:
            return "ready";
        case FiberState::kRunning:
            return "running";
        case FiberState::kBlocked:
            return "blocked";
        case FiberState::kFinished:
            return "finished";
    }
    return "?";
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const RunOutcome& outcome) {
    static const char* const kNames[] = {"finished", "time reached", "deadlock", "fault"};
    os << kNames[static_cast<int>(outcome.end)];
    if (!outcome.report.empty()) os << ":\n" << outcome.report;
    return os;
}

SchedulerOptions SchedulerOptions::FromEnvironment() {
    SchedulerOptions options;
    if (const char* seed = std::getenv("KALDRIT_STRESS_SEED"); seed && *seed) {
        options.stressSeed = std::strtoull(seed, nullptr, 0);
    }
    return options;
}

Waitable::~Waitable() {
    if (waiters_.empty()) return;
    // A waiter would be left holding a dangling object: end its wait and fail the run.
    Scheduler& scheduler = waiters_.front()->fiber->scheduler_;
    const std::string name = debugName_.empty() ? "an object" : "'" + debugName_ + "'";
    scheduler.FaultLater("fiber '" + waiters_.front()->fiber->Name() + "' waits for " + name +
                         ", which was destroyed");
    while (!waiters_.empty()) scheduler.FinishWait(*waiters_.front(), kWaitAborted);
}

void Waitable::WakeWaiters() {
    if (!waiters_.empty()) waiters_.front()->fiber->scheduler_.OnSignaled(*this);
}

Fiber::Fiber(Scheduler& scheduler, std::uint64_t id, std::string name, std::function<void()> body,
             std::size_t stackBytes)
    : scheduler_(scheduler),
      id_(id),
      name_(std::move(name)),
      body_(std::move(body)),
      stack_(std::make_unique<FiberStack>(stackBytes)) {}

std::string Fiber::Describe() const {
    return "thread '" + name_ + "'";
}

Scheduler::Scheduler(SchedulerOptions options) : options_(options) {
    if (options_.stressSeed) random_.emplace(*options_.stressSeed);
    timerFiber_ = &Spawn(
        "timers",
        [this] {
            for (;;) {
                RunTimerCallbacks();
                Wait({}, WaitType::kAny, kNever, "waiting for due timers");
            }
        },
        /*daemon=*/true);
}

Scheduler::~Scheduler() {
    Shutdown();
}

void Scheduler::Shutdown() {
    Scheduler* previous = tCurrent;
    tCurrent = this;
    faulted_ = true;
    UnwindAll();
    tCurrent = previous;
}

Scheduler* Scheduler::Current() {
    return tCurrent;
}

Fiber& Scheduler::Spawn(std::string name, std::function<void()> body, bool daemon) {
    fibers_.push_back(std::unique_ptr<Fiber>(
        new Fiber(*this, nextFiberId_++, std::move(name), std::move(body), options_.stackBytes)));
    Fiber& fiber = *fibers_.back();
    fiber.daemon_ = daemon;
    MakeReady(fiber);
    return fiber;
}

RunOutcome Scheduler::Run(Fiber* target, VirtualTime until) {
    if (current_ != nullptr) {
        std::fprintf(stderr, "Scheduler::Run called from fiber '%s'\n", current_->Name().c_str());
        std::abort();
    }
    Scheduler* previous = tCurrent;
    tCurrent = this;
    RunOutcome outcome;
    for (;;) {
        if (faulted_) {
            UnwindAll();
            outcome = {RunEnd::kFault, faultReport_};
            break;
        }
        if (target != nullptr && target->IsFinished()) {
            outcome = {RunEnd::kFinished, {}};
            break;
        }
        if (Fiber* next = PickReady()) {
            SwitchTo(*next);
            continue;
        }
        if (timers_.empty()) {
            if (target == nullptr) {
                // Idle: time still passes up to `until`.
                if (until != kNever) now_ = std::max(now_, until);
                outcome = {until == kNever ? RunEnd::kFinished : RunEnd::kTimeReached, {}};
                break;
            }
            faultReport_ = "deadlock at " + FormatVirtualTime(now_) +
                           ": every fiber waits and no deadline remains\n" + DescribeFibers() +
                           StressNote();
            faulted_ = true;
            UnwindAll();
            outcome = {RunEnd::kDeadlock, faultReport_};
            break;
        }
        const VirtualTime earliest = timers_.begin()->first.time;
        if (earliest > until) {
            now_ = std::max(now_, until);
            outcome = {RunEnd::kTimeReached, {}};
            break;
        }
        now_ = earliest;
        FireTimersAt(now_);
    }
    tCurrent = previous;
    return outcome;
}

// --- switching ---

void Scheduler::FiberMain() {
    Scheduler& scheduler = *tCurrent;
    Fiber& self = *scheduler.current_;
    FinishSwitch(nullptr, &scheduler.schedulerStackBottom_, &scheduler.schedulerStackSize_);
    try {
        self.body_();
    } catch (const FiberUnwind&) {
    } catch (const std::exception& e) {
        scheduler.FaultLater("fiber '" + self.Name() + "' threw: " + e.what());
    } catch (...) {
        scheduler.FaultLater("fiber '" + self.Name() + "' threw an unknown exception");
    }
    self.body_ = nullptr;
    self.state_ = FiberState::kFinished;
    scheduler.finishedFiber_ = &self;
    self.WakeWaiters();
    scheduler.SwitchToScheduler();
}

void Scheduler::SwitchTo(Fiber& fiber) {
    current_ = &fiber;
    fiber.state_ = FiberState::kRunning;
    if (!fiber.started_) {
        fiber.started_ = true;
        fiber.stackPointer_ =
            PrepareContext(fiber.stack_->Bottom(), fiber.stack_->Size(), &Scheduler::FiberMain);
    }
    if (switchHook_) switchHook_(&fiber);
    StartSwitch(&schedulerFakeStack_, fiber.stack_->Bottom(), fiber.stack_->Size());
    KaldritSwitchContext(&schedulerStackPointer_, fiber.stackPointer_);
    FinishSwitch(schedulerFakeStack_, nullptr, nullptr);
    current_ = nullptr;
    if (switchHook_) switchHook_(nullptr);
    if (finishedFiber_ != nullptr) {
        finishedFiber_->stack_.reset();
        finishedFiber_ = nullptr;
    }
}

void Scheduler::SwitchToScheduler() {
    Fiber& self = *current_;
    const bool finished = self.state_ == FiberState::kFinished;
    StartSwitch(finished ? nullptr : &self.fakeStack_, schedulerStackBottom_, schedulerStackSize_);
    KaldritSwitchContext(&self.stackPointer_, schedulerStackPointer_);
    FinishSwitch(self.fakeStack_, &schedulerStackBottom_, &schedulerStackSize_);
}

Fiber* Scheduler::PickReady() {
    if (ready_.empty()) return nullptr;
    std::size_t index = 0;
    if (random_) index = random_->Below(ready_.size());
    Fiber* fiber = ready_[index];
    ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(index));
    return fiber;
}

void Scheduler::MakeReady(Fiber& fiber) {
    fiber.state_ = FiberState::kReady;
    ready_.push_back(&fiber);
}

// --- waits ---

int Scheduler::FaultPoint() {
    // A wait inside a destructor that runs because of the unwinding must not throw
    // again; it fails instead.
    if (std::uncaught_exceptions() > 0) return kWaitAborted;
    throw FiberUnwind{};
}

int Scheduler::Wait(std::span<Waitable* const> objects, WaitType type, VirtualTime deadline,
                    const char* what) {
    Fiber* self = current_;
    if (faulted_) return FaultPoint();
    MaybePreempt();
    WaitRequest request{self, objects, type, deadline, what};
    if (TrySatisfy(request)) return request.result;
    if (deadline <= now_) return kWaitTimedOut;
    Block(request);
    if (faulted_) {
        if (self->wait_ != nullptr) FinishWait(request, kWaitAborted);
        ready_.erase(std::remove(ready_.begin(), ready_.end(), self), ready_.end());
        self->state_ = FiberState::kRunning;
        return FaultPoint();
    }
    return request.result;
}

void Scheduler::SleepUntil(VirtualTime deadline, const char* what) {
    Wait({}, WaitType::kAny, deadline, what);
}

void Scheduler::Yield() {
    if (faulted_) {
        FaultPoint();
        return;
    }
    MakeReady(*current_);
    SwitchToScheduler();
    if (faulted_) FaultPoint();
}

void Scheduler::MaybePreempt() {
    if (random_ && current_ != nullptr && !faulted_ && random_->OneIn(4)) Yield();
}

void Scheduler::Block(WaitRequest& request) {
    Fiber& self = *request.fiber;
    self.wait_ = &request;
    self.state_ = FiberState::kBlocked;
    for (Waitable* object : request.objects) object->waiters_.push_back(&request);
    if (request.deadline != kNever) {
        request.timerSequence = AddTimer(request.deadline, {.wait = &request});
        request.hasTimer = true;
    }
    SwitchToScheduler();
}

bool Scheduler::TrySatisfy(WaitRequest& request) {
    Fiber& fiber = *request.fiber;
    if (request.objects.empty()) return false;
    if (request.type == WaitType::kAny) {
        for (std::size_t i = 0; i < request.objects.size(); ++i) {
            if (request.objects[i]->IsSignaledFor(fiber)) {
                request.objects[i]->Acquire(fiber);
                request.result = static_cast<int>(i);
                return true;
            }
        }
        return false;
    }
    for (Waitable* object : request.objects) {
        if (!object->IsSignaledFor(fiber)) return false;
    }
    for (Waitable* object : request.objects) object->Acquire(fiber);
    request.result = 0;
    return true;
}

void Scheduler::FinishWait(WaitRequest& request, int result) {
    for (Waitable* object : request.objects) {
        auto& list = object->waiters_;
        list.erase(std::remove(list.begin(), list.end(), &request), list.end());
    }
    if (request.hasTimer) {
        timers_.erase({request.deadline, request.timerSequence});
        request.hasTimer = false;
    }
    request.result = result;
    request.fiber->wait_ = nullptr;
    MakeReady(*request.fiber);
}

void Scheduler::OnSignaled(Waitable& object) {
    auto& waiters = object.waiters_;
    for (std::size_t i = 0; i < waiters.size();) {
        WaitRequest& request = *waiters[i];
        if (TrySatisfy(request)) {
            FinishWait(request, request.result);  // removes it from `waiters`
        } else {
            ++i;
        }
    }
}

// --- timers ---

std::uint64_t Scheduler::AddTimer(VirtualTime time, TimerEntry entry) {
    const std::uint64_t sequence = nextTimerSequence_++;
    timers_.emplace(TimerKey{time, sequence}, entry);
    return sequence;
}

void Scheduler::FireTimersAt(VirtualTime time) {
    while (!timers_.empty() && timers_.begin()->first.time <= time) {
        const TimerEntry entry = timers_.begin()->second;
        timers_.erase(timers_.begin());
        if (entry.wait != nullptr) {
            entry.wait->hasTimer = false;
            FinishWait(*entry.wait, kWaitTimedOut);
            continue;
        }
        Timer& timer = *entry.timer;
        if (!timer.queued_) {
            timer.queued_ = true;
            dueTimers_.push_back(&timer);
        }
        if (timer.period_ > 0) {
            timer.due_ += timer.period_;
            timer.sequence_ = AddTimer(timer.due_, {.timer = &timer});
        } else {
            timer.armed_ = false;
        }
    }
    if (!dueTimers_.empty() && timerFiber_->wait_ != nullptr) {
        FinishWait(*timerFiber_->wait_, 0);
    }
}

void Scheduler::RunTimerCallbacks() {
    while (!dueTimers_.empty()) {
        Timer* timer = dueTimers_.front();
        dueTimers_.erase(dueTimers_.begin());
        timer->queued_ = false;
        // A copy: the callback may re-arm or even destroy its timer.
        const std::function<void()> callback = timer->callback_;
        callback();
    }
}

// --- faults ---

void Scheduler::Fault(std::string report) {
    FaultLater(std::move(report));
    if (current_ == nullptr) {
        std::fprintf(stderr, "%s\n", faultReport_.c_str());
        std::abort();
    }
    if (std::uncaught_exceptions() == 0) throw FiberUnwind{};
    // Already unwinding: this fiber cannot unwind twice, so it is abandoned.
    current_->state_ = FiberState::kFinished;
    current_->WakeWaiters();
    SwitchToScheduler();
    std::abort();  // never resumed
}

void Scheduler::FaultLater(std::string report) {
    if (faulted_) return;
    faulted_ = true;
    faultReport_ = std::move(report);
    if (current_ != nullptr) {
        faultReport_ +=
            "\n  (in fiber '" + current_->Name() + "' at " + FormatVirtualTime(now_) + ")";
    }
    faultReport_ += StressNote();
}

void Scheduler::UnwindAll() {
    // Resume every live fiber once more; its scheduling point throws FiberUnwind.
    // A fiber that never ran has nothing to unwind.
    for (bool again = true; again;) {
        again = false;
        for (std::size_t i = 0; i < fibers_.size(); ++i) {
            Fiber& fiber = *fibers_[i];
            if (fiber.IsFinished()) continue;
            if (!fiber.started_) {
                fiber.body_ = nullptr;
                fiber.state_ = FiberState::kFinished;
                fiber.stack_.reset();
                continue;
            }
            if (fiber.wait_ != nullptr) FinishWait(*fiber.wait_, kWaitAborted);
            ready_.erase(std::remove(ready_.begin(), ready_.end(), &fiber), ready_.end());
            SwitchTo(fiber);
            again = true;
        }
    }
    ready_.clear();
    dueTimers_.clear();
}

std::string Scheduler::StressNote() const {
    if (!options_.stressSeed) return {};
    return "\n  (stress seed " + std::to_string(*options_.stressSeed) +
           ": set KALDRIT_STRESS_SEED=" + std::to_string(*options_.stressSeed) + " to replay)";
}

std::string Scheduler::DescribeFibers() const {
    std::ostringstream out;
    for (const auto& fiber : fibers_) {
        if (fiber->IsFinished() || fiber->daemon_) continue;
        out << "  fiber '" << fiber->Name() << "': ";
        const WaitRequest* wait = fiber->wait_;
        if (wait == nullptr) {
            out << StateName(fiber->State()) << "\n";
            continue;
        }
        out << wait->what;
        if (!wait->objects.empty()) {
            out << (wait->type == WaitType::kAll ? " for all of " : " for ");
            for (std::size_t i = 0; i < wait->objects.size(); ++i) {
                if (i > 0) out << (wait->type == WaitType::kAll ? ", " : " or ");
                const Waitable& object = *wait->objects[i];
                out << object.Describe();
                if (!object.DebugName().empty()) out << " '" << object.DebugName() << "'";
            }
        }
        if (wait->deadline == kNever) {
            out << ", no deadline\n";
        } else {
            out << ", until " << FormatVirtualTime(wait->deadline) << "\n";
        }
    }
    return out.str();
}

// --- Timer ---

Timer::Timer(Scheduler& scheduler, std::string name, std::function<void()> callback)
    : scheduler_(scheduler), name_(std::move(name)), callback_(std::move(callback)) {}

Timer::~Timer() {
    Cancel();
}

void Timer::Start(VirtualTime due, VirtualTime period) {
    Cancel();
    due_ = due;
    period_ = period;
    armed_ = true;
    sequence_ = scheduler_.AddTimer(due_, {.timer = this});
}

void Timer::Cancel() {
    if (armed_) {
        scheduler_.timers_.erase({due_, sequence_});
        armed_ = false;
    }
    if (queued_) {
        auto& due = scheduler_.dueTimers_;
        due.erase(std::remove(due.begin(), due.end(), this), due.end());
        queued_ = false;
    }
}

std::string FormatVirtualTime(VirtualTime time) {
    char text[40];
    const char* sign = time < 0 ? "-" : "";
    const auto magnitude = static_cast<unsigned long long>(time < 0 ? -time : time);
    std::snprintf(text, sizeof text, "%s%llu.%07llu s", sign, magnitude / kSecond,
                  magnitude % kSecond);
    return text;
}

}  // namespace platform
