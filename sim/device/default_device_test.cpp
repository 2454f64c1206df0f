#include "sim/device/default_device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <string>

#include "platform/usb/usb_audio.h"
#include "sim/device/descriptor_walker.h"

namespace sim::default_device {
namespace {

using namespace usb_audio;
using sim::testing::ConfigurationWalk;
using sim::testing::WalkConfiguration;
using sim::testing::WalkedDescriptor;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// What each bus speed must carry.
struct SpeedCase {
    const char* name;
    platform::UsbSpeed speed;
    std::vector<ULONG> ratesHz;
    ULONG packetsPerSecond;   // data packets: per 1 ms frame or per 125 us microframe
    USHORT packetLimitBytes;  // one isochronous transaction at this speed
    USHORT feedbackBytes;     // 10.14 at full speed, 16.16 at high speed
    UCHAR feedbackInterval;   // 1 ms either way
};

void PrintTo(const SpeedCase& speed, std::ostream* out) {
    *out << speed.name;
}

const SpeedCase kSpeeds[] = {
    {"HighSpeed",
     platform::UsbSpeed::kHigh,
     {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000},
     8000,
     1024,
     4,
     4},
    {"FullSpeed", platform::UsbSpeed::kFull, {44100, 48000, 88200, 96000}, 1000, 1023, 3, 1},
};

// One interface descriptor: (number, alternate, class, subclass, protocol, endpoints).
struct InterfaceRow {
    int number, alternate, cls, subclass, protocol, endpoints;
    bool operator==(const InterfaceRow&) const = default;
};
std::ostream& operator<<(std::ostream& out, const InterfaceRow& r) {
    return out << "{" << r.number << ", " << r.alternate << ", " << r.cls << ", " << r.subclass
               << ", " << r.protocol << ", " << r.endpoints << "}";
}

// One AudioControl entity: its kind, terminal type (0 for units and clocks) and sources.
struct Entity {
    int subtype;
    int terminalType;
    std::vector<int> sources;
    bool operator==(const Entity&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Entity& e) {
    out << "{subtype " << e.subtype << ", type 0x" << std::hex << e.terminalType << std::dec
        << ", sources";
    for (int source : e.sources) out << " " << source;
    return out << "}";
}

class DefaultDevice : public ::testing::TestWithParam<SpeedCase> {
  protected:
    DefaultDevice()
        : descriptors_(Descriptors(GetParam().speed)),
          walk_(WalkConfiguration(descriptors_.configuration)) {}

    const std::vector<WalkedDescriptor>& All() const { return walk_.descriptors; }

    std::vector<const WalkedDescriptor*> OfType(UCHAR type) const {
        std::vector<const WalkedDescriptor*> found;
        for (const WalkedDescriptor& d : All())
            if (d.Type() == type) found.push_back(&d);
        return found;
    }

    // The AudioControl entities by ID.
    std::map<UCHAR, const WalkedDescriptor*> Entities() const {
        std::map<UCHAR, const WalkedDescriptor*> entities;
        for (const WalkedDescriptor& d : All())
            if (d.Type() == CS_INTERFACE && d.interfaceNumber == kControlInterface &&
                d.Subtype() != HEADER)
                entities[d.Byte(3)] = &d;
        return entities;
    }

