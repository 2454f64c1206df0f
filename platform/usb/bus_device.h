// What the host controller sees of a device plugged into the bus: the far end of the
// wire. The controller calls it at the virtual time each transaction happens; the
// device runs its own clocks from those times. Nothing of the driver is visible
// from here, and the device sees nothing of the driver but these transactions.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/sched/virtual_time.h"
#include "platform/usb/usb_descriptors.h"

namespace platform {

enum class UsbSpeed { kFull, kHigh };

// Frames last 1 ms at full speed; high-speed microframes 125 us.
constexpr VirtualTime FrameDuration(UsbSpeed speed) {
    return speed == UsbSpeed::kHigh ? 125 * kMicrosecond : kMillisecond;
}

enum class ControlOutcome {
    kAck,       // the request succeeded; for device-to-host, `data` holds the reply
    kStall,     // the device refused the request
    kNoAnswer,  // the device never answers: the transfer stays pending
};

struct ControlReply {
    ControlOutcome outcome = ControlOutcome::kStall;
    std::vector<std::uint8_t> data;  // device-to-host data, at most wLength bytes
};

enum class IsoOutcome {
    kOk,
    kError,  // the packet was damaged on the wire (CRC or bit-stuff error)
};

struct IsoInResult {
    IsoOutcome outcome = IsoOutcome::kOk;
    std::size_t bytes = 0;  // bytes written to the buffer
};

class UsbBusDevice {
  public:
    virtual ~UsbBusDevice() = default;

    virtual UsbSpeed Speed() const = 0;
    // False once the device is unplugged; `now` lets a scheduled disconnect happen.
    virtual bool IsConnected(VirtualTime now) const = 0;

    // A control transfer on endpoint 0. `outData` is the data stage of a
    // host-to-device request (wLength bytes).
    virtual ControlReply Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                 std::span<const std::uint8_t> outData, VirtualTime now) = 0;

    // One isochronous OUT packet for `endpointAddress`, in the (micro)frame at `now`.
    virtual IsoOutcome IsoOut(std::uint8_t endpointAddress, std::span<const std::uint8_t> packet,
                              VirtualTime now) = 0;
    // One isochronous IN packet from `endpointAddress`: at most `buffer.size()` bytes.
    virtual IsoInResult IsoIn(std::uint8_t endpointAddress, std::span<std::uint8_t> buffer,
                              VirtualTime now) = 0;
};

}  // namespace platform
