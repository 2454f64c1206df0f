// The audio device class, second generation: the codes and class-specific descriptor
// layouts the device and the host share. Names are the class definition's own, inside
// usb_audio:: because many of them (HEADER, CUR, SPEAKER) are too plain for the global
// namespace. Layouts are byte-exact; variable-length descriptors are given by their
// fixed head, and the comment says what follows it.
#pragma once

#include <cstddef>

#include "platform/core/types.h"
#include "platform/usb/usb_descriptors.h"

namespace usb_audio {

// Interface subclasses (with class USB_DEVICE_CLASS_AUDIO) and the protocol code every
// interface of this class generation carries.
inline constexpr UCHAR AUDIOCONTROL = 0x01;
inline constexpr UCHAR AUDIOSTREAMING = 0x02;
inline constexpr UCHAR MIDISTREAMING = 0x03;
inline constexpr UCHAR IP_VERSION_02_00 = 0x20;

// The interface association of an audio function: subclass and protocol.
inline constexpr UCHAR FUNCTION_SUBCLASS_UNDEFINED = 0x00;
inline constexpr UCHAR AF_VERSION_02_00 = 0x20;

// bcdADC of the AudioControl header of this class generation.
inline constexpr USHORT ADC_VERSION_02_00 = 0x0200;

// Audio function categories (bCategory of the AudioControl header).
inline constexpr UCHAR CATEGORY_CONVERTER = 0x06;
inline constexpr UCHAR CATEGORY_IO_BOX = 0x08;

// Class-specific descriptor types.
inline constexpr UCHAR CS_INTERFACE = 0x24;
inline constexpr UCHAR CS_ENDPOINT = 0x25;

// AudioControl descriptor subtypes.
inline constexpr UCHAR HEADER = 0x01;
inline constexpr UCHAR INPUT_TERMINAL = 0x02;
inline constexpr UCHAR OUTPUT_TERMINAL = 0x03;
inline constexpr UCHAR MIXER_UNIT = 0x04;
inline constexpr UCHAR SELECTOR_UNIT = 0x05;
inline constexpr UCHAR FEATURE_UNIT = 0x06;
inline constexpr UCHAR EFFECT_UNIT = 0x07;
inline constexpr UCHAR PROCESSING_UNIT = 0x08;
inline constexpr UCHAR EXTENSION_UNIT = 0x09;
inline constexpr UCHAR CLOCK_SOURCE = 0x0A;
inline constexpr UCHAR CLOCK_SELECTOR = 0x0B;
inline constexpr UCHAR CLOCK_MULTIPLIER = 0x0C;
inline constexpr UCHAR SAMPLE_RATE_CONVERTER = 0x0D;

// AudioStreaming interface descriptor subtypes.
inline constexpr UCHAR AS_GENERAL = 0x01;
inline constexpr UCHAR FORMAT_TYPE = 0x02;

// Class-specific endpoint descriptor subtype.
inline constexpr UCHAR EP_GENERAL = 0x01;

// Format types (bFormatType).
inline constexpr UCHAR FORMAT_TYPE_UNDEFINED = 0x00;
inline constexpr UCHAR FORMAT_TYPE_I = 0x01;
inline constexpr UCHAR FORMAT_TYPE_II = 0x02;
inline constexpr UCHAR FORMAT_TYPE_III = 0x03;

// bmFormats bits of format type I.
inline constexpr ULONG PCM = 1u << 0;
inline constexpr ULONG PCM8 = 1u << 1;
inline constexpr ULONG IEEE_FLOAT = 1u << 2;
inline constexpr ULONG ALAW = 1u << 3;
inline constexpr ULONG MULAW = 1u << 4;
inline constexpr ULONG TYPE_I_RAW_DATA = 1u << 31;

// bmFormats bits of format type III (IEC 61937 bursts in 16-bit subframes).
inline constexpr ULONG IEC61937_AC_3 = 1u << 0;
inline constexpr ULONG IEC61937_DTS_I = 1u << 7;
inline constexpr ULONG IEC61937_DTS_II = 1u << 8;
inline constexpr ULONG IEC61937_DTS_III = 1u << 9;
inline constexpr ULONG TYPE_III_WMA = 1u << 12;

// Spatial locations (bmChannelConfig bits).
inline constexpr ULONG CHANNEL_FRONT_LEFT = 1u << 0;
inline constexpr ULONG CHANNEL_FRONT_RIGHT = 1u << 1;

// Terminal types (wTerminalType).
inline constexpr USHORT USB_UNDEFINED = 0x0100;
inline constexpr USHORT USB_STREAMING = 0x0101;
inline constexpr USHORT USB_VENDOR_SPECIFIC = 0x01FF;
inline constexpr USHORT MICROPHONE = 0x0201;
inline constexpr USHORT SPEAKER = 0x0301;
inline constexpr USHORT HEADPHONES = 0x0302;
inline constexpr USHORT ANALOG_CONNECTOR = 0x0601;
inline constexpr USHORT DIGITAL_AUDIO_INTERFACE = 0x0602;
inline constexpr USHORT LINE_CONNECTOR = 0x0603;
inline constexpr USHORT LEGACY_AUDIO_CONNECTOR = 0x0604;
inline constexpr USHORT SPDIF_INTERFACE = 0x0605;

// Clock source bmAttributes: bits 1..0 the clock type, bit 2 synchronised to SOF.
inline constexpr UCHAR CLOCK_TYPE_EXTERNAL = 0x00;
inline constexpr UCHAR CLOCK_TYPE_INTERNAL_FIXED = 0x01;
inline constexpr UCHAR CLOCK_TYPE_INTERNAL_VARIABLE = 0x02;
inline constexpr UCHAR CLOCK_TYPE_INTERNAL_PROGRAMMABLE = 0x03;
inline constexpr UCHAR CLOCK_SYNCED_TO_SOF = 0x04;

// Request codes of this class generation: CUR and RANGE, read or written as
// bmRequestType's direction bit says.
inline constexpr UCHAR CUR = 0x01;
inline constexpr UCHAR RANGE = 0x02;
inline constexpr UCHAR MEM = 0x03;

// The first generation's codes, where bit 7 marks a read and MIN, MAX and RES are
// requests of their own. Hosts still use them for feature-unit controls, selectors and
// the endpoint sampling frequency, so a device answers them beside CUR and RANGE.
// SET_MIN shares its value with RANGE; the direction tells them apart, since RANGE is
// only ever read.
inline constexpr UCHAR SET_CUR = 0x01;
inline constexpr UCHAR SET_MIN = 0x02;
inline constexpr UCHAR SET_MAX = 0x03;
inline constexpr UCHAR SET_RES = 0x04;
inline constexpr UCHAR GET_CUR = 0x81;
inline constexpr UCHAR GET_MIN = 0x82;
inline constexpr UCHAR GET_MAX = 0x83;
inline constexpr UCHAR GET_RES = 0x84;

// Control selectors (high byte of wValue; the low byte is the channel, 0 = master).
// Clock source.
inline constexpr UCHAR CS_SAM_FREQ_CONTROL = 0x01;
inline constexpr UCHAR CS_CLOCK_VALID_CONTROL = 0x02;
// Clock selector.
inline constexpr UCHAR CX_CLOCK_SELECTOR_CONTROL = 0x01;
// Selector unit.
inline constexpr UCHAR SU_SELECTOR_CONTROL = 0x01;
// Feature unit.
inline constexpr UCHAR FU_MUTE_CONTROL = 0x01;
inline constexpr UCHAR FU_VOLUME_CONTROL = 0x02;
inline constexpr UCHAR FU_BASS_CONTROL = 0x03;
inline constexpr UCHAR FU_MID_CONTROL = 0x04;
inline constexpr UCHAR FU_TREBLE_CONTROL = 0x05;
inline constexpr UCHAR FU_GRAPHIC_EQUALIZER_CONTROL = 0x06;
inline constexpr UCHAR FU_AUTOMATIC_GAIN_CONTROL = 0x07;
inline constexpr UCHAR FU_DELAY_CONTROL = 0x08;
inline constexpr UCHAR FU_BASS_BOOST_CONTROL = 0x09;
inline constexpr UCHAR FU_LOUDNESS_CONTROL = 0x0A;
inline constexpr UCHAR FU_INPUT_GAIN_CONTROL = 0x0B;
inline constexpr UCHAR FU_INPUT_GAIN_PAD_CONTROL = 0x0C;
inline constexpr UCHAR FU_PHASE_INVERTER_CONTROL = 0x0D;
inline constexpr UCHAR FU_UNDERFLOW_CONTROL = 0x0E;
inline constexpr UCHAR FU_OVERFLOW_CONTROL = 0x0F;
inline constexpr UCHAR FU_LATENCY_CONTROL = 0x10;
// Streaming endpoint. Selector 1 is also the first generation's sampling-frequency
// control (a 3-byte rate in Hz); hosts that set a stream's rate on its data endpoint
// rather than at the clock source send it with that meaning.
inline constexpr UCHAR EP_PITCH_CONTROL = 0x01;
inline constexpr UCHAR EP_SAMPLING_FREQ_CONTROL = 0x01;
inline constexpr UCHAR EP_DATA_OVERRUN_CONTROL = 0x02;
inline constexpr UCHAR EP_DATA_UNDERRUN_CONTROL = 0x03;

// Each control of a bmControls or bmaControls word is a 2-bit field at 2 * (selector -
// 1): 0b00 absent, 0b01 read-only, 0b11 host-programmable.
inline constexpr UCHAR CONTROL_READ_ONLY = 0x01;
inline constexpr UCHAR CONTROL_PROGRAMMABLE = 0x03;

// The bmControls bits that declare control `selector` with `access`.
constexpr ULONG ControlBits(UCHAR selector, UCHAR access) {
    return static_cast<ULONG>(access) << (2 * (selector - 1));
}
// Whether bmControls declares control `selector` at all (the field's lower bit).
constexpr bool ControlPresent(ULONG bmControls, UCHAR selector) {
    return ((bmControls >> (2 * (selector - 1))) & 1) != 0;
}

// Explicit feedback: the device's rate in samples per (micro)frame, sent on a feedback
// endpoint. At full speed 3 bytes holding a 10.14 fixed-point value per 1 ms frame; at
// high speed 4 bytes holding 16.16 per 125 us microframe.
inline constexpr USHORT FEEDBACK_BYTES_FULL_SPEED = 3;
inline constexpr USHORT FEEDBACK_BYTES_HIGH_SPEED = 4;

#pragma pack(push, 1)

// The head of the AudioControl interface's class-specific block. wTotalLength counts
// this header and every class-specific descriptor of the block after it.
struct AC_HEADER_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdADC;
    UCHAR bCategory;
    USHORT wTotalLength;
    UCHAR bmControls;
};

