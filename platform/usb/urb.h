// USB request blocks: what a driver hands the USB stack in IOCTL_INTERNAL_USB_SUBMIT_URB,
// and the pipe and interface information the stack hands back when a configuration or
// an alternate setting is selected.
//
// The layout is ours, with the Windows names, field order and natural alignment, so the
// sizes come out as Windows gives them for the build's pointer size. On a 64-bit build:
//   _URB_HEADER                           24
//   USBD_PIPE_INFORMATION                 24
//   USBD_INTERFACE_INFORMATION            24 + 24 per pipe (GET_USBD_INTERFACE_SIZE)
//   _URB_SELECT_INTERFACE                 56 + 24 per pipe (GET_SELECT_INTERFACE_REQUEST_SIZE)
//   _URB_PIPE_REQUEST                     40
//   _URB_GET_CURRENT_FRAME_NUMBER         32
//   _URB_CONTROL_DESCRIPTOR_REQUEST       136
//   _URB_CONTROL_VENDOR_OR_CLASS_REQUEST  136
//   _URB_ISOCH_TRANSFER                   152 + 12 per packet (GET_ISO_URB_SIZE)
// The transfer URBs keep the host controller's private area (_URB_HCD_AREA): the
// controller queues and tracks a transfer there, so accepting one costs no allocation.
//
// Variable-length structures end in a one-element array (Pipes[1], IsoPacket[1]) and
// are allocated for their real count with the size helpers below; the URB's header
// Length says how many bytes the caller provided.
#pragma once

#include <cstddef>

#include "platform/core/types.h"
#include "platform/usb/usb_descriptors.h"
#include "platform/usb/usbd_status.h"

// URB function codes.
inline constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
inline constexpr USHORT URB_FUNCTION_SELECT_INTERFACE = 0x0001;
inline constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
inline constexpr USHORT URB_FUNCTION_GET_CURRENT_FRAME_NUMBER = 0x0007;
inline constexpr USHORT URB_FUNCTION_CONTROL_TRANSFER = 0x0008;
inline constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
inline constexpr USHORT URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
inline constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
inline constexpr USHORT URB_FUNCTION_VENDOR_DEVICE = 0x0017;
inline constexpr USHORT URB_FUNCTION_VENDOR_INTERFACE = 0x0018;
inline constexpr USHORT URB_FUNCTION_VENDOR_ENDPOINT = 0x0019;
inline constexpr USHORT URB_FUNCTION_CLASS_DEVICE = 0x001A;
inline constexpr USHORT URB_FUNCTION_CLASS_INTERFACE = 0x001B;
inline constexpr USHORT URB_FUNCTION_CLASS_ENDPOINT = 0x001C;
inline constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL = 0x001E;
inline constexpr USHORT URB_FUNCTION_CLASS_OTHER = 0x001F;
inline constexpr USHORT URB_FUNCTION_VENDOR_OTHER = 0x0020;

// TransferFlags. Without USBD_TRANSFER_DIRECTION_IN a transfer goes to the device;
// without USBD_SHORT_TRANSFER_OK a device-to-host transfer that ends short is an error.
inline constexpr ULONG USBD_TRANSFER_DIRECTION_OUT = 0x0;
inline constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 0x1;
inline constexpr ULONG USBD_SHORT_TRANSFER_OK = 0x2;
// Isochronous only: start in the frame after the pipe's last queued transfer (or soon,
// when the pipe is idle) instead of at StartFrame.
inline constexpr ULONG USBD_START_ISO_TRANSFER_ASAP = 0x4;

// The maximum transfer size USBD_CreateConfigurationRequestEx gives every pipe until the
// caller asks for another.
inline constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = 4096;

using USBD_PIPE_HANDLE = PVOID;
using USBD_CONFIGURATION_HANDLE = PVOID;
using USBD_INTERFACE_HANDLE = PVOID;

enum USBD_PIPE_TYPE {
    UsbdPipeTypeControl = USB_ENDPOINT_TYPE_CONTROL,
    UsbdPipeTypeIsochronous = USB_ENDPOINT_TYPE_ISOCHRONOUS,
    UsbdPipeTypeBulk = USB_ENDPOINT_TYPE_BULK,
    UsbdPipeTypeInterrupt = USB_ENDPOINT_TYPE_INTERRUPT,
};

// One pipe (endpoint) of a selected interface. The stack fills everything but
// MaximumTransferSize and PipeFlags, which the caller sets before selecting.
struct USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;  // bytes per transaction, as in wMaxPacketSize
    UCHAR EndpointAddress;
    UCHAR Interval;  // bInterval of the endpoint descriptor
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;  // bytes the caller may move in one URB on this pipe
    ULONG PipeFlags;
};
using PUSBD_PIPE_INFORMATION = USBD_PIPE_INFORMATION*;

