// Driver and device objects. A driver object holds a driver's dispatch table; each
// device object it creates stands for one device it drives. Device objects are
// stacked: a function driver's device sits on the bus driver's, and IoCallDriver
// sends a request to the device's driver, which passes it to the device below.
// A device's StackSize is how many IRP stack locations a request to it needs: one
// for itself and one for each device under it.
//
// Life cycle: IoCreateDevice → IoAttachDeviceToDeviceStack → ... → IoDetachDevice →
// IoDeleteDevice. Device objects come from non-paged pool, tag kDeviceObjectPoolTag
// ('Devi'), with the device extension right behind them.
#pragma once

#include "platform/core/status.h"
#include "platform/core/types.h"
#include "platform/core/utf16.h"
#include "platform/io/io_codes.h"
#include "platform/io/irp.h"

struct DRIVER_OBJECT;
using PDRIVER_OBJECT = DRIVER_OBJECT*;

// Dispatch routine for one major function: completes the IRP, passes it down, or
// marks it pending, queues it and returns STATUS_PENDING.
using PDRIVER_DISPATCH = NTSTATUS (*)(PDEVICE_OBJECT deviceObject, PIRP irp);
using PDRIVER_UNLOAD = void (*)(PDRIVER_OBJECT driverObject);
using PDRIVER_ADD_DEVICE = NTSTATUS (*)(PDRIVER_OBJECT driverObject,
                                        PDEVICE_OBJECT physicalDeviceObject);

inline constexpr ULONG kDeviceObjectPoolTag = PoolTag("Devi");

struct DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
};

namespace platform {
// What the I/O manager puts in every dispatch-table entry a driver leaves alone:
// completes the IRP with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT deviceObject, PIRP irp);
}  // namespace platform

// Whoever loads the driver constructs its object; the table starts with every entry
// the I/O manager's default, as drivers expect at DriverEntry.
struct DRIVER_OBJECT {
    DRIVER_OBJECT();
    DRIVER_OBJECT(const DRIVER_OBJECT&) = delete;
    DRIVER_OBJECT& operator=(const DRIVER_OBJECT&) = delete;

    PDEVICE_OBJECT DeviceObject = nullptr;  // the driver's devices, newest first
    ULONG Flags = 0;
    DRIVER_EXTENSION* DriverExtension = &extension_;
    UNICODE_STRING DriverName{};
    PDRIVER_UNLOAD DriverUnload = nullptr;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];

  private:
    DRIVER_EXTENSION extension_{};
};

// DEVICE_OBJECT::Flags.
inline constexpr ULONG DO_BUFFERED_IO = 0x00000004;
inline constexpr ULONG DO_DIRECT_IO = 0x00000010;
inline constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;
inline constexpr ULONG DO_POWER_PAGABLE = 0x00002000;

struct DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;  // of the object, without the extension
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;      // the driver's next device
    PDEVICE_OBJECT AttachedDevice;  // the device attached on top of this one
    PDEVICE_OBJECT AttachedTo;      // the device this one is attached on top of
    ULONG Flags;
    ULONG Characteristics;
    PVOID DeviceExtension;  // the driver's, zeroed, of the size it asked for
    DEVICE_TYPE DeviceType;
    CHAR StackSize;
    ULONG AlignmentRequirement;
};

inline constexpr SHORT IO_TYPE_DEVICE = 3;

// PASSIVE_LEVEL. The new device (one stack location, flagged DO_DEVICE_INITIALIZING
// until its driver clears it) with `deviceExtensionSize` zeroed bytes; the name is
// accepted and not yet published. STATUS_INSUFFICIENT_RESOURCES when pool runs out.
[[nodiscard]] NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                                      const UNICODE_STRING* deviceName, DEVICE_TYPE deviceType,
                                      ULONG deviceCharacteristics, BOOLEAN exclusive,
                                      PDEVICE_OBJECT* deviceObject);
// PASSIVE_LEVEL. Deleting a device still attached to another, or with one attached
// to it, is a fault: detach first.
void IoDeleteDevice(PDEVICE_OBJECT deviceObject);
// PASSIVE_LEVEL. Puts `sourceDevice` on top of the stack `targetDevice` belongs to;
// gives the device it now sits on (the former top), whose StackSize plus one
// becomes the source's.
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice,
                                           PDEVICE_OBJECT targetDevice);
// PASSIVE_LEVEL. Takes the device attached to `targetDevice` off it.
void IoDetachDevice(PDEVICE_OBJECT targetDevice);
