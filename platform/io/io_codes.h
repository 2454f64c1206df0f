// The request codes of the I/O manager: major and minor functions, device-control
// codes and how they are built, and the control flags of a stack location. Values
// are Windows', since drivers and user programs exchange them.
#pragma once

#include "platform/core/types.h"

// Major functions: the index into a driver's dispatch table.
inline constexpr UCHAR IRP_MJ_CREATE = 0x00;
inline constexpr UCHAR IRP_MJ_CLOSE = 0x02;
inline constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
inline constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
inline constexpr UCHAR IRP_MJ_POWER = 0x16;
inline constexpr UCHAR IRP_MJ_PNP = 0x1B;
inline constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

// Minor functions of IRP_MJ_PNP.
inline constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;

// Device types and the parts of a device-control code.
using DEVICE_TYPE = ULONG;
inline constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x22;
inline constexpr DEVICE_TYPE FILE_DEVICE_USB = FILE_DEVICE_UNKNOWN;

inline constexpr ULONG METHOD_BUFFERED = 0;
inline constexpr ULONG METHOD_IN_DIRECT = 1;
inline constexpr ULONG METHOD_OUT_DIRECT = 2;
inline constexpr ULONG METHOD_NEITHER = 3;

inline constexpr ULONG FILE_ANY_ACCESS = 0;
inline constexpr ULONG FILE_READ_ACCESS = 1;
inline constexpr ULONG FILE_WRITE_ACCESS = 2;

constexpr ULONG CTL_CODE(DEVICE_TYPE deviceType, ULONG function, ULONG method, ULONG access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
// How the I/O manager passes a code's buffers: the low two bits.
constexpr ULONG METHOD_FROM_CTL_CODE(ULONG code) {
    return code & 3;
}

// An URB for the USB stack below: Parameters.Others.Argument1 carries it.
inline constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB =
    CTL_CODE(FILE_DEVICE_USB, 0, METHOD_NEITHER, FILE_ANY_ACCESS);
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x00220003);

// IO_STACK_LOCATION::Control.
inline constexpr UCHAR SL_PENDING_RETURNED = 0x01;
inline constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
inline constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
inline constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;