// One interface (at one alternate setting) and its pipes. Length counts the structure
// with NumberOfPipes pipe entries; the caller sets Length, InterfaceNumber,
// AlternateSetting and each pipe's MaximumTransferSize, the stack the rest.
struct USBD_INTERFACE_INFORMATION {
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
};
using PUSBD_INTERFACE_INFORMATION = USBD_INTERFACE_INFORMATION*;

// Bytes of an interface information block with `pipes` pipe entries.
constexpr SIZE_T GET_USBD_INTERFACE_SIZE(SIZE_T pipes) {
    return offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION);
}

// The entries of the list given to USBD_CreateConfigurationRequestEx, ended by one whose
// InterfaceDescriptor is null. Interface is filled in: it points into the URB made.
struct USBD_INTERFACE_LIST_ENTRY {
    USB_INTERFACE_DESCRIPTOR* InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
};
using PUSBD_INTERFACE_LIST_ENTRY = USBD_INTERFACE_LIST_ENTRY*;

struct USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;        // from the start of the transfer buffer; set by the caller
    ULONG Length;        // bytes received (IN); set by the stack
    USBD_STATUS Status;  // set by the stack
};
using PUSBD_ISO_PACKET_DESCRIPTOR = USBD_ISO_PACKET_DESCRIPTOR*;

struct _URB_HEADER {
    USHORT Length;  // bytes of the whole URB
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;  // the stack's own
    ULONG UsbdFlags;         // the stack's own
};

// Room the host controller keeps per transfer URB for its own bookkeeping.
struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

// ConfigurationDescriptor null deconfigures the device. Otherwise Interface is followed
// by one more USBD_INTERFACE_INFORMATION per further interface of the configuration,
// each Length bytes long.
struct _URB_SELECT_CONFIGURATION {
    _URB_HEADER Hdr;
    USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;  // set by the stack
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_SELECT_INTERFACE {
    _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

// Abort pipe and reset pipe.
struct _URB_PIPE_REQUEST {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_GET_CURRENT_FRAME_NUMBER {
    _URB_HEADER Hdr;
    ULONG FrameNumber;  // set by the stack
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;  // in: buffer size; out: bytes received
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    union URB* UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

// A class or vendor request; the function code names the recipient, and with
// TransferFlags' direction gives bmRequestType. RequestTypeReservedBits go into
// bmRequestType's reserved bits 4..2 (normally 0).
struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;  // in: wLength; out: bytes moved
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    union URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

// NumberOfPackets packets, each one (micro)frame's transfer; IsoPacket has that many
// entries. TransferBufferLength is the whole buffer on submission; on completion of an
// IN transfer the packets' Lengths say what arrived where.
struct _URB_ISOCH_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    union URB* UrbLink;
    _URB_HCD_AREA hca;
    ULONG StartFrame;  // ignored with USBD_START_ISO_TRANSFER_ASAP; set by the stack
    ULONG NumberOfPackets;
    ULONG ErrorCount;  // packets that failed; set by the stack
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

union URB {
    _URB_HEADER UrbHeader;
    _URB_SELECT_INTERFACE UrbSelectInterface;
    _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
    _URB_PIPE_REQUEST UrbPipeRequest;
    _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
    _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
    _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
};
using PURB = URB*;

// Bytes of an isochronous URB for `packets` packets. As on Windows this is the
// structure with its one built-in entry plus `packets` more: one entry of slack.
constexpr SIZE_T GET_ISO_URB_SIZE(SIZE_T packets) {
    return sizeof(_URB_ISOCH_TRANSFER) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
}

// Bytes of a select-interface URB for an alternate setting with `pipes` pipes.
constexpr SIZE_T GET_SELECT_INTERFACE_REQUEST_SIZE(SIZE_T pipes) {
    return offsetof(_URB_SELECT_INTERFACE, Interface) + GET_USBD_INTERFACE_SIZE(pipes);
}

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(_URB_HEADER) == 24);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(GET_USBD_INTERFACE_SIZE(0) == 24);
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(0) == 56);
static_assert(sizeof(_URB_PIPE_REQUEST) == 40);
static_assert(sizeof(_URB_GET_CURRENT_FRAME_NUMBER) == 32);
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136);
static_assert(GET_ISO_URB_SIZE(0) == 152);
#endif
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);

// --- request builders: each fills the whole URB it is given and zeroes what it leaves
// unset, so a reused URB carries nothing over ---

// Clears `length` bytes at `urb` and writes the header.
inline void UsbInitializeUrb(URB* urb, USHORT function, USHORT length) {
    auto* bytes = reinterpret_cast<UCHAR*>(urb);
    for (USHORT i = 0; i < length; ++i) bytes[i] = 0;
    urb->UrbHeader.Length = length;
    urb->UrbHeader.Function = function;
}

