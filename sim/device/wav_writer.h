// A RIFF/WAVE file of integer PCM, enough to listen to what the simulated DAC played or
// to hand it to another tool. Samples are little-endian and stored as they are: 16, 24
// or 32 bits in 2, 3 or 4 bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim {

struct WavFormat {
    std::uint16_t channels = 2;
    std::uint32_t rateHz = 48000;
    std::uint16_t bitsPerSample = 16;  // 16, 24 or 32
};

// The whole file: RIFF header, "fmt " chunk (PCM), "data" chunk with `samples`. An odd
// data length gets the pad byte RIFF asks for. Empty when the format is not one of the
// above or `samples` is not whole frames.
std::vector<std::uint8_t> WavBytes(const WavFormat& format, std::span<const std::uint8_t> samples);

// Writes WavBytes() to `path`; false when the format is refused or the file cannot be
// written.
[[nodiscard]] bool WriteWavFile(const std::string& path, const WavFormat& format,
                                std::span<const std::uint8_t> samples);

}  // namespace sim
