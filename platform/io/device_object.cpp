#include "platform/io/device_object.h"

#include <new>
#include <string>

#include "platform/io/call_driver.h"
#include "platform/io/io_manager.h"
#include "platform/kernel/verifier.h"

using platform::IoManager;
using platform::Violation;

namespace {

// The extension starts on a 16-byte boundary, as the pool aligns its blocks.
constexpr SIZE_T kExtensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~SIZE_T{15};

void CheckPassive(const char* what) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        platform::VerifierViolation(Violation::kIrqlMisuse,
                                    std::string(what) + " at " + platform::IrqlName(irql));
    }
}

void CheckLiveDevice(const DEVICE_OBJECT* device, const char* what) {
    if (device == nullptr || !IoManager::Current().IsLiveDevice(device)) {
        platform::VerifierViolation(Violation::kIoMisuse,
                                    std::string(what) + " of memory that is no live device object");
    }
}

}  // namespace

NTSTATUS platform::InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

DRIVER_OBJECT::DRIVER_OBJECT() {
    for (PDRIVER_DISPATCH& entry : MajorFunction) entry = platform::InvalidDeviceRequest;
    extension_.DriverObject = this;
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                        const UNICODE_STRING* deviceName, DEVICE_TYPE deviceType,
                        ULONG deviceCharacteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject) {
    CheckPassive("IoCreateDevice");
    *deviceObject = nullptr;
    void* block = ExAllocatePoolZero(NonPagedPoolNx, kExtensionOffset + deviceExtensionSize,
                                     kDeviceObjectPoolTag);
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    DEVICE_OBJECT* device = new (block) DEVICE_OBJECT{};
    device->Type = IO_TYPE_DEVICE;
    device->Size = sizeof(DEVICE_OBJECT);
    device->DriverObject = driverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->Characteristics = deviceCharacteristics;
    device->DeviceType = deviceType;
    device->StackSize = 1;
    device->DeviceExtension =
        deviceExtensionSize == 0 ? nullptr : static_cast<char*>(block) + kExtensionOffset;
    device->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = device;
    IoManager::Current().AddDevice(device);
    *deviceObject = device;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT deviceObject) {
    CheckPassive("IoDeleteDevice");
    CheckLiveDevice(deviceObject, "IoDeleteDevice");
    if (deviceObject->AttachedDevice != nullptr) {
        platform::VerifierViolation(Violation::kIoMisuse,
                                    "IoDeleteDevice of a device another device is still attached "
                                    "to");
    }
    if (deviceObject->AttachedTo != nullptr) {
        platform::VerifierViolation(Violation::kIoMisuse,
                                    "IoDeleteDevice of a device still attached to the one below: "
                                    "IoDetachDevice first");
    }
    for (PDEVICE_OBJECT* link = &deviceObject->DriverObject->DeviceObject; *link != nullptr;
         link = &(*link)->NextDevice) {
        if (*link == deviceObject) {
            *link = deviceObject->NextDevice;
            break;
        }
    }
    IoManager::Current().RemoveDevice(deviceObject);
    ExFreePoolWithTag(deviceObject, kDeviceObjectPoolTag);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice,
                                           PDEVICE_OBJECT targetDevice) {
    CheckPassive("IoAttachDeviceToDeviceStack");
    CheckLiveDevice(sourceDevice, "IoAttachDeviceToDeviceStack");
    CheckLiveDevice(targetDevice, "IoAttachDeviceToDeviceStack");
    PDEVICE_OBJECT top = targetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    top->AttachedDevice = sourceDevice;
    sourceDevice->AttachedTo = top;
    sourceDevice->StackSize = static_cast<CHAR>(top->StackSize + 1);
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT targetDevice) {
    CheckPassive("IoDetachDevice");
    CheckLiveDevice(targetDevice, "IoDetachDevice");
    PDEVICE_OBJECT above = targetDevice->AttachedDevice;
    if (above == nullptr) return;
    above->AttachedTo = nullptr;
    targetDevice->AttachedDevice = nullptr;
}
