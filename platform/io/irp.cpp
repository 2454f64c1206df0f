#include "platform/io/irp.h"

#include <new>
#include <string>

#include "platform/io/device_object.h"
#include "platform/io/io_manager.h"
#include "platform/kernel/verifier.h"

using platform::IoManager;
using platform::Violation;

namespace {

IO_STACK_LOCATION* StackOf(IRP* irp) {
    return reinterpret_cast<IO_STACK_LOCATION*>(irp + 1);
}

// An IRP as new: every field and location zero, no location current yet.
void InitializeIrp(IRP* irp, USHORT bytes, CHAR stackSize) {
    new (irp) IRP{};
    IO_STACK_LOCATION* stack = StackOf(irp);
    for (CHAR i = 0; i < stackSize; ++i) new (stack + i) IO_STACK_LOCATION{};
    irp->Type = IO_TYPE_IRP;
    irp->Size = bytes;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    irp->Bookkeeping.magic = platform::kIrpMagic;
    irp->Bookkeeping.allocatedStack = static_cast<USHORT>(stackSize);
}

std::string Holder(const IRP* irp) {
    const DEVICE_OBJECT* device = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    if (irp->CurrentLocation > irp->StackCount || device == nullptr ||
        device->DriverObject == nullptr) {
        return "a driver below";
    }
    const std::string name =
        platform::Utf16ToUtf8(platform::View(device->DriverObject->DriverName));
    return name.empty() ? "a driver below" : "driver '" + name + "'";
}

}  // namespace

void platform::NoMoreStackLocations(const IRP* irp, const char* what) {
    platform::VerifierViolation(Violation::kIoMisuse, std::string("no more IRP stack locations: ") +
                                                          what + " on an IRP of " +
                                                          std::to_string(irp->StackCount));
}

USHORT IoSizeOfIrp(CHAR stackSize) {
    return static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
}

PIRP IoAllocateIrp(CHAR stackSize, BOOLEAN chargeQuota) {
    if (stackSize < 1) {
        platform::VerifierViolation(Violation::kIoMisuse,
                                    "IoAllocateIrp with stack size " + std::to_string(stackSize));
    }
    const USHORT bytes = IoSizeOfIrp(stackSize);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kIrpPoolTag);
    if (block == nullptr) return nullptr;
    IRP* irp = static_cast<IRP*>(block);
    InitializeIrp(irp, bytes, stackSize);
    IoManager::Current().AddIrp(irp);
    return irp;
}

void IoReuseIrp(PIRP irp, NTSTATUS status) {
    platform::CheckLiveIrp(irp, "IoReuseIrp");
    if (irp->Bookkeeping.sent) {
        platform::VerifierViolation(Violation::kIoMisuse,
                                    "IoReuseIrp of an IRP still held by " + Holder(irp));
    }
    if (irp->CancelRoutine != nullptr) {
        platform::VerifierViolation(Violation::kIoMisuse,
                                    "IoReuseIrp of an IRP with a cancel routine set");
    }
    const CHAR stackSize = static_cast<CHAR>(irp->Bookkeeping.allocatedStack);
    const USHORT bytes = irp->Size;
    const UCHAR allocationFlags = irp->AllocationFlags;
    InitializeIrp(irp, bytes, stackSize);
    irp->AllocationFlags = allocationFlags;
    irp->IoStatus.Status = status;
}

void IoFreeIrp(PIRP irp) {
    platform::CheckLiveIrp(irp, "IoFreeIrp");
    if (irp->Bookkeeping.sent) {
        platform::VerifierViolation(Violation::kIoMisuse,
                                    "IoFreeIrp of an IRP still held by " + Holder(irp) +
                                        ": it is pending below and will be completed there");
    }
    if (irp->Bookkeeping.threaded) {
        platform::VerifierViolation(
            Violation::kIoMisuse,
            "IoFreeIrp of an IRP from IoBuildDeviceIoControlRequest: the I/O manager frees it");
    }
    platform::ReleaseIrp(irp);
}

void platform::ReleaseIrp(IRP* irp) {
    irp->Bookkeeping.magic = 0;
    IoManager::Current().RemoveIrp(irp);
    ExFreePoolWithTag(irp, kIrpPoolTag);
}

void IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
    const IO_STACK_LOCATION* current = IoGetCurrentIrpStackLocation(irp);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    *next = *current;
    next->Control = 0;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
}

void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                            BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError,
                            BOOLEAN invokeOnCancel) {
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (invokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (invokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (invokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
