// What the device's firmware knows of its own configuration descriptor: the interfaces
// and alternate settings it can be switched to, their endpoints and sample formats, and
// the AudioControl entities whose controls it answers. Read once from the descriptor
// bytes when the device is made, so that a test's variant descriptors change the
// device's behaviour with them. Every step of the walk is bounded by the bytes given; a
// malformed descriptor ends the walk and leaves out what follows it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/core/types.h"

namespace sim {

struct EndpointFacts {
    UCHAR address = 0;
    UCHAR attributes = 0;       // bmAttributes
    USHORT maxPacketBytes = 0;  // wMaxPacketSize, size bits only
    UCHAR interval = 0;
};

// The sample format of an AudioStreaming alternate setting.
struct StreamFormat {
    unsigned channels = 0;       // bNrChannels of the AS interface descriptor
    unsigned subslotBytes = 0;   // bSubslotSize
    unsigned bitResolution = 0;  // bBitResolution
    unsigned BytesPerFrame() const { return channels * subslotBytes; }
};

struct AlternateFacts {
    UCHAR interfaceNumber = 0;
    UCHAR alternateSetting = 0;
    UCHAR interfaceClass = 0;
    UCHAR interfaceSubClass = 0;
    std::vector<EndpointFacts> endpoints;
    std::optional<StreamFormat> format;  // AudioStreaming settings with a format only
};

struct FeatureUnitFacts {
    UCHAR id = 0;
    std::vector<ULONG> bmaControls;  // master channel first
};

struct SelectorUnitFacts {
    UCHAR id = 0;
    UCHAR inputPins = 0;  // bNrInPins
    UCHAR bmControls = 0;
};

struct ClockSourceFacts {
    UCHAR id = 0;
    UCHAR bmControls = 0;
};

struct ConfigurationIndex {
    UCHAR configurationValue = 0;
    UCHAR attributes = 0;                    // bmAttributes of the configuration
    std::vector<AlternateFacts> alternates;  // in descriptor order
    std::optional<UCHAR> controlInterface;   // the first AudioControl interface
    std::vector<FeatureUnitFacts> featureUnits;
    std::vector<SelectorUnitFacts> selectorUnits;
    std::vector<ClockSourceFacts> clockSources;

    const AlternateFacts* Find(UCHAR interfaceNumber, UCHAR alternateSetting) const;
    bool HasInterface(UCHAR interfaceNumber) const;
    // The endpoint with `address` in `alternate`, or none.
    const EndpointFacts* FindEndpoint(const AlternateFacts& alternate, UCHAR address) const;
    // Whether any alternate setting has an endpoint with this address.
    bool HasEndpoint(UCHAR address) const;
};

ConfigurationIndex IndexConfiguration(std::span<const std::uint8_t> configuration);

}  // namespace sim
