// Virtual time: the simulated clock every platform wait, timer and USB frame runs on,
// in 100-ns units since the machine booted, as Windows counts interrupt time.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

using VirtualTime = std::int64_t;  // 100-ns units

inline constexpr VirtualTime k100ns = 1;
inline constexpr VirtualTime kMicrosecond = 10;
inline constexpr VirtualTime kMillisecond = 10'000;
inline constexpr VirtualTime kSecond = 10'000'000;
inline constexpr VirtualTime kNever = INT64_MAX;

// "12.3456789 s": every digit a 100-ns clock has, so two times that differ read apart.
std::string FormatVirtualTime(VirtualTime time);

}  // namespace platform
