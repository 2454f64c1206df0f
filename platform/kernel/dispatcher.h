// Dispatcher objects (events, mutexes, threads) and the kernel waits on them.
// Time-outs follow Windows: negative is relative, in 100-ns units; positive is an
// absolute system time; zero polls; none waits for ever.
#pragma once

#include <string>

#include "platform/core/status.h"
#include "platform/core/types.h"
#include "platform/sched/waitable.h"

enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };
enum WAIT_TYPE { WaitAll, WaitAny };
enum KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 };
enum KPROCESSOR_MODE { KernelMode = 0, UserMode = 1 };
using KPRIORITY = LONG;

inline constexpr ULONG MAXIMUM_WAIT_OBJECTS = 64;
inline constexpr KPRIORITY IO_NO_INCREMENT = 0;

// The common base every waitable kernel object has.
class DispatcherObject : public platform::Waitable {};

struct KEVENT final : DispatcherObject {
    EVENT_TYPE type = NotificationEvent;
    bool signaled = false;

    bool IsSignaledFor(const platform::Fiber&) const override { return signaled; }
    void Acquire(platform::Fiber&) override {
        if (type == SynchronizationEvent) signaled = false;
    }
    std::string Describe() const override;
    void Signal() {
        signaled = true;
        WakeWaiters();
    }
};

struct KMUTEX final : DispatcherObject {
    const platform::Fiber* owner = nullptr;
    LONG recursion = 0;

    bool IsSignaledFor(const platform::Fiber& fiber) const override {
        return owner == nullptr || owner == &fiber;
    }
    void Acquire(platform::Fiber& fiber) override {
        owner = &fiber;
        ++recursion;
    }
    std::string Describe() const override;
    void ReleaseByOwner() {
        if (--recursion == 0) {
            owner = nullptr;
            WakeWaiters();
        }
    }
};

using PKEVENT = KEVENT*;
using PKMUTEX = KMUTEX*;

void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state);
// Signals the event; gives its previous state.
LONG KeSetEvent(KEVENT* event, KPRIORITY increment, BOOLEAN wait);
LONG KeResetEvent(KEVENT* event);
void KeClearEvent(KEVENT* event);
LONG KeReadStateEvent(KEVENT* event);

void KeInitializeMutex(KMUTEX* mutex, ULONG level);
// The owner may acquire again; each acquisition needs its release.
LONG KeReleaseMutex(KMUTEX* mutex, BOOLEAN wait);
LONG KeReadStateMutex(KMUTEX* mutex);

// STATUS_SUCCESS (or STATUS_WAIT_0 + i for a wait-any), STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(DispatcherObject* object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG count, DispatcherObject* objects[], WAIT_TYPE waitType,
                                  KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                                  PLARGE_INTEGER timeout, void* waitBlockArray);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);

// Interrupt time: 100-ns units since boot.
ULONGLONG KeQueryInterruptTime();
void KeQuerySystemTime(PLARGE_INTEGER currentTime);
// The counter runs at 10 MHz, so it reads as interrupt time.
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency);
// Requests (set) or withdraws a timer resolution; gives the one in effect.
ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution);
