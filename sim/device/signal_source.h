// What the device's ADC digitises: silence, a sine tone, or a counting pattern whose
// every frame names its own position in the stream, so that a receiver can tell a gap
// or a repeat from the samples alone.
//
// The counting pattern fills frame n with the little-endian bytes of n, repeated across
// the frame (byte i of the frame = byte i mod 8 of n). A 4-byte frame (16-bit stereo)
// repeats after 2^32 frames, more than a day at 48 kHz.
#pragma once

#include <cstdint>
#include <span>

namespace sim {

enum class SignalKind { kSilence, kSine, kCounting };

struct SignalSpec {
    SignalKind kind = SignalKind::kSilence;
    std::uint32_t sineHz = 1000;  // kSine: tone frequency
    double sineAmplitude = 0.5;   // kSine: fraction of full scale
};

// Writes frame `index` of the counting pattern into `frame` (all its bytes).
void CountingFrame(std::uint64_t index, std::span<std::uint8_t> frame);

// Produces frames of one sample format on demand.
class SignalSource {
  public:
    SignalSource() = default;
    SignalSource(SignalSpec spec, std::uint32_t rateHz, unsigned channels, unsigned subslotBytes,
                 unsigned bitResolution);

    // Writes frame `index` of the signal into `frame` (channels * subslotBytes bytes).
    void Frame(std::uint64_t index, std::span<std::uint8_t> frame) const;

  private:
    SignalSpec spec_;
    std::uint32_t rateHz_ = 48000;
    unsigned channels_ = 2;
    unsigned subslotBytes_ = 2;
    unsigned bitResolution_ = 16;
};

}  // namespace sim
