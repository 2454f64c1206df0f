// Requests the I/O manager builds for a driver that waits for them: the caller sends
// the IRP with IoCallDriver, waits on its event when the call gives STATUS_PENDING,
// and reads the result from its status block. The I/O manager frees the IRP when it
// completes; the caller never does.
#pragma once

#include "platform/io/device_object.h"
#include "platform/io/irp.h"

// PASSIVE_LEVEL. A device-control request for `deviceObject`'s stack, its next
// location filled (IRP_MJ_INTERNAL_DEVICE_CONTROL when `internalDeviceIoControl`,
// else IRP_MJ_DEVICE_CONTROL; code and lengths). Only METHOD_NEITHER codes are
// modelled: the input buffer goes to Type3InputBuffer and the output buffer to
// UserBuffer. Gives null when pool runs out or the code uses another method.
[[nodiscard]] PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                                 PVOID inputBuffer, ULONG inputBufferLength,
                                                 PVOID outputBuffer, ULONG outputBufferLength,
                                                 BOOLEAN internalDeviceIoControl, PKEVENT event,
                                                 PIO_STATUS_BLOCK ioStatusBlock);
