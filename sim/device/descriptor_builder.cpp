#include "sim/device/descriptor_builder.h"

#include <cstring>
#include <set>
#include <type_traits>
#include <utility>

namespace sim {
namespace {

// HID class descriptor types, as a HID interface's class descriptor names them.
constexpr UCHAR kHidDescriptorType = 0x21;
constexpr UCHAR kHidReportDescriptorType = 0x22;

// The wire bytes of a packed descriptor structure (the host is little-endian, as the
// layouts' header insists).
template <typename T>
std::vector<std::uint8_t> BytesOf(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::vector<std::uint8_t> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

void AppendLittleEndian(std::vector<std::uint8_t>& bytes, ULONG value, int width) {
    for (int i = 0; i < width; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutLittleEndian16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[offset + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

// Stamps the header every class-specific descriptor starts with.
template <typename T>
T ClassSpecific(T fields, UCHAR type, UCHAR subtype) {
    fields.bLength = sizeof(T);
    fields.bDescriptorType = type;
    fields.bDescriptorSubtype = subtype;
    return fields;
}

}  // namespace

std::vector<std::uint8_t> DeviceDescriptorBytes(USB_DEVICE_DESCRIPTOR fields) {
    fields.bLength = sizeof(fields);
    fields.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    return BytesOf(fields);
}

ConfigurationBuilder::ConfigurationBuilder(USB_CONFIGURATION_DESCRIPTOR head) : head_(head) {
    head_.bLength = sizeof(head_);
    head_.bDescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
}

ConfigurationBuilder& ConfigurationBuilder::TotalLength(USHORT wTotalLength) {
    totalLength_ = wTotalLength;
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::InterfaceCount(UCHAR bNumInterfaces) {
    interfaceCount_ = bNumInterfaces;
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::Append(Role role, Fill fill,
                                                   std::vector<std::uint8_t> bytes) {
    items_.push_back({role, fill, std::move(bytes)});
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::Association(
    USB_INTERFACE_ASSOCIATION_DESCRIPTOR fields) {
    fields.bLength = sizeof(fields);
    fields.bDescriptorType = USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE;
    return Append(Role::Association, Fill::AsGiven, BytesOf(fields));
}

ConfigurationBuilder& ConfigurationBuilder::Interface(USB_INTERFACE_DESCRIPTOR fields,
                                                      Fill endpoints) {
    fields.bLength = sizeof(fields);
    fields.bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
    return Append(Role::Interface, endpoints, BytesOf(fields));
}

ConfigurationBuilder& ConfigurationBuilder::Endpoint(USB_ENDPOINT_DESCRIPTOR fields) {
    fields.bLength = sizeof(fields);
    fields.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
    return Append(Role::Endpoint, Fill::AsGiven, BytesOf(fields));
}

ConfigurationBuilder& ConfigurationBuilder::AudioEndpoint(USB_AUDIO_ENDPOINT_DESCRIPTOR fields) {
    fields.bLength = sizeof(fields);
    fields.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
    return Append(Role::Endpoint, Fill::AsGiven, BytesOf(fields));
}

ConfigurationBuilder& ConfigurationBuilder::Hid(HidFields fields) {
    std::vector<std::uint8_t> bytes = {9, kHidDescriptorType};
    AppendLittleEndian(bytes, fields.bcdHID, 2);
    bytes.push_back(fields.bCountryCode);
    bytes.push_back(1);  // bNumDescriptors
    bytes.push_back(kHidReportDescriptorType);
    AppendLittleEndian(bytes, fields.wReportDescriptorLength, 2);
    return Append(Role::Other, Fill::AsGiven, std::move(bytes));
}

ConfigurationBuilder& ConfigurationBuilder::AcHeader(usb_audio::AC_HEADER_DESCRIPTOR fields,
                                                     Fill totalLength) {
    fields = ClassSpecific(fields, usb_audio::CS_INTERFACE, usb_audio::HEADER);
    return Append(Role::AcHeader, totalLength, BytesOf(fields));
}

ConfigurationBuilder& ConfigurationBuilder::ClockSource(usb_audio::CLOCK_SOURCE_DESCRIPTOR fields) {
    fields = ClassSpecific(fields, usb_audio::CS_INTERFACE, usb_audio::CLOCK_SOURCE);
    return Append(Role::Other, Fill::AsGiven, BytesOf(fields));
}

ConfigurationBuilder& ConfigurationBuilder::InputTerminal(
    usb_audio::INPUT_TERMINAL_DESCRIPTOR fields) {
    fields = ClassSpecific(fields, usb_audio::CS_INTERFACE, usb_audio::INPUT_TERMINAL);
    return Append(Role::Other, Fill::AsGiven, BytesOf(fields));
}

ConfigurationBuilder& ConfigurationBuilder::OutputTerminal(
    usb_audio::OUTPUT_TERMINAL_DESCRIPTOR fields) {
    fields = ClassSpecific(fields, usb_audio::CS_INTERFACE, usb_audio::OUTPUT_TERMINAL);
    return Append(Role::Other, Fill::AsGiven, BytesOf(fields));
}

ConfigurationBuilder& ConfigurationBuilder::FeatureUnit(const FeatureUnitFields& fields) {
    usb_audio::FEATURE_UNIT_DESCRIPTOR_HEAD head{};
    head.bUnitID = fields.bUnitID;
    head.bSourceID = fields.bSourceID;
    head = ClassSpecific(head, usb_audio::CS_INTERFACE, usb_audio::FEATURE_UNIT);
    head.bLength = static_cast<UCHAR>(
        sizeof(head) +
        usb_audio::FEATURE_UNIT_CONTROLS_BYTES_PER_CHANNEL * fields.bmaControls.size() + 1);
    std::vector<std::uint8_t> bytes = BytesOf(head);
    for (ULONG controls : fields.bmaControls)
        AppendLittleEndian(bytes, controls, usb_audio::FEATURE_UNIT_CONTROLS_BYTES_PER_CHANNEL);
    bytes.push_back(fields.iFeature);
    return Append(Role::Other, Fill::AsGiven, std::move(bytes));
}

ConfigurationBuilder& ConfigurationBuilder::SelectorUnit(const SelectorUnitFields& fields) {
    usb_audio::SELECTOR_UNIT_DESCRIPTOR_HEAD head{};
    head.bUnitID = fields.bUnitID;
    head.bNrInPins = static_cast<UCHAR>(fields.baSourceID.size());
    head = ClassSpecific(head, usb_audio::CS_INTERFACE, usb_audio::SELECTOR_UNIT);
    head.bLength = static_cast<UCHAR>(sizeof(head) + fields.baSourceID.size() + 2);
    std::vector<std::uint8_t> bytes = BytesOf(head);
    bytes.insert(bytes.end(), fields.baSourceID.begin(), fields.baSourceID.end());
    bytes.push_back(fields.bmControls);
    bytes.push_back(fields.iSelector);
    return Append(Role::Other, Fill::AsGiven, std::move(bytes));
}

ConfigurationBuilder& ConfigurationBuilder::AsGeneral(usb_audio::AS_GENERAL_DESCRIPTOR fields) {
    fields = ClassSpecific(fields, usb_audio::CS_INTERFACE, usb_audio::AS_GENERAL);
    return Append(Role::Other, Fill::AsGiven, BytesOf(fields));
}

ConfigurationBuilder& ConfigurationBuilder::FormatType(usb_audio::FORMAT_TYPE_I_DESCRIPTOR fields) {
    fields = ClassSpecific(fields, usb_audio::CS_INTERFACE, usb_audio::FORMAT_TYPE);
    return Append(Role::Other, Fill::AsGiven, BytesOf(fields));
}

ConfigurationBuilder& ConfigurationBuilder::AsIsochronousEndpoint(
    usb_audio::AS_ISOCHRONOUS_ENDPOINT_DESCRIPTOR fields) {
    fields = ClassSpecific(fields, usb_audio::CS_ENDPOINT, usb_audio::EP_GENERAL);
    return Append(Role::Other, Fill::AsGiven, BytesOf(fields));
}

ConfigurationBuilder& ConfigurationBuilder::Raw(std::vector<std::uint8_t> bytes) {
    return Append(Role::Other, Fill::AsGiven, std::move(bytes));
}

std::vector<std::uint8_t> ConfigurationBuilder::Build() const {
    std::vector<Item> items = items_;
    std::set<UCHAR> interfaceNumbers;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Item& item = items[i];
        if (item.role == Role::Interface) {
            interfaceNumbers.insert(
                item.bytes[offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceNumber)]);
            if (item.fill == Fill::AsGiven) continue;
            std::size_t endpoints = 0;
            for (std::size_t j = i + 1; j < items.size() && items[j].role != Role::Interface; ++j)
                endpoints += items[j].role == Role::Endpoint ? 1 : 0;
            item.bytes[offsetof(USB_INTERFACE_DESCRIPTOR, bNumEndpoints)] =
                static_cast<std::uint8_t>(endpoints);
        } else if (item.role == Role::AcHeader && item.fill == Fill::Automatic) {
            std::size_t blockBytes = item.bytes.size();
            for (std::size_t j = i + 1;
                 j < items.size() && items[j].role != Role::Interface &&
                 items[j].role != Role::Association && items[j].role != Role::Endpoint;
                 ++j)
                blockBytes += items[j].bytes.size();
            PutLittleEndian16(item.bytes, offsetof(usb_audio::AC_HEADER_DESCRIPTOR, wTotalLength),
                              blockBytes);
        }
    }

    USB_CONFIGURATION_DESCRIPTOR head = head_;
    std::size_t totalBytes = sizeof(head);
    for (const Item& item : items) totalBytes += item.bytes.size();
    head.wTotalLength = totalLength_.value_or(static_cast<USHORT>(totalBytes));
    head.bNumInterfaces = interfaceCount_.value_or(static_cast<UCHAR>(interfaceNumbers.size()));

    std::vector<std::uint8_t> bytes = BytesOf(head);
    bytes.reserve(totalBytes);
    for (const Item& item : items) bytes.insert(bytes.end(), item.bytes.begin(), item.bytes.end());
    return bytes;
}

}  // namespace sim