// GET_DESCRIPTOR from the device: `descriptorType`, `index`, `languageId` (strings),
// into `transferBuffer` of `transferBufferLength` bytes (also the request's wLength).
inline void UsbBuildGetDescriptorRequest(URB* urb, USHORT length, UCHAR descriptorType, UCHAR index,
                                         USHORT languageId, PVOID transferBuffer,
                                         PVOID transferBufferMDL, ULONG transferBufferLength,
                                         URB* link) {
    UsbInitializeUrb(urb, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, length);
    _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
    r.TransferBufferLength = transferBufferLength;
    r.TransferBuffer = transferBuffer;
    r.TransferBufferMDL = transferBufferMDL;
    r.UrbLink = link;
    r.DescriptorType = descriptorType;
    r.Index = index;
    r.LanguageId = languageId;
}

// Selects `configurationDescriptor`, or deconfigures when it is null. The interface
// information after the header is the caller's to fill.
inline void UsbBuildSelectConfigurationRequest(
    URB* urb, USHORT length, USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor) {
    urb->UrbHeader.Length = length;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
}

// Selects `alternateSetting` of `interfaceNumber`; the interface information takes the
// rest of `length`. The pipes' MaximumTransferSize is the caller's to set.
inline void UsbBuildSelectInterfaceRequest(URB* urb, USHORT length,
                                           USBD_CONFIGURATION_HANDLE configurationHandle,
                                           UCHAR interfaceNumber, UCHAR alternateSetting) {
    UsbInitializeUrb(urb, URB_FUNCTION_SELECT_INTERFACE, length);
    _URB_SELECT_INTERFACE& r = urb->UrbSelectInterface;
    r.ConfigurationHandle = configurationHandle;
    r.Interface.Length = static_cast<USHORT>(length - offsetof(_URB_SELECT_INTERFACE, Interface));
    r.Interface.InterfaceNumber = interfaceNumber;
    r.Interface.AlternateSetting = alternateSetting;
}

// A class or vendor request: `function` is one of URB_FUNCTION_CLASS_* / _VENDOR_*.
inline void UsbBuildVendorRequest(URB* urb, USHORT function, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, PVOID transferBufferMDL,
                                  ULONG transferBufferLength, URB* link) {
    UsbInitializeUrb(urb, function, length);
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
    r.TransferFlags = transferFlags;
    r.TransferBufferLength = transferBufferLength;
    r.TransferBuffer = transferBuffer;
    r.TransferBufferMDL = transferBufferMDL;
    r.UrbLink = link;
    r.RequestTypeReservedBits = reservedBits;
    r.Request = request;
    r.Value = value;
    r.Index = index;
}

// Abort pipe or reset pipe (`function`) for `pipeHandle`.
inline void UsbBuildPipeRequest(URB* urb, USHORT function, USBD_PIPE_HANDLE pipeHandle) {
    UsbInitializeUrb(urb, function, sizeof(_URB_PIPE_REQUEST));
    urb->UrbPipeRequest.PipeHandle = pipeHandle;
}

// The bmRequestType a class or vendor URB stands for: direction from TransferFlags,
// type and recipient from the function code, reserved bits as given. Zero for a function
// that is not a class or vendor request.
constexpr UCHAR UsbVendorOrClassRequestType(USHORT function, ULONG transferFlags,
                                            UCHAR reservedBits) {
    UCHAR type = 0;
    UCHAR recipient = 0;
    switch (function) {
        case URB_FUNCTION_VENDOR_DEVICE:
            type = BMREQUEST_VENDOR, recipient = BMREQUEST_TO_DEVICE;
            break;
        case URB_FUNCTION_VENDOR_INTERFACE:
            type = BMREQUEST_VENDOR, recipient = BMREQUEST_TO_INTERFACE;
            break;
        case URB_FUNCTION_VENDOR_ENDPOINT:
            type = BMREQUEST_VENDOR, recipient = BMREQUEST_TO_ENDPOINT;
            break;
        case URB_FUNCTION_VENDOR_OTHER:
            type = BMREQUEST_VENDOR, recipient = BMREQUEST_TO_OTHER;
            break;
        case URB_FUNCTION_CLASS_DEVICE:
            type = BMREQUEST_CLASS, recipient = BMREQUEST_TO_DEVICE;
            break;
        case URB_FUNCTION_CLASS_INTERFACE:
            type = BMREQUEST_CLASS, recipient = BMREQUEST_TO_INTERFACE;
            break;
        case URB_FUNCTION_CLASS_ENDPOINT:
            type = BMREQUEST_CLASS, recipient = BMREQUEST_TO_ENDPOINT;
            break;
        case URB_FUNCTION_CLASS_OTHER:
            type = BMREQUEST_CLASS, recipient = BMREQUEST_TO_OTHER;
            break;
        default:
            return 0;
    }
    const UCHAR direction = (transferFlags & USBD_TRANSFER_DIRECTION_IN) != 0
                                ? BMREQUEST_DEVICE_TO_HOST
                                : BMREQUEST_HOST_TO_DEVICE;
    return static_cast<UCHAR>(UsbRequestType(direction, type, recipient) |
                              ((reservedBits & 0x07) << 2));
}
