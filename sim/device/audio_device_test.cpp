// Control transfers to the simulated device: standard requests, the class requests of
// its entities and endpoints, and the faults a test can arm on them.
#include "sim/device/audio_device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "sim/device/device_test_host.h"

namespace sim {
namespace {

using namespace default_device;
using platform::ControlOutcome;
using platform::ControlReply;
using platform::UsbSpeed;
using sim::testing::Send;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr ControlOutcome kAck = ControlOutcome::kAck;
constexpr ControlOutcome kStall = ControlOutcome::kStall;

// One control transfer and what the device must answer.
struct Step {
    const char* what;
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
    std::vector<std::uint8_t> out;
    ControlOutcome outcome;
    std::vector<std::uint8_t> reply;  // checked for acknowledged reads
};

// Runs the steps in order, so later ones read back what earlier ones wrote.
void RunSteps(AudioDevice& device, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        const ControlReply reply = Send(device, step.bmRequestType, step.bRequest, step.wValue,
                                        step.wIndex, step.wLength, step.out);
        EXPECT_EQ(reply.outcome, step.outcome) << step.what;
        if (step.outcome == kAck && (step.bmRequestType & 0x80) != 0) {
            EXPECT_THAT(reply.data, ElementsAreArray(step.reply)) << step.what;
        }
    }
}

std::vector<std::uint8_t> Utf16Descriptor(const std::u16string& text) {
    std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

TEST(AudioDeviceDescriptorsTest, AnswersDescriptorsCutToTheRequestedLength) {
    AudioDevice device(UsbSpeed::kHigh, 0);
    const DeviceDescriptors expected = Descriptors(UsbSpeed::kHigh);
    const std::vector<std::uint8_t>& config = expected.configuration;
    const std::vector<std::uint8_t> english = Utf16Descriptor(u"Kaldrit Hi-Fi");
    const std::vector<Step> steps = {
        // The host's first look: the first 8 bytes hold bMaxPacketSize0.
        {"device, 8 bytes",
         0x80,
         6,
         0x0100,
         0,
         8,
         {},
         kAck,
         {expected.device.begin(), expected.device.begin() + 8}},
        {"device, more than it has", 0x80, 6, 0x0100, 0, 64, {}, kAck, expected.device},
        {"configuration head",
         0x80,
         6,
         0x0200,
         0,
         9,
         {},
         kAck,
         {config.begin(), config.begin() + 9}},
        {"configuration whole", 0x80, 6, 0x0200, 0, 0xFFFF, {}, kAck, config},
        {"configuration, one byte short",
         0x80,
         6,
         0x0200,
         0,
         static_cast<USHORT>(config.size() - 1),
         {},
         kAck,
         {config.begin(), config.end() - 1}},
        {"second configuration", 0x80, 6, 0x0201, 0, 9, {}, kStall, {}},
        {"LANGID table", 0x80, 6, 0x0300, 0, 255, {}, kAck, {4, 3, 0x09, 0x04}},
        {"LANGID table, 2 bytes", 0x80, 6, 0x0300, 0, 2, {}, kAck, {4, 3}},
        {"product string", 0x80, 6, 0x0302, 0x0409, 255, {}, kAck, english},
        // An unlisted language gets the default language's string.
        {"product string, German", 0x80, 6, 0x0302, 0x0407, 255, {}, kAck, english},
        {"string that does not exist", 0x80, 6, 0x0363, 0x0409, 255, {}, kStall, {}},
        {"device qualifier", 0x80, 6, 0x0600, 0, 10, {}, kStall, {}},
    };
    RunSteps(device, steps);
}

TEST(AudioDeviceDescriptorsTest, AlternateProductIdShowsInTheDeviceDescriptor) {
    AudioDevice device(UsbSpeed::kFull, 0, kAlternateProductId);
    const ControlReply reply = Send(device, 0x80, 6, 0x0100, 0, 18);
    ASSERT_EQ(reply.data.size(), 18u);
    EXPECT_EQ(reply.data[10] | (reply.data[11] << 8), kAlternateProductId);
}

TEST(AudioDeviceStandardTest, ConfigurationAndInterfacesFollowTheHost) {
    AudioDevice device(UsbSpeed::kHigh, 0);
    const std::vector<Step> steps = {
        {"no interface before configuration", 0x01, 11, 1, kPlaybackInterface, 0, {}, kStall, {}},
        {"unconfigured", 0x80, 8, 0, 0, 1, {}, kAck, {0}},
        {"a configuration it lacks", 0x00, 9, 2, 0, 0, {}, kStall, {}},
        {"configure", 0x00, 9, 1, 0, 0, {}, kAck, {}},
        {"configured", 0x80, 8, 0, 0, 1, {}, kAck, {1}},
        {"select 32-bit playback", 0x01, 11, 3, kPlaybackInterface, 0, {}, kAck, {}},
        {"reads it back", 0x81, 10, 0, kPlaybackInterface, 1, {}, kAck, {3}},
        {"an alternate setting it lacks", 0x01, 11, 4, kPlaybackInterface, 0, {}, kStall, {}},
        {"still 32-bit", 0x81, 10, 0, kPlaybackInterface, 1, {}, kAck, {3}},
        {"an interface it lacks", 0x01, 11, 0, 9, 0, {}, kStall, {}},
        {"capture untouched", 0x81, 10, 0, kCaptureInterface, 1, {}, kAck, {0}},
        {"bus powered, no wakeup", 0x80, 0, 0, 0, 2, {}, kAck, {0, 0}},
        {"endpoint status", 0x82, 0, 0, kPlaybackDataEndpoint, 2, {}, kAck, {0, 0}},
        {"clear halt", 0x02, 1, 0, kPlaybackFeedbackEndpoint, 0, {}, kAck, {}},
        {"clear halt, no such endpoint", 0x02, 1, 0, 0x05, 0, {}, kStall, {}},
        {"clear a device feature", 0x00, 1, 1, 0, 0, {}, kStall, {}},
        {"synch frame", 0x82, 12, 0, kPlaybackDataEndpoint, 2, {}, kStall, {}},
        {"vendor request", 0xC0, 0x42, 0, 0, 4, {}, kStall, {}},
        {"address", 0x00, 5, 7, 0, 0, {}, kAck, {}},
    };
    RunSteps(device, steps);
    EXPECT_EQ(device.AlternateSetting(kPlaybackInterface), 3);
    EXPECT_EQ(device.Address(), 7);

    // Configuring again starts every interface over at its first setting.
    ASSERT_EQ(Send(device, 0x00, 9, 1, 0, 0).outcome, kAck);
    EXPECT_EQ(device.AlternateSetting(kPlaybackInterface), 0);
}

TEST(AudioDeviceClassTest, ControlsReadBackWhatWasWrittenAndRefuseTheRest) {
    AudioDevice device(UsbSpeed::kHigh, 0);
    ASSERT_EQ(Send(device, 0x00, 9, 1, 0, 0).outcome, kAck);
    // wIndex = entity * 256 + AudioControl interface; wValue = selector * 256 + channel.
    constexpr USHORT kPlaybackFu = kPlaybackFeatureUnitId << 8 | kControlInterface;
    constexpr USHORT kSelector = kInputSelectorId << 8 | kControlInterface;
    constexpr USHORT kClock = kClockSourceId << 8 | kControlInterface;
    const std::vector<Step> steps = {
        // Volume, 1/256 dB: -127 dB .. 0 dB in 0.5 dB steps, per channel.
        {"volume ch1", 0xA1, 0x81, 0x0201, kPlaybackFu, 2, {}, kAck, {0x00, 0x00}},
        {"volume min", 0xA1, 0x82, 0x0201, kPlaybackFu, 2, {}, kAck, {0x00, 0x81}},
        {"volume max", 0xA1, 0x83, 0x0201, kPlaybackFu, 2, {}, kAck, {0x00, 0x00}},
        {"volume res", 0xA1, 0x84, 0x0201, kPlaybackFu, 2, {}, kAck, {0x80, 0x00}},
        {"volume range",
         0xA1,
         0x02,
         0x0201,
         kPlaybackFu,
         8,
         {},
         kAck,
         {1, 0, 0x00, 0x81, 0x00, 0x00, 0x80, 0x00}},
        {"set ch1 -10 dB", 0x21, 0x01, 0x0201, kPlaybackFu, 2, {0x00, 0xF6}, kAck, {}},
        {"ch1 reads -10 dB", 0xA1, 0x81, 0x0201, kPlaybackFu, 2, {}, kAck, {0x00, 0xF6}},
        {"ch1, current as CUR", 0xA1, 0x01, 0x0201, kPlaybackFu, 2, {}, kAck, {0x00, 0xF6}},
        {"ch2 unchanged", 0xA1, 0x81, 0x0202, kPlaybackFu, 2, {}, kAck, {0x00, 0x00}},
        {"below the minimum clamps", 0x21, 0x01, 0x0202, kPlaybackFu, 2, {0xFF, 0x80}, kAck, {}},
        {"ch2 at the minimum", 0xA1, 0x81, 0x0202, kPlaybackFu, 2, {}, kAck, {0x00, 0x81}},
        {"silence is kept", 0x21, 0x01, 0x0202, kPlaybackFu, 2, {0x00, 0x80}, kAck, {}},
        {"ch2 silent", 0xA1, 0x81, 0x0202, kPlaybackFu, 2, {}, kAck, {0x00, 0x80}},
        {"short data stage", 0x21, 0x01, 0x0201, kPlaybackFu, 1, {0x00}, kStall, {}},
        {"ranges are fixed", 0x21, 0x02, 0x0201, kPlaybackFu, 2, {0x00, 0x90}, kStall, {}},
        {"volume on master, undeclared", 0xA1, 0x81, 0x0200, kPlaybackFu, 2, {}, kStall, {}},
        {"volume on channel 3", 0xA1, 0x81, 0x0203, kPlaybackFu, 2, {}, kStall, {}},
        // Mute, one byte, master only.
        {"mute", 0xA1, 0x81, 0x0100, kPlaybackFu, 1, {}, kAck, {0}},
        {"set mute", 0x21, 0x01, 0x0100, kPlaybackFu, 1, {1}, kAck, {}},
        {"muted", 0xA1, 0x81, 0x0100, kPlaybackFu, 1, {}, kAck, {1}},
        {"mute has no range", 0xA1, 0x82, 0x0100, kPlaybackFu, 1, {}, kStall, {}},
        {"mute on ch1, undeclared", 0xA1, 0x81, 0x0101, kPlaybackFu, 1, {}, kStall, {}},
        {"bass, undeclared", 0xA1, 0x81, 0x0300, kPlaybackFu, 1, {}, kStall, {}},
        {"wrong interface", 0xA1, 0x81, 0x0100, kPlaybackFeatureUnitId << 8 | 2, 1, {}, kStall, {}},
        {"no such entity", 0xA1, 0x81, 0x0100, 7 << 8 | kControlInterface, 1, {}, kStall, {}},
        {"a terminal", 0xA1, 0x81, 0x0100, 1 << 8 | kControlInterface, 1, {}, kStall, {}},
        // Selector: input 1..2, addressed with wValue 0 or 0x0100.
        {"selector", 0xA1, 0x81, 0x0000, kSelector, 1, {}, kAck, {1}},
        {"select line in", 0x21, 0x01, 0x0000, kSelector, 1, {2}, kAck, {}},
        {"line in", 0xA1, 0x81, 0x0000, kSelector, 1, {}, kAck, {2}},
        {"line in, as CUR", 0xA1, 0x01, 0x0100, kSelector, 1, {}, kAck, {2}},
        {"input 3", 0x21, 0x01, 0x0000, kSelector, 1, {3}, kStall, {}},
        {"input 0", 0x21, 0x01, 0x0000, kSelector, 1, {0}, kStall, {}},
        // Clock source: 4-byte rate, its list as discrete subranges, always valid.
        {"clock rate", 0xA1, 0x01, 0x0100, kClock, 4, {}, kAck, {0x44, 0xAC, 0, 0}},
        {"rate count and first",
         0xA1,
         0x02,
         0x0100,
         kClock,
         14,
         {},
         kAck,
         {8, 0, 0x44, 0xAC, 0, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0}},
        {"set 96 kHz", 0x21, 0x01, 0x0100, kClock, 4, {0x00, 0x77, 0x01, 0x00}, kAck, {}},
        {"96 kHz", 0xA1, 0x81, 0x0100, kClock, 4, {}, kAck, {0x00, 0x77, 0x01, 0x00}},
        {"a rate it lacks", 0x21, 0x01, 0x0100, kClock, 4, {0x22, 0x56, 0, 0}, kStall, {}},
        {"clock valid", 0xA1, 0x01, 0x0200, kClock, 1, {}, kAck, {1}},
        {"clock valid is read-only", 0x21, 0x01, 0x0200, kClock, 1, {0}, kStall, {}},
        // Endpoint sampling frequency: 3 bytes on the data endpoint.
        {"endpoint 44.1 kHz",
         0x22,
         0x01,
         0x0100,
         kPlaybackDataEndpoint,
         3,
         {0x44, 0xAC, 0x00},
         kAck,
         {}},
        {"endpoint reads it",
         0xA2,
         0x81,
         0x0100,
         kPlaybackDataEndpoint,
         3,
         {},
         kAck,
         {0x44, 0xAC, 0x00}},
        {"clock follows", 0xA1, 0x01, 0x0100, kClock, 4, {}, kAck, {0x44, 0xAC, 0, 0}},
        {"capture endpoint too",
         0xA2,
         0x81,
         0x0100,
         kCaptureDataEndpoint,
         3,
         {},
         kAck,
         {0x44, 0xAC, 0x00}},
        {"endpoint 22.05 kHz",
         0x22,
         0x01,
         0x0100,
         kPlaybackDataEndpoint,
         3,
         {0x22, 0x56, 0x00},
         kStall,
         {}},
        {"pitch selector",
         0x22,
         0x01,
         0x0200,
         kPlaybackDataEndpoint,
         3,
         {0x44, 0xAC, 0x00},
         kStall,
         {}},
        {"feedback endpoint", 0xA2, 0x81, 0x0100, kPlaybackFeedbackEndpoint, 3, {}, kStall, {}},
    };
    RunSteps(device, steps);
    EXPECT_EQ(device.SampleRateHz(), 44100u);
    EXPECT_EQ(device.Controls().FeatureValue(kPlaybackFeatureUnitId, 2, 1), -10 * 256);
    EXPECT_EQ(device.Controls().SelectorInput(kInputSelectorId), 2);
}

TEST(AudioDeviceClassTest, FullRateListHasEverySpeedRateAsDiscreteSubrange) {
    AudioDevice device(UsbSpeed::kFull, 0);
    ASSERT_EQ(Send(device, 0x00, 9, 1, 0, 0).outcome, kAck);
    const ControlReply reply =
        Send(device, 0xA1, 0x02, 0x0100, kClockSourceId << 8 | kControlInterface, 2 + 12 * 4);
    ASSERT_EQ(reply.outcome, kAck);
    ASSERT_EQ(reply.data.size(), 2u + 12 * 4);
    EXPECT_EQ(reply.data[0], 4);
    const auto dword = [&](std::size_t at) {
        return reply.data[at] | reply.data[at + 1] << 8 | reply.data[at + 2] << 16 |
               reply.data[at + 3] << 24;
    };
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(dword(2 + 12 * i), static_cast<int>(kFullSpeedRatesHz[i]));
        EXPECT_EQ(dword(6 + 12 * i), static_cast<int>(kFullSpeedRatesHz[i]));
        EXPECT_EQ(dword(10 + 12 * i), 0);
    }
}

TEST(AudioDeviceClassTest, ClassRequestsNeedAConfiguration) {
    AudioDevice device(UsbSpeed::kHigh, 0);
    EXPECT_EQ(Send(device, 0xA1, 0x01, 0x0100, kClockSourceId << 8 | kControlInterface, 4).outcome,
              kStall);
}

TEST(AudioDeviceFaultTest, ArmedFaultsHitOnlyTheMatchingRequests) {
    AudioDevice device(UsbSpeed::kHigh, 0);
    device.Faults().StallRequest({.bmRequestType = 0x80, .bRequest = 6, .wValue = 0x0302});
    device.Faults().IgnoreRequest({.bRequest = USB_REQUEST_SET_INTERFACE});

    EXPECT_EQ(Send(device, 0x80, 6, 0x0302, 0x0409, 255).outcome, kStall);
    EXPECT_EQ(Send(device, 0x80, 6, 0x0301, 0x0409, 255).outcome, kAck);
    EXPECT_EQ(Send(device, 0x00, 9, 1, 0, 0).outcome, kAck);
    EXPECT_EQ(Send(device, 0x01, 11, 1, kPlaybackInterface, 0).outcome, ControlOutcome::kNoAnswer);
    EXPECT_EQ(device.AlternateSetting(kPlaybackInterface), 0);  // never carried out

    device.Faults().ClearRequestFaults();
    EXPECT_EQ(Send(device, 0x80, 6, 0x0302, 0x0409, 255).outcome, kAck);
}

TEST(AudioDeviceFaultTest, UnpluggedDeviceAnswersNothing) {
    AudioDevice device(UsbSpeed::kFull, 0);
    ASSERT_TRUE(
        sim::testing::OpenStream(device, kCaptureInterface, 1, kCaptureDataEndpoint, 48000));
    constexpr platform::VirtualTime kUnplug = 5 * platform::kMillisecond;
    device.Faults().DisconnectAt(kUnplug);

    EXPECT_TRUE(device.IsConnected(kUnplug - 1));
    std::vector<std::uint8_t> buffer(1024);
    EXPECT_EQ(device.IsoIn(kCaptureDataEndpoint, buffer, kUnplug - 1).outcome,
              platform::IsoOutcome::kOk);
    EXPECT_FALSE(device.IsConnected(kUnplug));
    EXPECT_EQ(Send(device, 0x80, 8, 0, 0, 1, {}, kUnplug).outcome, ControlOutcome::kNoAnswer);
    EXPECT_EQ(device.IsoIn(kCaptureDataEndpoint, buffer, kUnplug).outcome,
              platform::IsoOutcome::kError);

    AudioDevice other(UsbSpeed::kFull, 0);
    other.Disconnect(0);
    EXPECT_FALSE(other.IsConnected(0));
}

TEST(AudioDeviceVariantTest, CustomDescriptorsChangeWhatTheFirmwareAnswers) {
    // A feature unit with bass on the master channel, read-only volume on channel 1.
    ConfigurationBuilder config({.bConfigurationValue = 1, .bmAttributes = 0xC0, .MaxPower = 50});
    config
        .Interface({.bInterfaceNumber = 0,
                    .bInterfaceClass = USB_DEVICE_CLASS_AUDIO,
                    .bInterfaceSubClass = usb_audio::AUDIOCONTROL,
                    .bInterfaceProtocol = usb_audio::IP_VERSION_02_00})
        .AcHeader({.bcdADC = usb_audio::ADC_VERSION_02_00})
        .FeatureUnit({.bUnitID = 4,
                      .bSourceID = 1,
                      .bmaControls = {usb_audio::ControlBits(usb_audio::FU_BASS_CONTROL, 3),
                                      usb_audio::ControlBits(usb_audio::FU_VOLUME_CONTROL, 1)}});
    AudioDevice device(AudioDeviceOptions{
        .descriptors = DeviceDescriptors{.device = Descriptors(UsbSpeed::kFull).device,
                                         .configuration = config.Build()}});
    ASSERT_EQ(Send(device, 0x00, 9, 1, 0, 0).outcome, kAck);
    const std::vector<Step> steps = {
        {"self powered", 0x80, 0, 0, 0, 2, {}, kAck, {1, 0}},
        {"bass min, 1/4 dB", 0xA1, 0x82, 0x0300, 0x0400, 1, {}, kAck, {0xD0}},  // -12 dB
        {"set bass -2 dB", 0x21, 0x01, 0x0300, 0x0400, 1, {0xF8}, kAck, {}},
        {"bass -2 dB", 0xA1, 0x81, 0x0300, 0x0400, 1, {}, kAck, {0xF8}},
        {"read-only volume reads", 0xA1, 0x81, 0x0201, 0x0400, 2, {}, kAck, {0, 0}},
        {"read-only volume refuses", 0x21, 0x01, 0x0201, 0x0400, 2, {0, 0xF6}, kStall, {}},
        {"no clock source here", 0xA1, 0x01, 0x0100, 0x0900, 4, {}, kStall, {}},
    };
    RunSteps(device, steps);
}

}  // namespace
}  // namespace sim
