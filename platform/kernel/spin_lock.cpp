#include "platform/kernel/spin_lock.h"

#include "platform/kernel/kernel.h"
#include "platform/kernel/verifier.h"

using platform::Kernel;
using platform::Violation;

std::string KSPIN_LOCK::Describe() const {
    return holder ? "spin lock held by '" + holder->Name() + "'" : "spin lock (free)";
}

namespace {

void Take(Kernel& kernel, KSPIN_LOCK* lock) {
    platform::Scheduler& scheduler = kernel.scheduler();
    platform::Fiber* self = scheduler.CurrentFiber();
    if (lock->holder != nullptr && lock->holder == self) {
        platform::VerifierViolation(
            Violation::kSpinLockRecursion,
            "'" + kernel.CurrentThreadName() + "' acquired a spin lock it holds");
    }
    scheduler.MaybePreempt();
    if (lock->holder == nullptr) {
        lock->holder = self;
        return;
    }
    platform::Waitable* objects[] = {lock};
    scheduler.Wait(objects, platform::WaitType::kAny, platform::kNever, "spinning");
}

void Give(Kernel& kernel, KSPIN_LOCK* lock, const char* what) {
    if (lock->holder != kernel.scheduler().CurrentFiber()) {
        platform::VerifierViolation(Violation::kReleaseNotHeld,
                                    std::string(what) + " of a " + lock->Describe() + " by '" +
                                        kernel.CurrentThreadName() + "'");
    }
    lock->holder = nullptr;
    lock->WakeWaiters();
}

}  // namespace

void KeInitializeSpinLock(KSPIN_LOCK* lock) {
    lock->holder = nullptr;
}

void KeAcquireSpinLock(KSPIN_LOCK* lock, KIRQL* oldIrql) {
    KeRaiseIrql(DISPATCH_LEVEL, oldIrql);
    Take(Kernel::Current(), lock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(KSPIN_LOCK* lock) {
    KIRQL old;
    KeAcquireSpinLock(lock, &old);
    return old;
}

void KeReleaseSpinLock(KSPIN_LOCK* lock, KIRQL oldIrql) {
    Kernel& kernel = Kernel::Current();
    Give(kernel, lock, "KeReleaseSpinLock");
    KeLowerIrql(oldIrql);
    kernel.scheduler().MaybePreempt();
}

void KeAcquireSpinLockAtDpcLevel(KSPIN_LOCK* lock) {
    Kernel& kernel = Kernel::Current();
    if (kernel.CurrentThread().irql < DISPATCH_LEVEL) {
        platform::VerifierViolation(Violation::kIrqlMisuse,
                                    std::string("KeAcquireSpinLockAtDpcLevel at ") +
                                        platform::IrqlName(kernel.CurrentThread().irql));
    }
    Take(kernel, lock);
}

void KeReleaseSpinLockFromDpcLevel(KSPIN_LOCK* lock) {
    Kernel& kernel = Kernel::Current();
    Give(kernel, lock, "KeReleaseSpinLockFromDpcLevel");
    kernel.scheduler().MaybePreempt();
}
