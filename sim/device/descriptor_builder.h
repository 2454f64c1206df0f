// Builds the descriptors of a simulated USB device: the default device and any variant a
// test needs, malformed ones included.
//
// A configuration is a list of descriptors appended in wire order. The builder stamps
// bLength, bDescriptorType and the subtype of every descriptor it knows, and fills the
// fields that count what follows them when Build() runs:
//   - the configuration's wTotalLength and bNumInterfaces,
//   - each interface's bNumEndpoints (the endpoints up to the next interface),
//   - each AudioControl header's wTotalLength (the header and every descriptor after
//     it up to the next interface, association or endpoint descriptor).
// Each of them can be kept as given instead, and Raw() appends bytes untouched, so a
// test can describe bogus counts, bad lengths and descriptors that overrun the total.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/core/types.h"
#include "platform/usb/usb_audio.h"
#include "platform/usb/usb_descriptors.h"
#include "sim/device/string_table.h"

namespace sim {

// Whether the builder computes a count or length field, or keeps the value given.
enum class Fill { Automatic, AsGiven };

// Everything the device answers GET_DESCRIPTOR with.
struct DeviceDescriptors {
    std::vector<std::uint8_t> device;         // 18 bytes
    std::vector<std::uint8_t> configuration;  // wTotalLength bytes, configuration 0
    StringTable strings;
};

// The device descriptor's bytes, with bLength and bDescriptorType stamped.
std::vector<std::uint8_t> DeviceDescriptorBytes(USB_DEVICE_DESCRIPTOR fields);

// A feature unit: bmaControls holds the master channel first, then each logical channel.
struct FeatureUnitFields {
    UCHAR bUnitID = 0;
    UCHAR bSourceID = 0;
    std::vector<ULONG> bmaControls;
    UCHAR iFeature = 0;
};

// A selector unit choosing among baSourceID.
struct SelectorUnitFields {
    UCHAR bUnitID = 0;
    std::vector<UCHAR> baSourceID;
    UCHAR bmControls =
        usb_audio::ControlBits(usb_audio::SU_SELECTOR_CONTROL, usb_audio::CONTROL_PROGRAMMABLE);
    UCHAR iSelector = 0;
};

// The class descriptor that follows a HID interface descriptor, naming one report
// descriptor of wReportDescriptorLength bytes.
struct HidFields {
    USHORT bcdHID = 0x0111;
    UCHAR bCountryCode = 0;
    USHORT wReportDescriptorLength = 0;
};

class ConfigurationBuilder {
  public:
    // `head` gives bConfigurationValue, iConfiguration, bmAttributes and MaxPower.
    explicit ConfigurationBuilder(USB_CONFIGURATION_DESCRIPTOR head);

    // Keep these values instead of the computed ones.
    ConfigurationBuilder& TotalLength(USHORT wTotalLength);
    ConfigurationBuilder& InterfaceCount(UCHAR bNumInterfaces);

    // Standard descriptors.
    ConfigurationBuilder& Association(USB_INTERFACE_ASSOCIATION_DESCRIPTOR fields);
    ConfigurationBuilder& Interface(USB_INTERFACE_DESCRIPTOR fields,
                                    Fill endpoints = Fill::Automatic);
    ConfigurationBuilder& Endpoint(USB_ENDPOINT_DESCRIPTOR fields);             // 7 bytes
    ConfigurationBuilder& AudioEndpoint(USB_AUDIO_ENDPOINT_DESCRIPTOR fields);  // 9 bytes
    ConfigurationBuilder& Hid(HidFields fields);

    // AudioControl interface.
    ConfigurationBuilder& AcHeader(usb_audio::AC_HEADER_DESCRIPTOR fields,
                                   Fill totalLength = Fill::Automatic);
    ConfigurationBuilder& ClockSource(usb_audio::CLOCK_SOURCE_DESCRIPTOR fields);
    ConfigurationBuilder& InputTerminal(usb_audio::INPUT_TERMINAL_DESCRIPTOR fields);
    ConfigurationBuilder& OutputTerminal(usb_audio::OUTPUT_TERMINAL_DESCRIPTOR fields);
    ConfigurationBuilder& FeatureUnit(const FeatureUnitFields& fields);
    ConfigurationBuilder& SelectorUnit(const SelectorUnitFields& fields);

    // AudioStreaming interface. FormatType() takes bFormatType from `fields` (type I and
    // type III share the layout).
    ConfigurationBuilder& AsGeneral(usb_audio::AS_GENERAL_DESCRIPTOR fields);
    ConfigurationBuilder& FormatType(usb_audio::FORMAT_TYPE_I_DESCRIPTOR fields);
    ConfigurationBuilder& AsIsochronousEndpoint(
        usb_audio::AS_ISOCHRONOUS_ENDPOINT_DESCRIPTOR fields);

    // Bytes appended as they are; they count toward every total that spans them.
    ConfigurationBuilder& Raw(std::vector<std::uint8_t> bytes);

    // The whole configuration descriptor, totals and counts filled in.
    std::vector<std::uint8_t> Build() const;

  private:
    // What an appended descriptor is to the fix-ups in Build().
    enum class Role { Interface, Endpoint, Association, AcHeader, Other };
    struct Item {
        Role role;
        Fill fill;
        std::vector<std::uint8_t> bytes;
    };

    ConfigurationBuilder& Append(Role role, Fill fill, std::vector<std::uint8_t> bytes);

    USB_CONFIGURATION_DESCRIPTOR head_;
    std::optional<USHORT> totalLength_;
    std::optional<UCHAR> interfaceCount_;
    std::vector<Item> items_;
};

}  // namespace sim
