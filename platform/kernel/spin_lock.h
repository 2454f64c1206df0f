// Spin locks. Every fiber stands for a processor of its own, so a lock held by one
// fiber makes another spin: the spinner waits (a scheduling point) until the holder
// releases, and a deadlock report shows who holds what.
#pragma once

#include <string>

#include "platform/kernel/irql.h"
#include "platform/sched/waitable.h"

struct KSPIN_LOCK final : platform::Waitable {
    const platform::Fiber* holder = nullptr;

    bool IsSignaledFor(const platform::Fiber&) const override { return holder == nullptr; }
    void Acquire(platform::Fiber& fiber) override { holder = &fiber; }
    std::string Describe() const override;
};
using PKSPIN_LOCK = KSPIN_LOCK*;

void KeInitializeSpinLock(KSPIN_LOCK* lock);
// Raises to DISPATCH_LEVEL, then takes the lock.
void KeAcquireSpinLock(KSPIN_LOCK* lock, KIRQL* oldIrql);
KIRQL KeAcquireSpinLockRaiseToDpc(KSPIN_LOCK* lock);
// Releases the lock, then lowers to `oldIrql`.
void KeReleaseSpinLock(KSPIN_LOCK* lock, KIRQL oldIrql);
// For callers already at DISPATCH_LEVEL.
void KeAcquireSpinLockAtDpcLevel(KSPIN_LOCK* lock);
void KeReleaseSpinLockFromDpcLevel(KSPIN_LOCK* lock);
