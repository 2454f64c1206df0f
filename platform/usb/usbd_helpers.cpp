#include "platform/usb/usbd_helpers.h"

#include <algorithm>

namespace {

bool Matches(LONG wanted, UCHAR value) {
    return wanted == -1 || wanted == value;
}

}  // namespace

USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(
    USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor, ULONG bufferLength, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol) {
    if (configurationDescriptor == nullptr || startPosition == nullptr) return nullptr;
    if (bufferLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return nullptr;

    auto* const begin = reinterpret_cast<UCHAR*>(configurationDescriptor);
    const std::size_t limit =
        std::min<std::size_t>(configurationDescriptor->wTotalLength, bufferLength);
    UCHAR* const end = begin + limit;
    auto* position = static_cast<UCHAR*>(startPosition);
    if (position < begin || position >= end) return nullptr;

    // Each step moves forward by at least two bytes and never past `end`, so the walk
    // ends within limit / 2 steps whatever the lengths say.
    while (end - position >= static_cast<std::ptrdiff_t>(sizeof(USB_COMMON_DESCRIPTOR))) {
        const UCHAR length = position[0];
        const UCHAR type = position[1];
        if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > end - position) break;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* const interface = reinterpret_cast<USB_INTERFACE_DESCRIPTOR*>(position);
            if (Matches(interfaceNumber, interface->bInterfaceNumber) &&
                Matches(alternateSetting, interface->bAlternateSetting) &&
                Matches(interfaceClass, interface->bInterfaceClass) &&
                Matches(interfaceSubClass, interface->bInterfaceSubClass) &&
                Matches(interfaceProtocol, interface->bInterfaceProtocol)) {
                return interface;
            }
        }
        position += length;
    }
    return nullptr;
}

URB* USBD_CreateConfigurationRequestEx(USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor,
                                       USBD_INTERFACE_LIST_ENTRY* interfaceList) {
    if (configurationDescriptor == nullptr || interfaceList == nullptr) return nullptr;

    std::size_t bytes = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (USBD_INTERFACE_LIST_ENTRY* entry = interfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        bytes += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    }
    // At most 255 pipes per interface and a 16-bit Length: a long list can overflow it.
    if (bytes > 0xFFFF) return nullptr;

    // Never less than the structure itself, so its fixed fields are all in the block.
    const std::size_t allocation = std::max(bytes, sizeof(_URB_SELECT_CONFIGURATION));
    auto* const urb =
        static_cast<URB*>(ExAllocatePoolZero(NonPagedPool, allocation, USBD_POOL_TAG));
    if (urb == nullptr) return nullptr;

    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(bytes), configurationDescriptor);

    auto* next = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (USBD_INTERFACE_LIST_ENTRY* entry = interfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        const USB_INTERFACE_DESCRIPTOR& descriptor = *entry->InterfaceDescriptor;
        auto* const info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(next);
        const std::size_t size = GET_USBD_INTERFACE_SIZE(descriptor.bNumEndpoints);
        info->Length = static_cast<USHORT>(size);
        info->InterfaceNumber = descriptor.bInterfaceNumber;
        info->AlternateSetting = descriptor.bAlternateSetting;
        info->NumberOfPipes = descriptor.bNumEndpoints;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        entry->Interface = info;
        next += size;
    }
    return urb;
}
