// The standard USB descriptors and the setup packet, byte for byte as they cross the
// wire, with the Windows names. The device side builds them and the host side parses
// them, so both read the same layouts from here.
//
// Multi-byte fields are little-endian on the wire; the structures hold them in host
// order, which is why the build insists on a little-endian host. A descriptor in a
// configuration is found by walking bLength steps, never by sizeof: the class-specific
// ones that follow a standard descriptor have lengths of their own.
#pragma once

#include <bit>
#include <cstddef>

#include "platform/core/types.h"

static_assert(std::endian::native == std::endian::little,
              "descriptor structures are copied to and from the wire as they are in memory");

// bDescriptorType values of the standard descriptors.
inline constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
inline constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
inline constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
inline constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
inline constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;
inline constexpr UCHAR USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE = 0x0B;

// Class codes (bDeviceClass, bInterfaceClass, bFunctionClass).
inline constexpr UCHAR USB_DEVICE_CLASS_AUDIO = 0x01;
inline constexpr UCHAR USB_DEVICE_CLASS_HUMAN_INTERFACE = 0x03;
// A composite device whose functions are grouped by interface association descriptors
// says so with class 0xEF, subclass 0x02, protocol 0x01.
inline constexpr UCHAR USB_DEVICE_CLASS_MISCELLANEOUS = 0xEF;
inline constexpr UCHAR USB_COMMON_CLASS_SUBCLASS = 0x02;
inline constexpr UCHAR USB_IAD_PROTOCOL = 0x01;

// Configuration bmAttributes. Bit 7 is reserved and must be set.
inline constexpr UCHAR USB_CONFIG_BUS_POWERED = 0x80;
inline constexpr UCHAR USB_CONFIG_SELF_POWERED = 0x40;
inline constexpr UCHAR USB_CONFIG_REMOTE_WAKEUP = 0x20;

// Endpoint address: bit 7 is the direction (set = IN, towards the host), bits 3..0 the
// endpoint number.
inline constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
inline constexpr UCHAR USB_ENDPOINT_ADDRESS_MASK = 0x0F;
constexpr bool USB_ENDPOINT_DIRECTION_IN(UCHAR address) {
    return (address & USB_ENDPOINT_DIRECTION_MASK) != 0;
}
constexpr bool USB_ENDPOINT_DIRECTION_OUT(UCHAR address) {
    return (address & USB_ENDPOINT_DIRECTION_MASK) == 0;
}

// Endpoint bmAttributes: bits 1..0 transfer type.
inline constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
inline constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0x00;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01;
inline constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
inline constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;

// Isochronous endpoints only: bits 3..2 synchronisation type, bits 5..4 usage.
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_MASK = 0x0C;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_NO_SYNCHRONIZATION = 0x00;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ASYNCHRONOUS = 0x04;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ADAPTIVE = 0x08;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_SYNCHRONOUS = 0x0C;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_MASK = 0x30;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_DATA_ENDPOINT = 0x00;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_FEEDBACK_ENDPOINT = 0x10;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_IMPLICIT_FEEDBACK_DATA_ENDPOINT = 0x20;

// wMaxPacketSize: bits 10..0 bytes per transaction; at high speed bits 12..11 add up to
// two more transactions per microframe.
inline constexpr USHORT USB_ENDPOINT_MAX_PACKET_SIZE_MASK = 0x07FF;
// The largest isochronous packet a single transaction carries at each speed.
inline constexpr USHORT USB_FULL_SPEED_ISOCHRONOUS_MAX_PACKET_BYTES = 1023;
inline constexpr USHORT USB_HIGH_SPEED_ISOCHRONOUS_MAX_PACKET_BYTES = 1024;

// The LANGID a device lists first and the one Windows asks for by default.
inline constexpr USHORT USB_LANGID_ENGLISH_US = 0x0409;

#pragma pack(push, 1)

struct USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
};

struct USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
};

// The head of a configuration: wTotalLength counts it and every descriptor after it.
struct USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;  // units of 2 mA
};

struct USB_INTERFACE_ASSOCIATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
};

struct USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
};

