#include "tools/kaldrit/enumeration.h"

#include <vector>

#include "platform/io/wdm.h"
#include "platform/machine/machine.h"
#include "platform/usb/host_controller.h"
#include "platform/usb/usbd_helpers.h"

namespace kaldrit {
namespace {

NTSTATUS Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<KEVENT*>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends `urb` down to the host controller and waits for it, as a client driver would.
NTSTATUS SubmitAndWait(PDEVICE_OBJECT target, URB* urb) {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, &Completed, &done, TRUE, TRUE, TRUE);
    IoCallDriver(target, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

}  // namespace

EnumerationResult Enumerate(platform::UsbBusDevice& device, std::ostream* capture) {
    EnumerationResult result;
    platform::Machine machine;
    const platform::RunOutcome outcome = machine.Run([&] {
        platform::UsbHostController hc(device);
        hc.StartCapture(capture);
        PDEVICE_OBJECT target = hc.DeviceObject();
        auto get = [&](UCHAR type, UCHAR index, USHORT language, void* buffer, ULONG length) {
            URB urb{};
            UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                         language, buffer, nullptr, length, nullptr);
            ++result.requests;
            const NTSTATUS status = SubmitAndWait(target, &urb);
            return NT_SUCCESS(status) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0;
        };
        USB_DEVICE_DESCRIPTOR deviceDescriptor{};
        if (get(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &deviceDescriptor, sizeof deviceDescriptor) !=
            18) {
            result.error = "the device descriptor could not be read";
            return;
        }
        USB_CONFIGURATION_DESCRIPTOR head{};
        if (get(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &head, sizeof head) != sizeof head) {
            result.error = "the configuration descriptor could not be read";
            return;
        }
        std::vector<std::uint8_t> configuration(head.wTotalLength);
        const ULONG got = get(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration.data(),
                              static_cast<ULONG>(configuration.size()));
        std::uint8_t text[255];
        get(USB_STRING_DESCRIPTOR_TYPE, 0, 0, text, sizeof text);
        for (UCHAR index : {deviceDescriptor.iManufacturer, deviceDescriptor.iProduct}) {
            if (index != 0) get(USB_STRING_DESCRIPTOR_TYPE, index, 0x0409, text, sizeof text);
        }
        // Every interface at its first alternate setting, as a host selects a configuration.
        auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(configuration.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (LONG number = 0; number < config->bNumInterfaces; ++number) {
            USB_INTERFACE_DESCRIPTOR* found =
                USBD_ParseConfigurationDescriptorEx(config, got, config, number, 0, -1, -1, -1);
            if (found != nullptr) list.push_back({found, nullptr});
        }
        list.push_back({nullptr, nullptr});
        URB* select = USBD_CreateConfigurationRequestEx(config, list.data());
        if (select == nullptr) {
            result.error = "no configuration request could be made from the descriptors";
            return;
        }
        ++result.requests;
        const NTSTATUS status = SubmitAndWait(target, select);
        ExFreePool(select);
        if (!NT_SUCCESS(status)) {
            result.error = "the configuration was refused: " + platform::NtStatusName(status);
            return;
        }
        hc.StartCapture(nullptr);
        result.ok = true;
    });
    result.finishedAt = platform::FormatVirtualTime(machine.Now());
    if (!outcome.Ok()) {
        result.ok = false;
        result.error = outcome.report;
    }
    return result;
}

}  // namespace kaldrit
