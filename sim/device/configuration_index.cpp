#include "sim/device/configuration_index.h"

#include "platform/usb/usb_audio.h"
#include "platform/usb/usb_descriptors.h"

namespace sim {
namespace {

USHORT Word(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<USHORT>(bytes[offset] | (bytes[offset + 1] << 8));
}

ULONG Dword(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return Word(bytes, offset) | (static_cast<ULONG>(Word(bytes, offset + 2)) << 16);
}

// Class-specific AudioControl descriptors of the interface being walked.
void IndexControlEntity(ConfigurationIndex& index, std::span<const std::uint8_t> d) {
    if (d.size() < 4) return;
    switch (d[2]) {
        case usb_audio::FEATURE_UNIT: {
            // 5 bytes of head, 4 per channel, the iFeature byte.
            if (d.size() < 10) return;
            FeatureUnitFacts unit{.id = d[3]};
            for (std::size_t offset = 5; offset + 4 < d.size(); offset += 4)
                unit.bmaControls.push_back(Dword(d, offset));
            index.featureUnits.push_back(std::move(unit));
            return;
        }
        case usb_audio::SELECTOR_UNIT: {
            if (d.size() < 5 || d.size() < std::size_t{7} + d[4]) return;
            index.selectorUnits.push_back(
                {.id = d[3], .inputPins = d[4], .bmControls = d[5 + d[4]]});
            return;
        }
        case usb_audio::CLOCK_SOURCE:
            if (d.size() < sizeof(usb_audio::CLOCK_SOURCE_DESCRIPTOR)) return;
            index.clockSources.push_back({.id = d[3], .bmControls = d[5]});
            return;
        default:
            return;
    }
}

}  // namespace

const AlternateFacts* ConfigurationIndex::Find(UCHAR interfaceNumber,
                                               UCHAR alternateSetting) const {
    for (const AlternateFacts& alternate : alternates)
        if (alternate.interfaceNumber == interfaceNumber &&
            alternate.alternateSetting == alternateSetting)
            return &alternate;
    return nullptr;
}

bool ConfigurationIndex::HasInterface(UCHAR interfaceNumber) const {
    return Find(interfaceNumber, 0) != nullptr;
}

const EndpointFacts* ConfigurationIndex::FindEndpoint(const AlternateFacts& alternate,
                                                      UCHAR address) const {
    for (const EndpointFacts& endpoint : alternate.endpoints)
        if (endpoint.address == address) return &endpoint;
    return nullptr;
}

bool ConfigurationIndex::HasEndpoint(UCHAR address) const {
    for (const AlternateFacts& alternate : alternates)
        if (FindEndpoint(alternate, address) != nullptr) return true;
    return false;
}

ConfigurationIndex IndexConfiguration(std::span<const std::uint8_t> configuration) {
    ConfigurationIndex index;
    if (configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return index;
    index.configurationValue = configuration[5];
    index.attributes = configuration[7];
    const std::size_t total = std::min<std::size_t>(Word(configuration, 2), configuration.size());

    // The alternate setting the descriptors being walked belong to (re-pointed after
    // every append, so never left dangling).
    AlternateFacts* current = nullptr;
    std::size_t offset = configuration[0];
    while (offset + 2 <= total) {
        const std::size_t length = configuration[offset];
        if (length < 2 || offset + length > total) break;
        const std::span<const std::uint8_t> d = configuration.subspan(offset, length);
        offset += length;
        const UCHAR type = d[1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            index.alternates.push_back({
                .interfaceNumber = d[2],
                .alternateSetting = d[3],
                .interfaceClass = d[5],
                .interfaceSubClass = d[6],
            });
            current = &index.alternates.back();
            if (current->interfaceClass == USB_DEVICE_CLASS_AUDIO &&
                current->interfaceSubClass == usb_audio::AUDIOCONTROL && !index.controlInterface)
                index.controlInterface = current->interfaceNumber;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= 7 && current != nullptr) {
            current->endpoints.push_back({
                .address = d[2],
                .attributes = d[3],
                .maxPacketBytes =
                    static_cast<USHORT>(Word(d, 4) & USB_ENDPOINT_MAX_PACKET_SIZE_MASK),
                .interval = d[6],
            });
        } else if (type == usb_audio::CS_INTERFACE && length >= 3 && current != nullptr &&
                   current->interfaceClass == USB_DEVICE_CLASS_AUDIO) {
            if (current->interfaceSubClass == usb_audio::AUDIOCONTROL) {
                if (current->interfaceNumber == index.controlInterface)
                    IndexControlEntity(index, d);
            } else if (current->interfaceSubClass == usb_audio::AUDIOSTREAMING) {
                if (d[2] == usb_audio::AS_GENERAL &&
                    length >= sizeof(usb_audio::AS_GENERAL_DESCRIPTOR))
                    current->format = StreamFormat{.channels = d[10]};
                else if (d[2] == usb_audio::FORMAT_TYPE && length >= 6 && current->format) {
                    current->format->subslotBytes = d[4];
                    current->format->bitResolution = d[5];
                }
            }
        }
    }
    // A streaming setting without a complete format carries no audio for the device.
    for (AlternateFacts& alternate : index.alternates)
        if (alternate.format && alternate.format->BytesPerFrame() == 0) alternate.format.reset();
    return index;
}

}  // namespace sim
