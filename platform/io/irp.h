// I/O request packets. An IRP carries one request down a stack of device objects:
// each driver it passes through has a stack location holding its parameters and the
// completion routine the driver above set for it. IRPs come from non-paged pool with
// the tag kIrpPoolTag ('Irp '), so a test can make IoAllocateIrp fail with
// Pool::FailTag(kIrpPoolTag) and prove with that tag's counters that a path which
// reuses its IRPs allocates none.
//
// Life cycle: IoAllocateIrp → (IoReuseIrp →) IoCallDriver → ... → IoCompleteRequest
// walks the completion routines back up → the allocator's routine returns
// STATUS_MORE_PROCESSING_REQUIRED and frees or reuses the IRP. Requests built by
// IoBuildDeviceIoControlRequest are the I/O manager's: it frees them at completion.
#pragma once

#include "platform/core/guid.h"
#include "platform/core/status.h"
#include "platform/core/types.h"
#include "platform/io/io_codes.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/list_entry.h"
#include "platform/kernel/pool.h"

struct DEVICE_OBJECT;
struct IRP;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PIRP = IRP*;

inline constexpr ULONG kIrpPoolTag = PoolTag("Irp ");

struct IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;  // bytes transferred, or what the request defines
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

// Runs as the request comes back up, at the IRQL of whoever completes it.
// `deviceObject` is the device of the driver that set the routine (null for the
// IRP's allocator, which has no stack location of its own). Returning
// STATUS_MORE_PROCESSING_REQUIRED stops the walk: the routine's driver owns the IRP.
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
// Called with the cancel spin lock held; it must release it with irp->CancelIrql.
using PDRIVER_CANCEL = void (*)(PDEVICE_OBJECT deviceObject, PIRP irp);

// A bus driver's interface, filled by IRP_MN_QUERY_INTERFACE; specific interfaces
// extend it.
using PINTERFACE_REFERENCE = void (*)(PVOID context);
using PINTERFACE_DEREFERENCE = void (*)(PVOID context);
struct INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
};
using PINTERFACE = INTERFACE*;

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;  // SL_PENDING_RETURNED, SL_INVOKE_ON_*
    // The ULONGs are pointer-aligned, so Others.Argument1 (the URB of an internal USB
    // request) and DeviceIoControl.IoControlCode do not overlap.
    union {
        struct {
            alignas(PVOID) ULONG OutputBufferLength;
            alignas(PVOID) ULONG InputBufferLength;
            alignas(PVOID) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;  // the device this location's driver was called for
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;

namespace platform {
// What the I/O manager keeps in each IRP to catch misuse; drivers do not touch it.
struct IrpBookkeeping {
    ULONG magic;            // kIrpMagic while allocated
    bool threaded;          // built by IoBuildDeviceIoControlRequest: freed at completion
    bool sent;              // in a driver below its sender, until completion reaches it
    CHAR senderLocation;    // the sender's CurrentLocation when it first sent the IRP
    USHORT allocatedStack;  // stack locations behind the IRP
};
inline constexpr ULONG kIrpMagic = PoolTag("IrpL");
}  // namespace platform

struct IRP {
    SHORT Type;
    USHORT Size;  // bytes of the IRP and its stack locations
    ULONG Flags;
    union {
        PVOID SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;  // a driver below returned STATUS_PENDING for it
    CHAR StackCount;
    CHAR CurrentLocation;  // 1-based; StackCount + 1 before the IRP is first sent
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;  // requests built by the I/O manager: the caller's status
    PKEVENT UserEvent;          // and event, set at completion
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    struct {
        struct {
            PVOID DriverContext[4];  // the holding driver's, while it queues the IRP
            PVOID Thread;
            LIST_ENTRY ListEntry;  // the holding driver's queue link
            IO_STACK_LOCATION* CurrentStackLocation;
        } Overlay;
    } Tail;
    platform::IrpBookkeeping Bookkeeping;
};

inline constexpr SHORT IO_TYPE_IRP = 6;

// Bytes of an IRP with `stackSize` locations.
USHORT IoSizeOfIrp(CHAR stackSize);

// The IRP, zeroed, with `stackSize` locations; null when pool runs out. `chargeQuota`
// is accepted and ignored: there are no quotas. Up to DISPATCH_LEVEL.
[[nodiscard]] PIRP IoAllocateIrp(CHAR stackSize, BOOLEAN chargeQuota);
// Makes a completed IRP as new, keeping its size, with IoStatus.Status = `status`.
// Only its owner may: not while a driver below holds it or a cancel routine is set.
void IoReuseIrp(PIRP irp, NTSTATUS status);
// Frees an IRP from IoAllocateIrp. Freeing one a driver below still holds is a fault.
void IoFreeIrp(PIRP irp);

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation;
}
namespace platform {
// Faults the run: `what` needed a stack location below the IRP's last one.
[[noreturn]] void NoMoreStackLocations(const IRP* irp, const char* what);
}  // namespace platform

// The location of the driver the IRP goes to next; the IRP must have one left.
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) {
    if (irp->CurrentLocation <= 1) platform::NoMoreStackLocations(irp, "IoGetNextIrpStackLocation");
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}
// Makes the next location current: a driver claims a location of its own.
inline void IoSetNextIrpStackLocation(PIRP irp) {
    --irp->CurrentLocation;
    --irp->Tail.Overlay.CurrentStackLocation;
}
// Gives the driver below this driver's own location, unchanged and without a
// completion routine of this driver.
inline void IoSkipCurrentIrpStackLocation(PIRP irp) {
    ++irp->CurrentLocation;
    ++irp->Tail.Overlay.CurrentStackLocation;
}
// Copies this driver's parameters to the next location, without its completion
// routine (the driver sets its own with IoSetCompletionRoutine).
void IoCopyCurrentIrpStackLocationToNext(PIRP irp);

// Sets the routine the driver below calls back when it completes the IRP, on
// success, error or cancel as asked.
void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                            BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError, BOOLEAN invokeOnCancel);

// A driver that will return STATUS_PENDING marks its location first.
inline void IoMarkIrpPending(PIRP irp) {
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}
