#include "sim/device/default_device.h"

#include <algorithm>

#include "platform/usb/usb_audio.h"
#include "platform/usb/usb_descriptors.h"

namespace sim::default_device {
namespace {

using namespace usb_audio;

constexpr USHORT kUsb20 = 0x0200;          // bcdUSB
constexpr USHORT kDeviceRelease = 0x0100;  // bcdDevice
constexpr UCHAR kControlMaxPacketBytes = 64;
constexpr UCHAR kMaxPower500mA = 250;  // MaxPower, units of 2 mA
constexpr UCHAR kConfigurationValue = 1;
constexpr UCHAR kHidMaxPacketBytes = 64;
// The HID firmware brings its report descriptor; until then the class descriptor
// announces none.
constexpr USHORT kHidReportDescriptorBytes = 0;
constexpr ULONG kStereo = CHANNEL_FRONT_LEFT | CHANNEL_FRONT_RIGHT;

constexpr UCHAR kIsochronousAsynchronous =
    USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ASYNCHRONOUS |
    USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_DATA_ENDPOINT;
constexpr UCHAR kIsochronousAdaptive = USB_ENDPOINT_TYPE_ISOCHRONOUS |
                                       USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ADAPTIVE |
                                       USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_DATA_ENDPOINT;
constexpr UCHAR kIsochronousFeedback =
    USB_ENDPOINT_TYPE_ISOCHRONOUS |
    USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_NO_SYNCHRONIZATION |
    USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_FEEDBACK_ENDPOINT;

// Master mute, and volume on each of the two channels.
const std::vector<ULONG> kStereoMuteAndVolume = {
    ControlBits(FU_MUTE_CONTROL, CONTROL_PROGRAMMABLE),
    ControlBits(FU_VOLUME_CONTROL, CONTROL_PROGRAMMABLE),
    ControlBits(FU_VOLUME_CONTROL, CONTROL_PROGRAMMABLE),
};

struct SpeedFacts {
    ULONG packetsPerSecond;  // data packets: one per frame or microframe
    UCHAR dataInterval;      // bInterval of the data endpoints
    UCHAR feedbackInterval;  // bInterval of the feedback endpoint: 1 ms
    USHORT feedbackBytes;    // wMaxPacketSize of the feedback endpoint
    UCHAR hidInterval;       // bInterval of the HID endpoint: 1 ms
};

SpeedFacts FactsFor(platform::UsbSpeed speed) {
    if (speed == platform::UsbSpeed::kHigh) return {8000, 1, 4, FEEDBACK_BYTES_HIGH_SPEED, 4};
    return {1000, 1, 1, FEEDBACK_BYTES_FULL_SPEED, 1};
}

// Bytes a data packet must hold at the highest rate: its frames per packet rounded up,
// plus one frame of headroom for a fast device clock.
USHORT DataMaxPacketBytes(platform::UsbSpeed speed, UCHAR subslotBytes) {
    const std::span<const ULONG> rates = SampleRatesHz(speed);
    const ULONG highestRateHz = *std::max_element(rates.begin(), rates.end());
    const ULONG packetsPerSecond = FactsFor(speed).packetsPerSecond;
    const ULONG framesPerPacket = (highestRateHz + packetsPerSecond - 1) / packetsPerSecond + 1;
    return static_cast<USHORT>(framesPerPacket * subslotBytes * kChannels);
}

void AddHidInterface(ConfigurationBuilder& config, const SpeedFacts& facts) {
    config
        .Interface({
            .bInterfaceNumber = kHidInterface,
            .bAlternateSetting = 0,
            .bInterfaceClass = USB_DEVICE_CLASS_HUMAN_INTERFACE,
            .bInterfaceSubClass = 0,  // no boot protocol
            .bInterfaceProtocol = 0,
            .iInterface = 0,
        })
        .Hid({.wReportDescriptorLength = kHidReportDescriptorBytes})
        .Endpoint({
            .bEndpointAddress = kHidInEndpoint,
            .bmAttributes = USB_ENDPOINT_TYPE_INTERRUPT,
            .wMaxPacketSize = kHidMaxPacketBytes,
            .bInterval = facts.hidInterval,
        });
}

void AddControlInterface(ConfigurationBuilder& config) {
    config
        .Association({
            .bFirstInterface = kControlInterface,
            .bInterfaceCount = 3,  // AudioControl and both AudioStreaming interfaces
            .bFunctionClass = USB_DEVICE_CLASS_AUDIO,
            .bFunctionSubClass = FUNCTION_SUBCLASS_UNDEFINED,
            .bFunctionProtocol = AF_VERSION_02_00,
            .iFunction = kProductString,
        })
        .Interface({
            .bInterfaceNumber = kControlInterface,
            .bAlternateSetting = 0,
            .bInterfaceClass = USB_DEVICE_CLASS_AUDIO,
            .bInterfaceSubClass = AUDIOCONTROL,
            .bInterfaceProtocol = IP_VERSION_02_00,
            .iInterface = 0,
        })
        .AcHeader({
            .bcdADC = ADC_VERSION_02_00,
            .bCategory = CATEGORY_CONVERTER,
            .bmControls = 0,  // no latency control
        })
        .ClockSource({
            .bClockID = kClockSourceId,
            .bmAttributes = CLOCK_TYPE_INTERNAL_PROGRAMMABLE,
            .bmControls =
                static_cast<UCHAR>(ControlBits(CS_SAM_FREQ_CONTROL, CONTROL_PROGRAMMABLE) |
                                   ControlBits(CS_CLOCK_VALID_CONTROL, CONTROL_READ_ONLY)),
            .bAssocTerminal = 0,
            .iClockSource = kClockString,
        })
        // Playback: host stream -> feature unit 10 -> headphones.
        .InputTerminal({
            .bTerminalID = kPlaybackStreamingTerminalId,
            .wTerminalType = USB_STREAMING,
            .bAssocTerminal = 0,
            .bCSourceID = kClockSourceId,
            .bNrChannels = kChannels,
            .bmChannelConfig = kStereo,
            .iChannelNames = 0,
            .bmControls = 0,
            .iTerminal = kPlaybackString,
        })
        .FeatureUnit({
            .bUnitID = kPlaybackFeatureUnitId,
            .bSourceID = kPlaybackStreamingTerminalId,
            .bmaControls = kStereoMuteAndVolume,
            .iFeature = 0,
        })
        .OutputTerminal({
            .bTerminalID = kHeadphoneTerminalId,
            .wTerminalType = HEADPHONES,
            .bAssocTerminal = 0,
            .bSourceID = kPlaybackFeatureUnitId,
            .bCSourceID = kClockSourceId,
            .bmControls = 0,
            .iTerminal = kHeadphoneString,
        })
        // Capture: microphone or line in -> selector 5 -> feature unit 11 -> host stream.
        .InputTerminal({
            .bTerminalID = kMicrophoneTerminalId,
            .wTerminalType = MICROPHONE,
            .bAssocTerminal = 0,
            .bCSourceID = kClockSourceId,
            .bNrChannels = kChannels,
            .bmChannelConfig = kStereo,
            .iChannelNames = 0,
            .bmControls = 0,
            .iTerminal = kMicrophoneString,
        })
        .InputTerminal({
            .bTerminalID = kLineInTerminalId,
            .wTerminalType = LINE_CONNECTOR,
            .bAssocTerminal = 0,
            .bCSourceID = kClockSourceId,
            .bNrChannels = kChannels,
            .bmChannelConfig = kStereo,
            .iChannelNames = 0,
            .bmControls = 0,
            .iTerminal = kLineInString,
        })
        .SelectorUnit({
            .bUnitID = kInputSelectorId,
            .baSourceID = {kMicrophoneTerminalId, kLineInTerminalId},
            .iSelector = kInputSelectString,
        })
        .FeatureUnit({
            .bUnitID = kCaptureFeatureUnitId,
            .bSourceID = kInputSelectorId,
            .bmaControls = kStereoMuteAndVolume,
            .iFeature = 0,
        })
        .OutputTerminal({
            .bTerminalID = kCaptureStreamingTerminalId,
            .wTerminalType = USB_STREAMING,
            .bAssocTerminal = 0,
            .bSourceID = kCaptureFeatureUnitId,
            .bCSourceID = kClockSourceId,
            .bmControls = 0,
            .iTerminal = kCaptureString,
        });
}

// The zero-bandwidth alternate setting 0 and one alternate setting per sample format,
// each with its data endpoint and, for playback, the feedback endpoint.
void AddStreamingInterface(ConfigurationBuilder& config, platform::UsbSpeed speed,
                           UCHAR interfaceNumber, UCHAR terminalLink, UCHAR dataEndpoint,
                           UCHAR dataAttributes, std::optional<UCHAR> syncEndpoint) {
    const SpeedFacts facts = FactsFor(speed);
    config.Interface({
        .bInterfaceNumber = interfaceNumber,
        .bAlternateSetting = 0,
        .bInterfaceClass = USB_DEVICE_CLASS_AUDIO,
        .bInterfaceSubClass = AUDIOSTREAMING,
        .bInterfaceProtocol = IP_VERSION_02_00,
        .iInterface = 0,
    });
    for (const AlternateFormat& format : kFormats) {
        config
            .Interface({
                .bInterfaceNumber = interfaceNumber,
                .bAlternateSetting = format.alternateSetting,
                .bInterfaceClass = USB_DEVICE_CLASS_AUDIO,
                .bInterfaceSubClass = AUDIOSTREAMING,
                .bInterfaceProtocol = IP_VERSION_02_00,
                .iInterface = 0,
            })
            .AsGeneral({
                .bTerminalLink = terminalLink,
                .bmControls = 0,
                .bFormatType = FORMAT_TYPE_I,
                .bmFormats = PCM,
                .bNrChannels = kChannels,
                .bmChannelConfig = kStereo,
                .iChannelNames = 0,
            })
            .FormatType({
                .bFormatType = FORMAT_TYPE_I,
                .bSubslotSize = format.subslotBytes,
                .bBitResolution = format.bitResolution,
            })
            .Endpoint({
                .bEndpointAddress = dataEndpoint,
                .bmAttributes = dataAttributes,
                .wMaxPacketSize = DataMaxPacketBytes(speed, format.subslotBytes),
                .bInterval = facts.dataInterval,
            })
            .AsIsochronousEndpoint({
                .bmAttributes = 0,  // short packets allowed
                .bmControls = 0,
                .bLockDelayUnits = 0,
                .wLockDelay = 0,
            });
        if (syncEndpoint) {
            config.Endpoint({
                .bEndpointAddress = *syncEndpoint,
                .bmAttributes = kIsochronousFeedback,
                .wMaxPacketSize = facts.feedbackBytes,
                .bInterval = facts.feedbackInterval,
            });
        }
    }
}

StringTable Strings() {
    StringTable strings;
    strings.SetLanguages({USB_LANGID_ENGLISH_US});
    const std::pair<UCHAR, const char16_t*> texts[] = {
        {kManufacturerString, u"Brenlo"},      {kProductString, u"Kaldrit Hi-Fi"},
        {kClockString, u"Internal Clock"},     {kPlaybackString, u"Playback"},
        {kHeadphoneString, u"Headphones"},     {kMicrophoneString, u"Microphone"},
        {kLineInString, u"Line In"},           {kCaptureString, u"Recording"},
        {kInputSelectString, u"Input Select"},
    };
    for (const auto& [index, text] : texts) strings.Set(index, USB_LANGID_ENGLISH_US, text);
    return strings;
}

}  // namespace

std::span<const ULONG> SampleRatesHz(platform::UsbSpeed speed) {
    if (speed == platform::UsbSpeed::kHigh) return kHighSpeedRatesHz;
    return kFullSpeedRatesHz;
}

DeviceDescriptors Descriptors(platform::UsbSpeed speed, USHORT productId, PlaybackSync sync) {
    DeviceDescriptors descriptors;
    descriptors.device = DeviceDescriptorBytes({
        .bcdUSB = kUsb20,
        .bDeviceClass = USB_DEVICE_CLASS_MISCELLANEOUS,  // functions grouped by IAD
        .bDeviceSubClass = USB_COMMON_CLASS_SUBCLASS,
        .bDeviceProtocol = USB_IAD_PROTOCOL,
        .bMaxPacketSize0 = kControlMaxPacketBytes,
        .idVendor = kVendorId,
        .idProduct = productId,
        .bcdDevice = kDeviceRelease,
        .iManufacturer = kManufacturerString,
        .iProduct = kProductString,
        .iSerialNumber = 0,
        .bNumConfigurations = 1,
    });

    ConfigurationBuilder config({
        .bConfigurationValue = kConfigurationValue,
        .iConfiguration = 0,
        .bmAttributes = USB_CONFIG_BUS_POWERED,
        .MaxPower = kMaxPower500mA,
    });
    AddHidInterface(config, FactsFor(speed));
    AddControlInterface(config);
    // With a rate endpoint the host paces the stream and the device follows it
    // (adaptive); otherwise the device clock leads and reports its rate back.
    if (sync == PlaybackSync::kRateOut) {
        AddStreamingInterface(config, speed, kPlaybackInterface, kPlaybackStreamingTerminalId,
                              kPlaybackDataEndpoint, kIsochronousAdaptive, kPlaybackRateEndpoint);
    } else {
        AddStreamingInterface(config, speed, kPlaybackInterface, kPlaybackStreamingTerminalId,
                              kPlaybackDataEndpoint, kIsochronousAsynchronous,
                              kPlaybackFeedbackEndpoint);
    }
    AddStreamingInterface(config, speed, kCaptureInterface, kCaptureStreamingTerminalId,
                          kCaptureDataEndpoint, kIsochronousAsynchronous, std::nullopt);
    descriptors.configuration = config.Build();

    descriptors.strings = Strings();
    return descriptors;
}

}  // namespace sim::default_device