struct USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    // Polling period. Isochronous, and interrupt at high speed: 2^(bInterval - 1) frames
    // (full speed) or microframes (high speed). Interrupt at full speed: milliseconds.
    UCHAR bInterval;
};

// The 9-byte endpoint form of the first audio class generation, still met on audio
// devices: the standard fields followed by the feedback refresh period and the address
// of the endpoint that synchronises this one.
struct USB_AUDIO_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
    UCHAR bRefresh;  // feedback endpoints: 2^bRefresh ms between updates
    UCHAR bSynchAddress;
};

// bString holds (bLength - 2) / 2 UTF-16 code units, without a terminator. String
// descriptor 0 holds the device's LANGIDs in the same place instead.
struct USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
};

// The eight bytes of every control transfer's setup stage.
struct USB_DEFAULT_PIPE_SETUP_PACKET {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
};

#pragma pack(pop)

static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2);
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations) == 17);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, MaxPower) == 8);
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4);
static_assert(sizeof(USB_AUDIO_ENDPOINT_DESCRIPTOR) == 9);
static_assert(offsetof(USB_AUDIO_ENDPOINT_DESCRIPTOR, bSynchAddress) == 8);
static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4);
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8);
static_assert(offsetof(USB_DEFAULT_PIPE_SETUP_PACKET, wLength) == 6);

// bmRequestType: bit 7 direction, bits 6..5 type, bits 4..0 recipient.
inline constexpr UCHAR BMREQUEST_HOST_TO_DEVICE = 0;
inline constexpr UCHAR BMREQUEST_DEVICE_TO_HOST = 1;
inline constexpr UCHAR BMREQUEST_STANDARD = 0;
inline constexpr UCHAR BMREQUEST_CLASS = 1;
inline constexpr UCHAR BMREQUEST_VENDOR = 2;
inline constexpr UCHAR BMREQUEST_TO_DEVICE = 0;
inline constexpr UCHAR BMREQUEST_TO_INTERFACE = 1;
inline constexpr UCHAR BMREQUEST_TO_ENDPOINT = 2;
inline constexpr UCHAR BMREQUEST_TO_OTHER = 3;

// The bmRequestType byte for (direction, type, recipient), e.g. 0xA1 for a class read
// addressed to an interface.
constexpr UCHAR UsbRequestType(UCHAR direction, UCHAR type, UCHAR recipient) {
    return static_cast<UCHAR>((direction << 7) | (type << 5) | recipient);
}
static_assert(UsbRequestType(BMREQUEST_DEVICE_TO_HOST, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE) ==
              0xA1);
static_assert(UsbRequestType(BMREQUEST_HOST_TO_DEVICE, BMREQUEST_CLASS, BMREQUEST_TO_ENDPOINT) ==
              0x22);

// bRequest of the standard requests.
inline constexpr UCHAR USB_REQUEST_GET_STATUS = 0x00;
inline constexpr UCHAR USB_REQUEST_CLEAR_FEATURE = 0x01;
inline constexpr UCHAR USB_REQUEST_SET_FEATURE = 0x03;
inline constexpr UCHAR USB_REQUEST_SET_ADDRESS = 0x05;
inline constexpr UCHAR USB_REQUEST_GET_DESCRIPTOR = 0x06;
inline constexpr UCHAR USB_REQUEST_SET_DESCRIPTOR = 0x07;
inline constexpr UCHAR USB_REQUEST_GET_CONFIGURATION = 0x08;
inline constexpr UCHAR USB_REQUEST_SET_CONFIGURATION = 0x09;
inline constexpr UCHAR USB_REQUEST_GET_INTERFACE = 0x0A;
inline constexpr UCHAR USB_REQUEST_SET_INTERFACE = 0x0B;
inline constexpr UCHAR USB_REQUEST_SYNC_FRAME = 0x0C;

// GET_DESCRIPTOR carries the descriptor type in the high byte of wValue and its index in
// the low byte; wIndex is the LANGID for strings and 0 otherwise.
constexpr USHORT UsbDescriptorRequestValue(UCHAR descriptorType, UCHAR index) {
    return static_cast<USHORT>((descriptorType << 8) | index);
}