    DeviceDescriptors descriptors_;
    ConfigurationWalk walk_;
};

std::string Joined(const std::vector<std::string>& problems) {
    std::string text;
    for (const std::string& p : problems) text += p + "\n";
    return text;
}

TEST_P(DefaultDevice, IsWellFormed) {
    EXPECT_THAT(walk_.problems, IsEmpty()) << Joined(walk_.problems);
    ASSERT_EQ(descriptors_.device.size(), sizeof(USB_DEVICE_DESCRIPTOR));
    EXPECT_EQ(descriptors_.device[0], 18);
    EXPECT_EQ(descriptors_.device[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(descriptors_.device[17], 1);  // bNumConfigurations
}

TEST_P(DefaultDevice, InterfacesAreNumberedAsLaidOut) {
    std::vector<InterfaceRow> got;
    for (const WalkedDescriptor* d : OfType(USB_INTERFACE_DESCRIPTOR_TYPE))
        got.push_back({d->Byte(2), d->Byte(3), d->Byte(5), d->Byte(6), d->Byte(7), d->Byte(4)});
    const std::vector<InterfaceRow> want = {
        {0, 0, 3, 0, 0, 1},                // HID
        {1, 0, 1, AUDIOCONTROL, 0x20, 0},  // control
        {2, 0, 1, AUDIOSTREAMING, 0x20, 0},
        {2, 1, 1, AUDIOSTREAMING, 0x20, 2},  // playback
        {2, 2, 1, AUDIOSTREAMING, 0x20, 2},
        {2, 3, 1, AUDIOSTREAMING, 0x20, 2},  //
        {3, 0, 1, AUDIOSTREAMING, 0x20, 0},
        {3, 1, 1, AUDIOSTREAMING, 0x20, 1},  // capture
        {3, 2, 1, AUDIOSTREAMING, 0x20, 1},
        {3, 3, 1, AUDIOSTREAMING, 0x20, 1},  //
    };
    EXPECT_EQ(got, want);
    EXPECT_EQ(descriptors_.configuration[4], kInterfaceCount);
    // Hosts that walk from the first interface descriptor on skip nothing.
    ASSERT_FALSE(All().empty());
    EXPECT_EQ(All()[0].Type(), USB_INTERFACE_DESCRIPTOR_TYPE);
}

TEST_P(DefaultDevice, AssociationGroupsTheAudioFunction) {
    const auto associations = OfType(USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
    ASSERT_EQ(associations.size(), 1u);
    const WalkedDescriptor& iad = *associations[0];
    EXPECT_EQ(iad.Byte(2), kControlInterface);  // bFirstInterface
    EXPECT_EQ(iad.Byte(3), 3);                  // bInterfaceCount
    EXPECT_EQ(iad.Byte(4), USB_DEVICE_CLASS_AUDIO);
    EXPECT_EQ(iad.Byte(6), AF_VERSION_02_00);
    // A composite device with associations announces them in its device class.
    EXPECT_THAT(std::vector<int>(descriptors_.device.begin() + 4, descriptors_.device.begin() + 7),
                ElementsAre(0xEF, 0x02, 0x01));
}

TEST_P(DefaultDevice, TopologyIsTheLaidOutOne) {
    std::map<int, Entity> got;
    for (const auto& [id, e] : Entities()) {
        Entity entity{e->Subtype(), 0, {}};
        switch (e->Subtype()) {
            case INPUT_TERMINAL:
                entity.terminalType = e->Word(4);
                EXPECT_EQ(e->Byte(7), kClockSourceId) << "terminal " << int(id);
                EXPECT_EQ(e->Byte(8), kChannels) << "terminal " << int(id);
                break;
            case OUTPUT_TERMINAL:
                entity.terminalType = e->Word(4);
                entity.sources = {e->Byte(7)};
                EXPECT_EQ(e->Byte(8), kClockSourceId) << "terminal " << int(id);
                break;
            case FEATURE_UNIT:
                entity.sources = {e->Byte(4)};
                break;
            case SELECTOR_UNIT:
                entity.sources.assign(e->bytes.begin() + 5, e->bytes.begin() + 5 + e->Byte(4));
                break;
            case CLOCK_SOURCE:
                EXPECT_EQ(e->Byte(4) & 0x03, CLOCK_TYPE_INTERNAL_PROGRAMMABLE);
                EXPECT_TRUE(ControlPresent(e->Byte(5), CS_SAM_FREQ_CONTROL));
                break;
        }
        got[id] = entity;
    }
    const std::map<int, Entity> want = {
        {1, {INPUT_TERMINAL, USB_STREAMING, {}}},
        {10, {FEATURE_UNIT, 0, {1}}},
        {2, {OUTPUT_TERMINAL, HEADPHONES, {10}}},
        {3, {INPUT_TERMINAL, MICROPHONE, {}}},
        {4, {INPUT_TERMINAL, LINE_CONNECTOR, {}}},
        {5, {SELECTOR_UNIT, 0, {3, 4}}},
        {11, {FEATURE_UNIT, 0, {5}}},
        {6, {OUTPUT_TERMINAL, USB_STREAMING, {11}}},
        {9, {CLOCK_SOURCE, 0, {}}},
    };
    EXPECT_EQ(got, want);

    const auto header = std::find_if(All().begin(), All().end(), [](const WalkedDescriptor& d) {
        return d.Type() == CS_INTERFACE && d.Subtype() == HEADER;
    });
    ASSERT_NE(header, All().end());
    EXPECT_EQ(header->Word(3), 0x0200);  // bcdADC: this class generation
}

TEST_P(DefaultDevice, FeatureUnitsDeclareMasterMuteAndStereoVolume) {
    const auto entities = Entities();
    for (UCHAR id : {kPlaybackFeatureUnitId, kCaptureFeatureUnitId}) {
        ASSERT_TRUE(entities.contains(id)) << int(id);
        const WalkedDescriptor& unit = *entities.at(id);
        ASSERT_EQ((unit.bytes.size() - 6) / 4, 1u + kChannels) << "master and two channels";
        for (int channel = 0; channel <= kChannels; ++channel) {
            const ULONG controls = unit.Dword(5 + 4 * channel);
            std::vector<int> present;
            for (UCHAR selector = 1; selector <= 16; ++selector)
                if (ControlPresent(controls, selector)) present.push_back(selector);
            const std::vector<int> want = channel == 0 ? std::vector<int>{FU_MUTE_CONTROL}
                                                       : std::vector<int>{FU_VOLUME_CONTROL};
            EXPECT_EQ(present, want) << "unit " << int(id) << " channel " << channel;
        }
    }
}

TEST_P(DefaultDevice, AlternateSettingsCarryTheirFormats) {
    const std::map<int, UCHAR> terminalLink = {{kPlaybackInterface, kPlaybackStreamingTerminalId},
                                               {kCaptureInterface, kCaptureStreamingTerminalId}};
    const std::map<int, std::pair<int, int>> subslotAndBits = {
        {1, {2, 16}}, {2, {3, 24}}, {3, {4, 32}}};
    int settings = 0;
    for (std::size_t i = 0; i + 2 < All().size(); ++i) {
        const WalkedDescriptor& d = All()[i];
        if (d.Type() != USB_INTERFACE_DESCRIPTOR_TYPE ||
            !terminalLink.contains(d.interfaceNumber) || d.alternateSetting == 0)
            continue;
        ++settings;
        const WalkedDescriptor& general = All()[i + 1];
        const WalkedDescriptor& format = All()[i + 2];
        const std::string where = "interface " + std::to_string(d.interfaceNumber) + " alt " +
                                  std::to_string(d.alternateSetting);
        ASSERT_EQ(general.Subtype(), AS_GENERAL) << where;
        EXPECT_EQ(general.Byte(3), terminalLink.at(d.interfaceNumber)) << where;
        EXPECT_EQ(general.Byte(5), FORMAT_TYPE_I) << where;
        EXPECT_EQ(general.Dword(6), PCM) << where;
        EXPECT_EQ(general.Byte(10), 2) << where;
        EXPECT_EQ(general.Dword(11), CHANNEL_FRONT_LEFT | CHANNEL_FRONT_RIGHT) << where;
        ASSERT_EQ(format.Subtype(), FORMAT_TYPE) << where;
        EXPECT_EQ(format.Byte(3), FORMAT_TYPE_I) << where;
        const std::pair<int, int> want = subslotAndBits.at(d.alternateSetting);
        EXPECT_EQ(std::make_pair(int(format.Byte(4)), int(format.Byte(5))), want) << where;
    }
    EXPECT_EQ(settings, 6);
}

TEST_P(DefaultDevice, DataEndpointsHoldTheHighestRateWithHeadroom) {
    const SpeedCase& speed = GetParam();
    const ULONG highestRateHz = speed.ratesHz.back();
    const std::map<int, UCHAR> dataEndpoint = {{kPlaybackInterface, 0x01},
                                               {kCaptureInterface, 0x82}};
    int dataEndpoints = 0, feedbackEndpoints = 0;
    for (std::size_t i = 0; i < All().size(); ++i) {
        const WalkedDescriptor& e = All()[i];
        if (e.Type() != USB_ENDPOINT_DESCRIPTOR_TYPE || !dataEndpoint.contains(e.interfaceNumber))
            continue;
        const std::string where = "interface " + std::to_string(e.interfaceNumber) + " alt " +
                                  std::to_string(e.alternateSetting) + " endpoint " +
                                  std::to_string(e.Byte(2));
        const UCHAR attributes = e.Byte(3);
        const USHORT maxPacketBytes = e.Word(4);
        if ((attributes & USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_MASK) ==
            USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_FEEDBACK_ENDPOINT) {
            ++feedbackEndpoints;
            // Explicit feedback answers for the data endpoint with the same number, and
            // declares no synchronisation of its own.
            EXPECT_EQ(e.Byte(2), 0x81) << where;
            EXPECT_EQ(attributes & (USB_ENDPOINT_TYPE_MASK |
                                    USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_MASK),
                      USB_ENDPOINT_TYPE_ISOCHRONOUS)
                << where;
            EXPECT_EQ(maxPacketBytes, speed.feedbackBytes) << where;
            EXPECT_EQ(e.Byte(6), speed.feedbackInterval) << where;
            continue;
        }
        ++dataEndpoints;
        EXPECT_EQ(e.Byte(2), dataEndpoint.at(e.interfaceNumber)) << where;
        EXPECT_EQ(attributes, USB_ENDPOINT_TYPE_ISOCHRONOUS |
                                  USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ASYNCHRONOUS)
            << where;
        EXPECT_EQ(e.Byte(6), 1) << where << ": one packet every (micro)frame";
        ASSERT_LT(i + 1, All().size());
        EXPECT_EQ(All()[i + 1].Type(), CS_ENDPOINT) << where;

        // The subslot size comes from this alternate setting's format type descriptor.
        const auto format = std::find_if(All().begin(), All().end(), [&](auto& d) {
            return d.interfaceNumber == e.interfaceNumber &&
                   d.alternateSetting == e.alternateSetting && d.Type() == CS_INTERFACE &&
                   d.Subtype() == FORMAT_TYPE;
        });
        ASSERT_NE(format, All().end()) << where;
        const ULONG bytesPerFrame = format->Byte(4) * 2u;
        const ULONG framesPerPacket =
            (highestRateHz + speed.packetsPerSecond - 1) / speed.packetsPerSecond;
        EXPECT_GE(maxPacketBytes, (framesPerPacket + 1) * bytesPerFrame)
            << where << ": " << highestRateHz << " Hz plus one frame of headroom";
        EXPECT_LE(maxPacketBytes, speed.packetLimitBytes) << where;
    }
    EXPECT_EQ(dataEndpoints, 6);
    EXPECT_EQ(feedbackEndpoints, 3);
}

TEST_P(DefaultDevice, OffersTheSpeedsRates) {
    EXPECT_THAT(SampleRatesHz(GetParam().speed), ElementsAreArray(GetParam().ratesHz));
}

// Every string index a descriptor names exists in the device's language.
TEST_P(DefaultDevice, EveryStringIndexResolves) {
    std::vector<std::pair<std::string, UCHAR>> indices = {
        {"iManufacturer", descriptors_.device[14]},
        {"iProduct", descriptors_.device[15]},
        {"iSerialNumber", descriptors_.device[16]},
        {"iConfiguration", descriptors_.configuration[6]},
    };
    for (const WalkedDescriptor& d : All()) {
        const std::string at = " at offset " + std::to_string(d.offset);
        if (d.Type() == USB_INTERFACE_DESCRIPTOR_TYPE)
            indices.push_back({"iInterface" + at, d.Byte(8)});
        if (d.Type() == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE)
            indices.push_back({"iFunction" + at, d.Byte(7)});
        if (d.Type() != CS_INTERFACE) continue;
        const UCHAR last = d.bytes.back();
        if (d.interfaceNumber == kControlInterface) {
            switch (d.Subtype()) {
                case CLOCK_SOURCE:
                    indices.push_back({"iClockSource" + at, d.Byte(7)});
                    break;
                case INPUT_TERMINAL:
                    indices.push_back({"iChannelNames" + at, d.Byte(13)});
                    indices.push_back({"iTerminal" + at, d.Byte(16)});
                    break;
                case OUTPUT_TERMINAL:
                    indices.push_back({"iTerminal" + at, d.Byte(11)});
                    break;
                case FEATURE_UNIT:
                    indices.push_back({"iFeature" + at, last});
                    break;
                case SELECTOR_UNIT:
                    indices.push_back({"iSelector" + at, last});
                    break;
            }
        } else if (d.Subtype() == AS_GENERAL) {
            indices.push_back({"iChannelNames" + at, d.Byte(15)});
        }
    }
    for (const auto& [field, index] : indices) {
        if (index == 0) continue;
        const auto string = descriptors_.strings.Descriptor(index, USB_LANGID_ENGLISH_US);
        ASSERT_TRUE(string.has_value()) << field << " names string " << int(index);
        EXPECT_EQ((*string)[0], string->size()) << field;
        EXPECT_EQ((*string)[1], USB_STRING_DESCRIPTOR_TYPE) << field;
    }
    EXPECT_THAT(*descriptors_.strings.Descriptor(0, 0), ElementsAre(4, 3, 0x09, 0x04));
}

INSTANTIATE_TEST_SUITE_P(BothSpeeds, DefaultDevice, ::testing::ValuesIn(kSpeeds),
                         [](const auto& info) { return info.param.name; });

std::u16string Text(const std::vector<std::uint8_t>& descriptor) {
    std::u16string text;
    for (std::size_t i = 2; i + 1 < descriptor.size(); i += 2)
        text.push_back(static_cast<char16_t>(descriptor[i] | (descriptor[i + 1] << 8)));
    return text;
}

TEST(DefaultDeviceIdentity, NamesTheProductAndFollowsTheChosenProductId) {
    const DeviceDescriptors primary = Descriptors(platform::UsbSpeed::kHigh);
    const DeviceDescriptors alternate = Descriptors(platform::UsbSpeed::kHigh, kAlternateProductId);
    const auto ids = [](const DeviceDescriptors& d) {
        return std::make_pair(d.device[8] | (d.device[9] << 8), d.device[10] | (d.device[11] << 8));
    };
    EXPECT_EQ(ids(primary), std::make_pair(0x2E4A, 0x7A31));
    EXPECT_EQ(ids(alternate), std::make_pair(0x2E4A, 0x7A30));
    EXPECT_EQ(alternate.configuration, primary.configuration);

    EXPECT_EQ(Text(*primary.strings.Descriptor(primary.device[14], USB_LANGID_ENGLISH_US)),
              u"Brenlo");
    EXPECT_EQ(Text(*primary.strings.Descriptor(primary.device[15], USB_LANGID_ENGLISH_US)),
              u"Kaldrit Hi-Fi");
}

}  // namespace
}  // namespace sim::default_device
