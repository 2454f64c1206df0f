#include "platform/io/cancel.h"

#include <string>

#include "platform/io/io_manager.h"
#include "platform/kernel/interlocked.h"
#include "platform/kernel/spin_lock.h"
#include "platform/kernel/verifier.h"

using platform::IoManager;
using platform::Violation;

void IoAcquireCancelSpinLock(KIRQL* irql) {
    KeAcquireSpinLock(&IoManager::Current().CancelLock(), irql);
}

void IoReleaseCancelSpinLock(KIRQL irql) {
    KeReleaseSpinLock(&IoManager::Current().CancelLock(), irql);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
    return platform::detail::Interlocked(&irp->CancelRoutine, [routine](PDRIVER_CANCEL* target) {
        return __atomic_exchange_n(target, routine, __ATOMIC_SEQ_CST);
    });
}

BOOLEAN IoCancelIrp(PIRP irp) {
    platform::CheckLiveIrp(irp, "IoCancelIrp");
    const KIRQL callerIrql = KeGetCurrentIrql();
    if (callerIrql > DISPATCH_LEVEL) {
        platform::VerifierViolation(Violation::kIrqlMisuse, std::string("IoCancelIrp at ") +
                                                                platform::IrqlName(callerIrql));
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    const PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    KSPIN_LOCK& lock = IoManager::Current().CancelLock();
    if (lock.holder == IoManager::Current().kernel().scheduler().CurrentFiber()) {
        platform::VerifierViolation(
            Violation::kIoMisuse,
            "a cancel routine returned holding the cancel spin lock: it "
            "must release it with IoReleaseCancelSpinLock(irp->CancelIrql)");
    }
    return TRUE;
}
