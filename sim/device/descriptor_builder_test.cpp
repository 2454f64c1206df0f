#include "sim/device/descriptor_builder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/device/descriptor_walker.h"

namespace sim {
namespace {

using namespace usb_audio;
using Bytes = std::vector<std::uint8_t>;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::WalkConfiguration;

constexpr USB_CONFIGURATION_DESCRIPTOR kHead = {
    .bConfigurationValue = 1,
    .bmAttributes = USB_CONFIG_BUS_POWERED,
    .MaxPower = 50,
};

USB_INTERFACE_DESCRIPTOR AudioInterface(UCHAR number, UCHAR alternate, UCHAR subclass) {
    return {.bInterfaceNumber = number,
            .bAlternateSetting = alternate,
            .bInterfaceClass = USB_DEVICE_CLASS_AUDIO,
            .bInterfaceSubClass = subclass,
            .bInterfaceProtocol = IP_VERSION_02_00};
}

// AudioControl interface 0 of a playback-only function: header, clock 1, streaming
// input terminal 2, speaker 3. Its class-specific block is 9 + 8 + 17 + 12 = 46 bytes.
constexpr std::size_t kControlBlockBytes = 46;
ConfigurationBuilder& AddControl(ConfigurationBuilder& config) {
    return config.Interface(AudioInterface(0, 0, AUDIOCONTROL))
        .AcHeader({.bcdADC = ADC_VERSION_02_00})
        .ClockSource({.bClockID = 1, .bmAttributes = CLOCK_TYPE_INTERNAL_FIXED})
        .InputTerminal({.bTerminalID = 2, .wTerminalType = USB_STREAMING, .bCSourceID = 1})
        .OutputTerminal(
            {.bTerminalID = 3, .wTerminalType = SPEAKER, .bSourceID = 2, .bCSourceID = 1});
}

// Streaming interface 1 linked to terminal 2: alt 0 empty, alt 1 with a data endpoint
// and its feedback endpoint.
ConfigurationBuilder& AddStreaming(ConfigurationBuilder& config, UCHAR terminalLink = 2) {
    return config.Interface(AudioInterface(1, 0, AUDIOSTREAMING))
        .Interface(AudioInterface(1, 1, AUDIOSTREAMING))
        .AsGeneral({.bTerminalLink = terminalLink,
                    .bFormatType = FORMAT_TYPE_I,
                    .bmFormats = PCM,
                    .bNrChannels = 2})
        .FormatType({.bFormatType = FORMAT_TYPE_I, .bSubslotSize = 2, .bBitResolution = 16})
        .Endpoint({.bEndpointAddress = 0x01, .bmAttributes = 0x05, .wMaxPacketSize = 200})
        .AsIsochronousEndpoint({})
        .Endpoint({.bEndpointAddress = 0x81, .bmAttributes = 0x11, .wMaxPacketSize = 4});
}

ConfigurationBuilder PlaybackFunction() {
    ConfigurationBuilder config(kHead);
    AddControl(config);
    AddStreaming(config);
    return config;
}

std::size_t Word(const Bytes& bytes, std::size_t offset) {
    return bytes[offset] | (bytes[offset + 1] << 8);
}

// The bytes after the configuration header.
Bytes Body(const ConfigurationBuilder& config) {
    const Bytes bytes = config.Build();
    return Bytes(bytes.begin() + sizeof(USB_CONFIGURATION_DESCRIPTOR), bytes.end());
}

std::string Joined(const std::vector<std::string>& problems) {
    std::string text;
    for (const std::string& p : problems) text += p + "\n";
    return text;
}

TEST(DescriptorBuilder, FillsTotalsAndCounts) {
    const Bytes bytes = PlaybackFunction().Build();
    const auto walk = WalkConfiguration(bytes);
    ASSERT_THAT(walk.problems, IsEmpty()) << Joined(walk.problems);

    // The head keeps what it was given and counts the rest; alt 1 is no new interface.
    const auto total = static_cast<std::uint8_t>(bytes.size());
    EXPECT_THAT(Bytes(bytes.begin(), bytes.begin() + 9),
                ElementsAre(9, 2, total, 0, 2, 1, 0, 0x80, 50));
    const auto& d = walk.descriptors;
    ASSERT_EQ(d[1].Subtype(), HEADER);
    EXPECT_EQ(d[1].Word(6), kControlBlockBytes);  // stops at the next interface
    EXPECT_EQ(d[0].Byte(4), 0);                   // AudioControl: no endpoints
    EXPECT_EQ(d[5].alternateSetting, 0);
    EXPECT_EQ(d[5].Byte(4), 0);
    EXPECT_EQ(d[6].alternateSetting, 1);
    EXPECT_EQ(d[6].Byte(4), 2);  // data and feedback; the class-specific one is no endpoint
}

TEST(DescriptorBuilder, RawBytesCountTowardTheTotalsThatSpanThem) {
    const Bytes unknownEntity = {5, CS_INTERFACE, 0x7F, 0x21, 0x00};
    ConfigurationBuilder config(kHead);
    AddControl(config);
    config.Raw(unknownEntity);
    AddStreaming(config);
    const Bytes bytes = config.Build();
    const auto walk = WalkConfiguration(bytes);
    ASSERT_THAT(walk.problems, IsEmpty()) << Joined(walk.problems);

    EXPECT_EQ(Word(bytes, 2), PlaybackFunction().Build().size() + unknownEntity.size());
    EXPECT_EQ(walk.descriptors[1].Word(6), kControlBlockBytes + unknownEntity.size());
    const std::size_t rawOffset = 9 + 9 + kControlBlockBytes;
    EXPECT_THAT(Bytes(bytes.begin() + rawOffset, bytes.begin() + rawOffset + 5),
                ElementsAreArray(unknownEntity));
}

// Each row makes one fault, through a value kept as given or raw bytes, and names the
// problem the walker must report; the walker is what every descriptor test relies on.
TEST(DescriptorBuilder, EachFaultReachesTheWireAndTheWalkerReportsIt) {
    struct Case {
        const char* name;
        std::function<void(ConfigurationBuilder&)> build;
        const char* problem;
    } cases[] = {
        {"total length kept", [](auto& c) { AddStreaming(AddControl(c)).TotalLength(90); },
         "wTotalLength 90"},
        {"interface count kept", [](auto& c) { AddStreaming(AddControl(c)).InterfaceCount(3); },
         "bNumInterfaces 3 but 2"},
        {"endpoint count kept",
         [](auto& c) {
             AddControl(c);
             USB_INTERFACE_DESCRIPTOR lying = AudioInterface(1, 0, AUDIOSTREAMING);
             lying.bNumEndpoints = 1;
             c.Interface(lying, Fill::AsGiven);
         },
         "bNumEndpoints 1 but 0"},
        {"header length kept",
         [](auto& c) {
             c.Interface(AudioInterface(0, 0, AUDIOCONTROL))
                 .AcHeader({.bcdADC = ADC_VERSION_02_00, .wTotalLength = 40}, Fill::AsGiven)
                 .ClockSource({.bClockID = 1});
         },
         "header wTotalLength 40 but the class-specific block has 17"},
        {"bLength 0",
         [](auto& c) {
             AddControl(c).Raw({0, CS_INTERFACE});
         },
         "bLength 0"},
        {"bLength 1", [](auto& c) { AddControl(c).Raw({1}); }, "bLength 1"},
        {"overrun",
         [](auto& c) {
             AddControl(c).Raw({40, CS_INTERFACE, 0x02, 7});
         },
         "overruns wTotalLength"},
        {"short terminal",
         [](auto& c) {
             AddControl(c).Raw({10, CS_INTERFACE, INPUT_TERMINAL, 7, 1, 2, 0, 1, 2, 0});
         },
         "(subtype 2) has bLength 10"},
        {"feature unit without channels",
         [](auto& c) { AddControl(c).FeatureUnit({.bUnitID = 9, .bSourceID = 2}); },
         "(subtype 6) has bLength 6"},
        {"dangling source",
         [](auto& c) {
             AddControl(c).FeatureUnit({.bUnitID = 9, .bSourceID = 99, .bmaControls = {3}});
         },
         "entity 9: source 99 does not exist"},
        {"terminal with no clock",
         [](auto& c) {
             AddControl(c).InputTerminal({.bTerminalID = 8, .wTerminalType = MICROPHONE});
         },
         "entity 8: clock 0 is not a clock entity"},
        {"duplicate ID",
         [](auto& c) { AddControl(c).InputTerminal({.bTerminalID = 3, .bCSourceID = 1}); },
         "entity ID 3 is used twice"},
        {"link to a speaker", [](auto& c) { AddStreaming(AddControl(c), 3); },
         "bTerminalLink 3 names no USB streaming terminal"},
        {"alternate setting skipped",
         [](auto& c) {
             AddControl(c);
             c.Interface(AudioInterface(1, 0, AUDIOSTREAMING))
                 .Interface(AudioInterface(1, 2, AUDIOSTREAMING));
         },
         "alternate setting 2 where 1 was due"},
        {"bandwidth in alternate setting 0",
         [](auto& c) {
             AddControl(c);
             c.Interface(AudioInterface(1, 0, AUDIOSTREAMING))
                 .Endpoint({.bEndpointAddress = 0x01, .bmAttributes = 0x05});
         },
         "alternate setting 0 has endpoints"},
        {"association away from its interfaces",
         [](auto& c) { AddControl(c.Association({.bFirstInterface = 1, .bInterfaceCount = 1})); },
         "is not followed by its first interface 1"},
        {"endpoint before any interface",
         [](auto& c) { AddControl(c.Endpoint({.bEndpointAddress = 0x81})); },
         "comes before any interface"},
    };
    for (const Case& c : cases) {
        ConfigurationBuilder config(kHead);
        c.build(config);
        const auto walk = WalkConfiguration(config.Build());
        EXPECT_THAT(Joined(walk.problems), HasSubstr(c.problem)) << c.name;
    }
}

TEST(DescriptorBuilder, LaysOutEachDescriptorByteForByte) {
    const auto single = [](const std::function<void(ConfigurationBuilder&)>& add) {
        ConfigurationBuilder config(kHead);
        add(config);
        return Body(config);
    };
    struct Case {
        const char* name;
        Bytes built;
        Bytes want;
    } cases[] = {
        {"device",
         DeviceDescriptorBytes({.bcdUSB = 0x0200,
                                .bDeviceClass = 0xEF,
                                .bDeviceSubClass = 2,
                                .bDeviceProtocol = 1,
                                .bMaxPacketSize0 = 64,
                                .idVendor = 0x2E4A,
                                .idProduct = 0x7A31,
                                .bcdDevice = 0x0100,
                                .iManufacturer = 1,
                                .iProduct = 2,
                                .iSerialNumber = 0,
                                .bNumConfigurations = 1}),
         {18, 1, 0x00, 0x02, 0xEF, 2, 1, 64, 0x4A, 0x2E, 0x31, 0x7A, 0x00, 0x01, 1, 2, 0, 1}},
        {"9-byte endpoint",
         single([](auto& c) {
             c.AudioEndpoint({.bEndpointAddress = 0x01,
                              .bmAttributes = 0x05,
                              .wMaxPacketSize = 0x188,
                              .bInterval = 1,
                              .bRefresh = 0,
                              .bSynchAddress = 0x81});
         }),
         {9, 5, 0x01, 0x05, 0x88, 0x01, 1, 0, 0x81}},
        {"association",
         single([](auto& c) {
             c.Association({.bFirstInterface = 1,
                            .bInterfaceCount = 3,
                            .bFunctionClass = 1,
                            .bFunctionSubClass = 0,
                            .bFunctionProtocol = 0x20,
                            .iFunction = 2});
         }),
         {8, 0x0B, 1, 3, 1, 0, 0x20, 2}},
        {"HID class descriptor",
         single([](auto& c) { c.Hid({.wReportDescriptorLength = 0x1C}); }),
         {9, 0x21, 0x11, 0x01, 0, 1, 0x22, 0x1C, 0}},
        {"feature unit",
         single([](auto& c) {
             c.FeatureUnit({.bUnitID = 10,
                            .bSourceID = 1,
                            .bmaControls = {0x3, 0xC, 0x8000000C},
                            .iFeature = 7});
         }),
         {18, 0x24, 0x06, 10, 1, 0x3, 0, 0, 0, 0xC, 0, 0, 0, 0xC, 0, 0, 0x80, 7}},
        {"selector unit",
         single([](auto& c) {
             c.SelectorUnit({.bUnitID = 5, .baSourceID = {3, 4, 8}, .iSelector = 9});
         }),
         {10, 0x24, 0x05, 5, 3, 3, 4, 8, 0x03, 9}},
        {"input terminal",
         single([](auto& c) {
             c.InputTerminal({.bTerminalID = 1,
                              .wTerminalType = USB_STREAMING,
                              .bCSourceID = 9,
                              .bNrChannels = 2,
                              .bmChannelConfig = 3,
                              .iChannelNames = 0,
                              .bmControls = 0,
                              .iTerminal = 4});
         }),
         {17, 0x24, 0x02, 1, 0x01, 0x01, 0, 9, 2, 3, 0, 0, 0, 0, 0, 0, 4}},
        {"AS general",
         single([](auto& c) {
             c.AsGeneral({.bTerminalLink = 1,
                          .bFormatType = FORMAT_TYPE_III,
                          .bmFormats = 0x1381,
                          .bNrChannels = 2,
                          .bmChannelConfig = 3});
         }),
         {16, 0x24, 0x01, 1, 0, 3, 0x81, 0x13, 0, 0, 2, 3, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) EXPECT_THAT(c.built, ElementsAreArray(c.want)) << c.name;
}

}  // namespace
}  // namespace sim
