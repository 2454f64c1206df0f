// Test-only: the host side of the wire, reduced to what tests of the simulated device
// need — setup packets, and the requests that bring a stream up.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/usb/bus_device.h"
#include "platform/usb/usb_audio.h"
#include "platform/usb/usb_descriptors.h"

namespace sim::testing {

inline USB_DEFAULT_PIPE_SETUP_PACKET Setup(UCHAR bmRequestType, UCHAR bRequest, USHORT wValue,
                                           USHORT wIndex, USHORT wLength) {
    return {bmRequestType, bRequest, wValue, wIndex, wLength};
}

// Sends one control transfer; `out` is the data stage of a host-to-device request.
inline platform::ControlReply Send(platform::UsbBusDevice& device, UCHAR bmRequestType,
                                   UCHAR bRequest, USHORT wValue, USHORT wIndex, USHORT wLength,
                                   std::vector<std::uint8_t> out = {},
                                   platform::VirtualTime now = 0) {
    return device.Control(Setup(bmRequestType, bRequest, wValue, wIndex, wLength), out, now);
}

// Configures the device, selects `alternateSetting` of `interfaceNumber` and sets the
// rate on `dataEndpoint`, as a driver opening a stream does; true when all succeeded.
inline bool OpenStream(platform::UsbBusDevice& device, UCHAR interfaceNumber,
                       UCHAR alternateSetting, UCHAR dataEndpoint, ULONG rateHz,
                       platform::VirtualTime now = 0) {
    const auto ok = [](const platform::ControlReply& reply) {
        return reply.outcome == platform::ControlOutcome::kAck;
    };
    return ok(Send(device, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0, {}, now)) &&
           ok(Send(device, 0x01, USB_REQUEST_SET_INTERFACE, alternateSetting, interfaceNumber, 0,
                   {}, now)) &&
           ok(Send(device, 0x22, usb_audio::SET_CUR, 0x0100, dataEndpoint, 3,
                   {static_cast<std::uint8_t>(rateHz), static_cast<std::uint8_t>(rateHz >> 8),
                    static_cast<std::uint8_t>(rateHz >> 16)},
                   now));
}

}  // namespace sim::testing
