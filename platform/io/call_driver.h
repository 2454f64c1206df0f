// Sending a request down a device stack and completing it back up.
#pragma once

#include "platform/core/status.h"
#include "platform/io/device_object.h"
#include "platform/io/irp.h"

// What a completion routine returns to let the walk go on to the driver above.
inline constexpr NTSTATUS STATUS_CONTINUE_COMPLETION = STATUS_SUCCESS;

// Up to DISPATCH_LEVEL. Makes the next stack location current, records the device in
// it and calls the device's driver for the location's major function; gives what
// the driver returns (STATUS_PENDING when it completes the IRP later). An IRP with
// no location left for the device is a fault.
NTSTATUS IoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);

// Up to DISPATCH_LEVEL. Completes the IRP with the status already in IoStatus:
// walks the locations above the current one, calling each completion routine whose
// flags match (success, error, cancel), at the caller's IRQL. A routine returning
// STATUS_MORE_PROCESSING_REQUIRED ends the walk; nothing touches the IRP afterwards.
// A location without a routine passes its PendingReturned up by marking the next
// one pending. Past the top, an IRP from IoBuildDeviceIoControlRequest has its status
// copied to the caller's block, its event set, and is freed. Completing an IRP with
// STATUS_PENDING, with a cancel routine still set, twice, or past the top of an IRP
// from IoAllocateIrp (whose allocator must keep it) is a fault.
void IoCompleteRequest(PIRP irp, KPRIORITY priorityBoost);
