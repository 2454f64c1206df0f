// USBD_STATUS: the status the USB stack leaves in an URB's header and in each
// isochronous packet, beside the NTSTATUS of the request that carried the URB. The two
// high bits tell the kind: 00 success, 01 pending, 11 error (10 marks errors the stack
// itself found in the request rather than on the bus).
#pragma once

#include <ostream>
#include <string>

#include "platform/core/types.h"

using USBD_STATUS = LONG;

constexpr bool USBD_SUCCESS(USBD_STATUS status) {
    return status >= 0;
}
constexpr bool USBD_PENDING(USBD_STATUS status) {
    return (static_cast<ULONG>(status) >> 30) == 1;
}
constexpr bool USBD_ERROR(USBD_STATUS status) {
    return status < 0;
}

// X(name, value): the constants and their names.
#define KALDRIT_USBD_STATUS_LIST(X)                             \
    X(USBD_STATUS_SUCCESS, 0x00000000)                          \
    X(USBD_STATUS_PENDING, 0x40000000)                          \
    /* errors seen on the bus */                                \
    X(USBD_STATUS_CRC, 0xC0000001)                              \
    X(USBD_STATUS_BTSTUFF, 0xC0000002)                          \
    X(USBD_STATUS_DATA_TOGGLE_MISMATCH, 0xC0000003)             \
    X(USBD_STATUS_STALL_PID, 0xC0000004)                        \
    X(USBD_STATUS_DEV_NOT_RESPONDING, 0xC0000005)               \
    X(USBD_STATUS_PID_CHECK_FAILURE, 0xC0000006)                \
    X(USBD_STATUS_UNEXPECTED_PID, 0xC0000007)                   \
    X(USBD_STATUS_DATA_OVERRUN, 0xC0000008)                     \
    X(USBD_STATUS_DATA_UNDERRUN, 0xC0000009)                    \
    X(USBD_STATUS_BUFFER_OVERRUN, 0xC000000C)                   \
    X(USBD_STATUS_BUFFER_UNDERRUN, 0xC000000D)                  \
    X(USBD_STATUS_NOT_ACCESSED, 0xC000000F)                     \
    X(USBD_STATUS_FIFO, 0xC0000010)                             \
    X(USBD_STATUS_XACT_ERROR, 0xC0000011)                       \
    X(USBD_STATUS_BABBLE_DETECTED, 0xC0000012)                  \
    X(USBD_STATUS_DATA_BUFFER_ERROR, 0xC0000013)                \
    X(USBD_STATUS_ENDPOINT_HALTED, 0xC0000030)                  \
    /* errors in the request */                                 \
    X(USBD_STATUS_NO_MEMORY, 0x80000100)                        \
    X(USBD_STATUS_INVALID_URB_FUNCTION, 0x80000200)             \
    X(USBD_STATUS_INVALID_PARAMETER, 0x80000300)                \
    X(USBD_STATUS_ERROR_BUSY, 0x80000400)                       \
    X(USBD_STATUS_INVALID_PIPE_HANDLE, 0x80000600)              \
    X(USBD_STATUS_NO_BANDWIDTH, 0x80000700)                     \
    X(USBD_STATUS_INTERNAL_HC_ERROR, 0x80000800)                \
    X(USBD_STATUS_ERROR_SHORT_TRANSFER, 0x80000900)             \
    /* errors of the stack */                                   \
    X(USBD_STATUS_BAD_START_FRAME, 0xC0000A00)                  \
    X(USBD_STATUS_ISOCH_REQUEST_FAILED, 0xC0000B00)             \
    X(USBD_STATUS_FRAME_CONTROL_OWNED, 0xC0000C00)              \
    X(USBD_STATUS_FRAME_CONTROL_NOT_OWNED, 0xC0000D00)          \
    X(USBD_STATUS_NOT_SUPPORTED, 0xC0000E00)                    \
    /* two names keep the misspelling they have on Windows */   \
    X(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, 0xC0000F00) \
    X(USBD_STATUS_INSUFFICIENT_RESOURCES, 0xC0001000)           \
    X(USBD_STATUS_SET_CONFIG_FAILED, 0xC0002000)                \
    X(USBD_STATUS_BUFFER_TOO_SMALL, 0xC0003000)                 \
    X(USBD_STATUS_INTERFACE_NOT_FOUND, 0xC0004000)              \
    X(USBD_STATUS_INAVLID_PIPE_FLAGS, 0xC0005000)               \
    X(USBD_STATUS_TIMEOUT, 0xC0006000)                          \
    X(USBD_STATUS_DEVICE_GONE, 0xC0007000)                      \
    X(USBD_STATUS_STATUS_NOT_MAPPED, 0xC0008000)                \
    X(USBD_STATUS_CANCELED, 0xC0010000)                         \
    /* isochronous packets */                                   \
    X(USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, 0xC0020000)           \
    X(USBD_STATUS_ISO_TD_ERROR, 0xC0030000)                     \
    X(USBD_STATUS_ISO_NA_LATE_USBPORT, 0xC0040000)              \
    X(USBD_STATUS_ISO_NOT_ACCESSED_LATE, 0xC0050000)

#define KALDRIT_DEFINE_USBD_STATUS(name, value) \
    inline constexpr USBD_STATUS name = static_cast<USBD_STATUS>(value);
KALDRIT_USBD_STATUS_LIST(KALDRIT_DEFINE_USBD_STATUS)
#undef KALDRIT_DEFINE_USBD_STATUS

namespace platform {

// "USBD_STATUS_STALL_PID", or the hex value when the code has no name here.
std::string UsbdStatusName(USBD_STATUS status);

// Wraps a USBD_STATUS for gtest and stream output, as Nt does for NTSTATUS.
struct Usbd {
    USBD_STATUS value;
    friend bool operator==(Usbd, Usbd) = default;
    friend std::ostream& operator<<(std::ostream& os, Usbd s) {
        return os << UsbdStatusName(s.value);
    }
};

}  // namespace platform