struct CLOCK_SOURCE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bClockID;
    UCHAR bmAttributes;
    UCHAR bmControls;
    UCHAR bAssocTerminal;
    UCHAR iClockSource;
};

struct INPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bCSourceID;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
    USHORT bmControls;
    UCHAR iTerminal;
};

struct OUTPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bSourceID;
    UCHAR bCSourceID;
    USHORT bmControls;
    UCHAR iTerminal;
};

// Followed by baSourceID[bNrInPins], then bmControls (1 byte) and iSelector (1 byte):
// bLength = 7 + bNrInPins.
struct SELECTOR_UNIT_DESCRIPTOR_HEAD {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bNrInPins;
};

// Followed by bmaControls (4 bytes each) for the master channel and then each logical
// channel, then iFeature (1 byte): bLength = 6 + 4 * (channels + 1).
struct FEATURE_UNIT_DESCRIPTOR_HEAD {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bSourceID;
};
inline constexpr std::size_t FEATURE_UNIT_CONTROLS_BYTES_PER_CHANNEL = 4;

// The class-specific AudioStreaming interface descriptor of an alternate setting.
struct AS_GENERAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalLink;
    UCHAR bmControls;
    UCHAR bFormatType;
    ULONG bmFormats;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
};

// Format types I and III share this layout: type I describes PCM-like slots, type III
// the 16-bit subframes of IEC 61937 bursts.
struct FORMAT_TYPE_I_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bFormatType;
    UCHAR bSubslotSize;  // bytes a sample occupies in a packet
    UCHAR bBitResolution;
};
using FORMAT_TYPE_III_DESCRIPTOR = FORMAT_TYPE_I_DESCRIPTOR;

