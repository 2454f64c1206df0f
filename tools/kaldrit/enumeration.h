// Enumerating the simulated device over the simulated bus, as a host would: the
// device descriptor, the configuration descriptor (its head, then all of it), the
// language list and the strings, and the selection of the configuration.
#pragma once

#include <ostream>
#include <string>

#include "platform/usb/bus_device.h"

namespace kaldrit {

struct EnumerationResult {
    bool ok = false;
    std::string error;       // why it failed
    int requests = 0;        // control requests made
    std::string finishedAt;  // virtual time at the end
};

// Runs a machine with the device plugged in; with `capture`, what crossed the wire.
EnumerationResult Enumerate(platform::UsbBusDevice& device, std::ostream* capture);

}  // namespace kaldrit
