// The product's own device, Kaldrit Hi-Fi by Brenlo, as it enumerates at high and at full
// speed: a composite device with a vendor HID interface and an audio function (one
// AudioControl and two AudioStreaming interfaces) grouped by an interface association.
//
// Layout (the same at both speeds; only packet sizes, intervals and rates differ):
//
//   interface 0   HID (class 3), vendor commands; interrupt IN 0x83
//   IAD           interfaces 1..3, the audio function
//   interface 1   AudioControl, no endpoints
//                   clock source 9        internal programmable; both streams run on it
//                   input terminal 1      USB streaming (playback), clock 9
//                   feature unit 10       source 1; master mute, volume on channels 1, 2
//                   output terminal 2     headphones, source 10
//                   input terminal 3      microphone, clock 9
//                   input terminal 4      line connector, clock 9
//                   selector unit 5       sources 3, 4 (capture input)
//                   feature unit 11       source 5; master mute, volume on channels 1, 2
//                   output terminal 6     USB streaming (capture), source 11
//   interface 2   AudioStreaming, playback, linked to terminal 1
//                   alt 0  zero bandwidth, no endpoints
//                   alt 1  16-bit in 2-byte subslots   OUT 0x01 data, IN 0x81 feedback
//                   alt 2  24-bit in 3-byte subslots   OUT 0x01 data, IN 0x81 feedback
//                   alt 3  32-bit in 4-byte subslots   OUT 0x01 data, IN 0x81 feedback
//   interface 3   AudioStreaming, capture, linked to terminal 6
//                   alt 0  zero bandwidth, no endpoints
//                   alt 1..3  as playback (16, 24, 32 bits)   IN 0x82 data
//
// All streams are stereo. Data endpoints are asynchronous isochronous and serviced
// every (micro)frame (bInterval 1); the playback data endpoint is paced by the explicit
// feedback endpoint with the same number, which reports every 1 ms at both speeds
// (bInterval 4 at high speed = 8 microframes, bInterval 1 at full speed). A data
// endpoint's wMaxPacketSize holds the highest rate's frames per (micro)frame, rounded
// up, plus one frame for the device clock running fast.
#pragma once

#include <span>

#include "platform/core/types.h"
#include "platform/usb/bus_device.h"
#include "sim/device/descriptor_builder.h"

namespace sim::default_device {

inline constexpr USHORT kVendorId = 0x2E4A;
inline constexpr USHORT kProductId = 0x7A31;
// The identity the device takes in its alternate firmware mode.
inline constexpr USHORT kAlternateProductId = 0x7A30;

// Interface numbers.
inline constexpr UCHAR kHidInterface = 0;
inline constexpr UCHAR kControlInterface = 1;
inline constexpr UCHAR kPlaybackInterface = 2;
inline constexpr UCHAR kCaptureInterface = 3;
inline constexpr UCHAR kInterfaceCount = 4;

// Entity IDs of the AudioControl interface.
inline constexpr UCHAR kPlaybackStreamingTerminalId = 1;
inline constexpr UCHAR kHeadphoneTerminalId = 2;
inline constexpr UCHAR kMicrophoneTerminalId = 3;
inline constexpr UCHAR kLineInTerminalId = 4;
inline constexpr UCHAR kInputSelectorId = 5;
inline constexpr UCHAR kCaptureStreamingTerminalId = 6;
inline constexpr UCHAR kClockSourceId = 9;
inline constexpr UCHAR kPlaybackFeatureUnitId = 10;
inline constexpr UCHAR kCaptureFeatureUnitId = 11;

// Endpoint addresses.
inline constexpr UCHAR kPlaybackDataEndpoint = 0x01;
inline constexpr UCHAR kPlaybackFeedbackEndpoint = 0x81;
inline constexpr UCHAR kCaptureDataEndpoint = 0x82;
inline constexpr UCHAR kHidInEndpoint = 0x83;
// The OUT synchronisation endpoint of the variant whose host sends the stream rate.
inline constexpr UCHAR kPlaybackRateEndpoint = 0x02;

// String indices (language 0x0409 only).
inline constexpr UCHAR kManufacturerString = 1;
inline constexpr UCHAR kProductString = 2;
inline constexpr UCHAR kClockString = 3;
inline constexpr UCHAR kPlaybackString = 4;
inline constexpr UCHAR kHeadphoneString = 5;
inline constexpr UCHAR kMicrophoneString = 6;
inline constexpr UCHAR kLineInString = 7;
inline constexpr UCHAR kCaptureString = 8;
inline constexpr UCHAR kInputSelectString = 9;

inline constexpr UCHAR kChannels = 2;

// The sample format of each non-zero alternate setting, playback and capture alike.
struct AlternateFormat {
    UCHAR alternateSetting;
    UCHAR subslotBytes;   // bytes per sample in a packet
    UCHAR bitResolution;  // significant bits per sample
};
inline constexpr AlternateFormat kFormats[] = {
    {1, 2, 16},
    {2, 3, 24},
    {3, 4, 32},
};

// The sample rates the clock source offers, lowest first. Full speed stops at 96 kHz:
// the bus carries no more than that in one 1023-byte packet per frame at 32 bits.
inline constexpr ULONG kHighSpeedRatesHz[] = {44100,  48000,  88200,  96000,
                                              176400, 192000, 352800, 384000};
inline constexpr ULONG kFullSpeedRatesHz[] = {44100, 48000, 88200, 96000};

std::span<const ULONG> SampleRatesHz(platform::UsbSpeed speed);

// How the playback stream is kept in step with the device clock.
enum class PlaybackSync {
    kFeedbackIn,  // asynchronous data endpoint; the device reports its rate on IN 0x81
    kRateOut,     // adaptive data endpoint; the host sends its rate on OUT 0x02
};

// The device's descriptors at `speed`, enumerating as `productId`.
DeviceDescriptors Descriptors(platform::UsbSpeed speed, USHORT productId = kProductId,
                              PlaybackSync sync = PlaybackSync::kFeedbackIn);

}  // namespace sim::default_device