// The class-specific descriptor that follows an isochronous audio data endpoint.
struct AS_ISOCHRONOUS_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmAttributes;  // bit 7: packets must be wMaxPacketSize long
    UCHAR bmControls;
    UCHAR bLockDelayUnits;
    USHORT wLockDelay;
};

#pragma pack(pop)

static_assert(sizeof(AC_HEADER_DESCRIPTOR) == 9);
static_assert(offsetof(AC_HEADER_DESCRIPTOR, wTotalLength) == 6);
static_assert(sizeof(CLOCK_SOURCE_DESCRIPTOR) == 8);
static_assert(sizeof(INPUT_TERMINAL_DESCRIPTOR) == 17);
static_assert(offsetof(INPUT_TERMINAL_DESCRIPTOR, bCSourceID) == 7);
static_assert(offsetof(INPUT_TERMINAL_DESCRIPTOR, iChannelNames) == 13);
static_assert(offsetof(INPUT_TERMINAL_DESCRIPTOR, iTerminal) == 16);
static_assert(sizeof(OUTPUT_TERMINAL_DESCRIPTOR) == 12);
static_assert(offsetof(OUTPUT_TERMINAL_DESCRIPTOR, bCSourceID) == 8);
static_assert(offsetof(OUTPUT_TERMINAL_DESCRIPTOR, iTerminal) == 11);
static_assert(sizeof(SELECTOR_UNIT_DESCRIPTOR_HEAD) == 5);
static_assert(sizeof(FEATURE_UNIT_DESCRIPTOR_HEAD) == 5);
static_assert(sizeof(AS_GENERAL_DESCRIPTOR) == 16);
static_assert(offsetof(AS_GENERAL_DESCRIPTOR, bmFormats) == 6);
static_assert(offsetof(AS_GENERAL_DESCRIPTOR, bNrChannels) == 10);
static_assert(sizeof(FORMAT_TYPE_I_DESCRIPTOR) == 6);
static_assert(sizeof(AS_ISOCHRONOUS_ENDPOINT_DESCRIPTOR) == 8);

}  // namespace usb_audio
