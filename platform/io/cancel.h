// Cancelling a request a driver holds. The cancel spin lock (one per machine)
// orders IoCancelIrp against the holding driver: the driver sets a cancel routine
// while it queues the IRP and clears it with IoSetCancelRoutine before it completes
// it; whichever side gets the routine out of the IRP first completes it.
#pragma once

#include "platform/io/irp.h"

// Raises to DISPATCH_LEVEL and takes the cancel spin lock.
void IoAcquireCancelSpinLock(KIRQL* irql);
// Releases it and returns to `irql`.
void IoReleaseCancelSpinLock(KIRQL irql);

// Puts `routine` in the IRP atomically and gives the one it replaced; null means
// the cancel side already took it (or none was set).
PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine);

// Up to DISPATCH_LEVEL. Sets the IRP's Cancel flag; when a cancel routine is set,
// takes it out and calls it with the cancel spin lock held (its IRQL in CancelIrql)
// and gives TRUE. Otherwise gives FALSE and does nothing else: the driver holding
// the IRP sees the flag when it looks. A cancel routine that returns still holding
// the cancel spin lock is a fault.
BOOLEAN IoCancelIrp(PIRP irp);
