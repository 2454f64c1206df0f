#include "platform/io/build_request.h"

#include <string>

#include "platform/io/io_manager.h"
#include "platform/kernel/verifier.h"

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                   ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                   PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        platform::VerifierViolation(
            platform::Violation::kIrqlMisuse,
            std::string("IoBuildDeviceIoControlRequest at ") + platform::IrqlName(irql));
    }
    // Buffered and direct codes need a system buffer or an MDL, which no caller
    // needs yet.
    if (METHOD_FROM_CTL_CODE(ioControlCode) != METHOD_NEITHER) return nullptr;
    IRP* irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    irp->Bookkeeping.threaded = true;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = ioStatusBlock;
    irp->UserEvent = event;
    irp->UserBuffer = outputBuffer;
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
    return irp;
}
