#include "platform/kernel/dispatcher.h"

#include "platform/kernel/kernel.h"
#include "platform/kernel/verifier.h"

using platform::Kernel;
using platform::Violation;
using platform::VirtualTime;

std::string KEVENT::Describe() const {
    return std::string(type == NotificationEvent ? "notification" : "synchronization") +
           " event (" + (signaled ? "signalled" : "not signalled") + ")";
}

std::string KMUTEX::Describe() const {
    return owner ? "kernel mutex held by '" + owner->Name() + "'" : "kernel mutex (free)";
}

void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state) {
    event->type = type;
    event->signaled = state != 0;
}

LONG KeSetEvent(KEVENT* event, KPRIORITY, BOOLEAN) {
    const LONG previous = event->signaled ? 1 : 0;
    event->Signal();
    if (auto* scheduler = platform::Scheduler::Current()) scheduler->MaybePreempt();
    return previous;
}

LONG KeResetEvent(KEVENT* event) {
    const LONG previous = event->signaled ? 1 : 0;
    event->signaled = false;
    return previous;
}

void KeClearEvent(KEVENT* event) {
    event->signaled = false;
}

LONG KeReadStateEvent(KEVENT* event) {
    return event->signaled ? 1 : 0;
}

void KeInitializeMutex(KMUTEX* mutex, ULONG) {
    mutex->owner = nullptr;
    mutex->recursion = 0;
}

LONG KeReleaseMutex(KMUTEX* mutex, BOOLEAN) {
    Kernel& kernel = Kernel::Current();
    if (mutex->owner != kernel.scheduler().CurrentFiber()) {
        platform::VerifierViolation(Violation::kReleaseNotHeld,
                                    "KeReleaseMutex of a " + mutex->Describe() + " by '" +
                                        kernel.CurrentThreadName() + "'");
    }
    const LONG previous = mutex->recursion;
    mutex->ReleaseByOwner();
    kernel.scheduler().MaybePreempt();
    return previous;
}

LONG KeReadStateMutex(KMUTEX* mutex) {
    return mutex->owner == nullptr ? 1 : 0;
}

namespace {

VirtualTime Deadline(const Kernel& kernel, PLARGE_INTEGER timeout, VirtualTime now) {
    if (timeout == nullptr) return platform::kNever;
    const LONGLONG value = timeout->QuadPart;
    if (value < 0) return now - value;
    return value - Kernel::kBootSystemTime;  // absolute system time; a past one polls
}

// The verifier's rules for every kernel wait.
void CheckWait(Kernel& kernel, DispatcherObject* const* objects, ULONG count,
               PLARGE_INTEGER timeout, const char* what) {
    const KIRQL irql = kernel.CurrentThread().irql;
    if (irql < DISPATCH_LEVEL) return;
    for (ULONG i = 0; i < count; ++i) {
        if (dynamic_cast<KMUTEX*>(objects[i]) != nullptr) {
            platform::VerifierViolation(
                Violation::kMutexAtDispatch,
                std::string(what) + " for a kernel mutex at " + platform::IrqlName(irql));
        }
    }
    if (timeout == nullptr || timeout->QuadPart != 0) {
        platform::VerifierViolation(
            Violation::kWaitAtDispatch,
            std::string(what) + (timeout ? " with a non-zero time-out" : " without a time-out") +
                " at " + platform::IrqlName(irql));
    }
}

NTSTATUS Wait(DispatcherObject* const* objects, ULONG count, platform::WaitType type,
              PLARGE_INTEGER timeout, const char* what) {
    Kernel& kernel = Kernel::Current();
    CheckWait(kernel, objects, count, timeout, what);
    platform::Scheduler& scheduler = kernel.scheduler();
    platform::Waitable* waitables[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < count; ++i) waitables[i] = objects[i];
    const int result =
        scheduler.Wait({waitables, count}, type, Deadline(kernel, timeout, scheduler.Now()), what);
    if (result == platform::kWaitTimedOut) return STATUS_TIMEOUT;
    if (result == platform::kWaitAborted) return STATUS_UNSUCCESSFUL;
    return STATUS_WAIT_0 + result;
}

}  // namespace

NTSTATUS KeWaitForSingleObject(DispatcherObject* object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER timeout) {
    return Wait(&object, 1, platform::WaitType::kAny, timeout, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG count, DispatcherObject* objects[], WAIT_TYPE waitType,
                                  KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout,
                                  void*) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        platform::VerifierViolation(Violation::kIrqlMisuse, "KeWaitForMultipleObjects with " +
                                                                std::to_string(count) +
                                                                " objects (1 to 64 allowed)");
    }
    return Wait(objects, count,
                waitType == WaitAll ? platform::WaitType::kAll : platform::WaitType::kAny, timeout,
                "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
    Kernel& kernel = Kernel::Current();
    CheckWait(kernel, nullptr, 0, interval, "KeDelayExecutionThread");
    platform::Scheduler& scheduler = kernel.scheduler();
    scheduler.SleepUntil(Deadline(kernel, interval, scheduler.Now()), "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

ULONGLONG KeQueryInterruptTime() {
    return static_cast<ULONGLONG>(Kernel::Current().scheduler().Now());
}

void KeQuerySystemTime(PLARGE_INTEGER currentTime) {
    currentTime->QuadPart = Kernel::kBootSystemTime + Kernel::Current().scheduler().Now();
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency) {
    if (performanceFrequency != nullptr) performanceFrequency->QuadPart = 10'000'000;
    LARGE_INTEGER counter;
    counter.QuadPart = Kernel::Current().scheduler().Now();
    return counter;
}

ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution) {
    return Kernel::Current().SetTimerResolution(desiredTime, setResolution != 0);
}
