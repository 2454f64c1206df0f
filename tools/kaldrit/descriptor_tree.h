// Descriptors as a readable tree, one field a line with its value decoded, in the
// manner of the usual USB listing tools. The bytes may come from a device that lies:
// every read is bounded by the descriptor's length and by the bytes present, and a
// malformed length ends the walk with a note instead of a wrong tree.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/core/types.h"

namespace kaldrit {

// The text of string descriptor `index`, or empty when the device has none.
using StringLookup = std::function<std::string(UCHAR index)>;

std::string DescribeDevice(std::span<const std::uint8_t> device,
                           std::span<const std::uint8_t> configuration,
                           const StringLookup& strings);

}  // namespace kaldrit
