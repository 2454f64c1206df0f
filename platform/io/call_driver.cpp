#include "platform/io/call_driver.h"

#include <string>

#include "platform/io/io_manager.h"
#include "platform/kernel/verifier.h"

using platform::IoManager;
using platform::Violation;

namespace {

std::string Hex(ULONG value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 4; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
    return text;
}

void CheckIrqlAtMostDispatch(const char* what) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        platform::VerifierViolation(Violation::kIrqlMisuse,
                                    std::string(what) + " at " + platform::IrqlName(irql));
    }
}

void CheckIrqlUnchanged(KIRQL before, const char* what) {
    const KIRQL after = KeGetCurrentIrql();
    if (after != before) {
        platform::VerifierViolation(Violation::kIrqlMisuse, std::string(what) + " returned at " +
                                                                platform::IrqlName(after) +
                                                                ", called at " +
                                                                platform::IrqlName(before));
    }
}

bool ShouldInvoke(const IO_STACK_LOCATION& location, const IRP& irp) {
    if (location.CompletionRoutine == nullptr) return false;
    const bool success = NT_SUCCESS(irp.IoStatus.Status);
    return (success && (location.Control & SL_INVOKE_ON_SUCCESS)) ||
           (!success && (location.Control & SL_INVOKE_ON_ERROR)) ||
           (irp.Cancel && (location.Control & SL_INVOKE_ON_CANCEL));
}

// Past the top: only the I/O manager's own requests end here.
void FinishAtTop(IRP* irp, KPRIORITY priorityBoost) {
    if (!irp->Bookkeeping.threaded) {
        platform::VerifierViolation(
            Violation::kIoMisuse,
            "the completion of an IRP from IoAllocateIrp reached its top with no routine "
            "keeping it: the allocator's completion routine must return "
            "STATUS_MORE_PROCESSING_REQUIRED, then free or reuse the IRP");
    }
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    KEVENT* event = irp->UserEvent;
    platform::ReleaseIrp(irp);
    if (event != nullptr) KeSetEvent(event, priorityBoost, FALSE);
}

}  // namespace

NTSTATUS IoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    platform::CheckLiveIrp(irp, "IoCallDriver");
    CheckIrqlAtMostDispatch("IoCallDriver");
    if (!IoManager::Current().IsLiveDevice(deviceObject)) {
        platform::VerifierViolation(Violation::kIoMisuse,
                                    "IoCallDriver to memory that is no live device object");
    }
    if (irp->CurrentLocation <= 1) {
        const std::string what =
            "IoCallDriver to a device of stack size " + std::to_string(deviceObject->StackSize);
        platform::NoMoreStackLocations(irp, what.c_str());
    }
    if (!irp->Bookkeeping.sent) {
        irp->Bookkeeping.sent = true;
        irp->Bookkeeping.senderLocation = irp->CurrentLocation;
    }
    IoSetNextIrpStackLocation(irp);
    IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(irp);
    location->DeviceObject = deviceObject;
    if (location->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        platform::VerifierViolation(Violation::kIoMisuse, "IoCallDriver with major function " +
                                                              Hex(location->MajorFunction));
    }
    PDRIVER_DISPATCH dispatch = deviceObject->DriverObject->MajorFunction[location->MajorFunction];
    if (dispatch == nullptr) dispatch = platform::InvalidDeviceRequest;
    const KIRQL irql = KeGetCurrentIrql();
    // The IRP may be completed and gone by the time the dispatch routine returns.
    const NTSTATUS status = dispatch(deviceObject, irp);
    CheckIrqlUnchanged(irql, "a dispatch routine");
    return status;
}

void IoCompleteRequest(PIRP irp, KPRIORITY priorityBoost) {
    platform::CheckLiveIrp(irp, "IoCompleteRequest");
    CheckIrqlAtMostDispatch("IoCompleteRequest");
    if (irp->CurrentLocation > irp->StackCount || !irp->Bookkeeping.sent) {
        platform::VerifierViolation(
            Violation::kIoMisuse,
            "IoCompleteRequest of an IRP no driver below its sender holds: completed twice?");
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        platform::VerifierViolation(Violation::kIoMisuse,
                                    "IoCompleteRequest with STATUS_PENDING in IoStatus");
    }
    if (irp->CancelRoutine != nullptr) {
        platform::VerifierViolation(Violation::kIoMisuse,
                                    "IoCompleteRequest of an IRP whose cancel routine is still "
                                    "set: clear it with IoSetCancelRoutine first");
    }
    for (;;) {
        IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(irp);
        IoSkipCurrentIrpStackLocation(irp);  // the location's setter becomes current
        irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        const bool atTop = irp->CurrentLocation > irp->StackCount;
        if (irp->CurrentLocation == irp->Bookkeeping.senderLocation) irp->Bookkeeping.sent = false;
        const bool invoke = ShouldInvoke(*location, *irp);
        const PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID const context = location->Context;
        *location = IO_STACK_LOCATION{};  // done: nothing in it may run again
        if (invoke) {
            PDEVICE_OBJECT setter =
                atTop ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            const KIRQL irql = KeGetCurrentIrql();
            const NTSTATUS result = routine(setter, irp, context);
            CheckIrqlUnchanged(irql, "a completion routine");
            // The routine's driver owns the IRP now; it may be reused, resent or freed.
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (irp->PendingReturned && !atTop) {
            IoMarkIrpPending(irp);
        }
        if (atTop) break;
    }
    FinishAtTop(irp, priorityBoost);
}
