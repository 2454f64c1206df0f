// Interlocked operations. Fibers share one OS thread, so atomicity is given; what
// matters is that the operations are the scheduling points a real machine would
// interleave at, which the stress mode exercises.
#pragma once

#include "platform/core/types.h"
#include "platform/sched/scheduler.h"

namespace platform::detail {
inline void InterlockedPoint() {
    if (Scheduler* scheduler = Scheduler::Current()) scheduler->MaybePreempt();
}
template <typename T, typename F>
T Interlocked(volatile T* target, F operation) {
    const T result = operation(const_cast<T*>(target));
    InterlockedPoint();
    return result;
}
}  // namespace platform::detail

// Each gives the new value, as on Windows.
inline LONG InterlockedIncrement(volatile LONG* target) {
    return platform::detail::Interlocked(
        target, [](LONG* t) { return __atomic_add_fetch(t, 1, __ATOMIC_SEQ_CST); });
}
inline LONG InterlockedDecrement(volatile LONG* target) {
    return platform::detail::Interlocked(
        target, [](LONG* t) { return __atomic_sub_fetch(t, 1, __ATOMIC_SEQ_CST); });
}
inline LONGLONG InterlockedIncrement64(volatile LONGLONG* target) {
    return platform::detail::Interlocked(
        target, [](LONGLONG* t) { return __atomic_add_fetch(t, 1, __ATOMIC_SEQ_CST); });
}
inline LONGLONG InterlockedDecrement64(volatile LONGLONG* target) {
    return platform::detail::Interlocked(
        target, [](LONGLONG* t) { return __atomic_sub_fetch(t, 1, __ATOMIC_SEQ_CST); });
}
// These give the previous value, as on Windows.
inline LONG InterlockedExchange(volatile LONG* target, LONG value) {
    return platform::detail::Interlocked(
        target, [value](LONG* t) { return __atomic_exchange_n(t, value, __ATOMIC_SEQ_CST); });
}
inline LONG InterlockedExchangeAdd(volatile LONG* target, LONG value) {
    return platform::detail::Interlocked(
        target, [value](LONG* t) { return __atomic_fetch_add(t, value, __ATOMIC_SEQ_CST); });
}
inline LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) {
    return platform::detail::Interlocked(target, [=](LONG* t) {
        LONG expected = comparand;
        __atomic_compare_exchange_n(t, &expected, exchange, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST);
        return expected;
    });
}
inline LONG InterlockedOr(volatile LONG* target, LONG value) {
    return platform::detail::Interlocked(
        target, [value](LONG* t) { return __atomic_fetch_or(t, value, __ATOMIC_SEQ_CST); });
}
inline LONG InterlockedAnd(volatile LONG* target, LONG value) {
    return platform::detail::Interlocked(
        target, [value](LONG* t) { return __atomic_fetch_and(t, value, __ATOMIC_SEQ_CST); });
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return platform::detail::Interlocked(
        target, [value](PVOID* t) { return __atomic_exchange_n(t, value, __ATOMIC_SEQ_CST); });
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange,
                                               PVOID comparand) {
    return platform::detail::Interlocked(target, [=](PVOID* t) {
        PVOID expected = comparand;
        __atomic_compare_exchange_n(t, &expected, exchange, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST);
        return expected;
    });
}
