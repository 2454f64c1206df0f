// The fixed-point rates that travel on synchronisation endpoints, in frames per packet
// interval: 16.16 in 4 bytes at high speed (per 125 us microframe), 10.14 in 3 bytes at
// full speed (per 1 ms frame; the 24-bit field holds the integer part in its top 10 bits).
// The device keeps every rate as Q16.16 frames per (micro)frame and converts only at the
// wire, so one helper per direction and speed is all there is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/usb/bus_device.h"
#include "platform/usb/usb_audio.h"

namespace sim {

// Bytes of a rate on a synchronisation endpoint at `speed`.
constexpr std::size_t SyncRateBytes(platform::UsbSpeed speed) {
    return speed == platform::UsbSpeed::kHigh ? usb_audio::FEEDBACK_BYTES_HIGH_SPEED
                                              : usb_audio::FEEDBACK_BYTES_FULL_SPEED;
}

// Writes `framesPerPacketQ16` (Q16.16) as the wire value of `speed` into `out`, which
// holds at least SyncRateBytes(speed). At full speed the two lowest fraction bits are cut.
inline void EncodeSyncRate(platform::UsbSpeed speed, std::uint32_t framesPerPacketQ16,
                           std::span<std::uint8_t> out) {
    const std::uint32_t wire =
        speed == platform::UsbSpeed::kHigh ? framesPerPacketQ16 : (framesPerPacketQ16 >> 2);
    for (std::size_t i = 0; i < SyncRateBytes(speed); ++i)
        out[i] = static_cast<std::uint8_t>(wire >> (8 * i));
}

// The Q16.16 frames per packet a wire value of `speed` carries; `bytes` holds at least
// SyncRateBytes(speed).
inline std::uint32_t DecodeSyncRate(platform::UsbSpeed speed, std::span<const std::uint8_t> bytes) {
    std::uint32_t wire = 0;
    for (std::size_t i = 0; i < SyncRateBytes(speed); ++i)
        wire |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
    return speed == platform::UsbSpeed::kHigh ? wire : (wire << 2);
}

}  // namespace sim
