#include "sim/device/signal_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace sim {

void CountingFrame(std::uint64_t index, std::span<std::uint8_t> frame) {
    // Whole copies of the index's eight bytes (the host is little-endian, as the
    // descriptor layouts insist), then what is left of the frame.
    std::size_t offset = 0;
    for (; offset + sizeof(index) <= frame.size(); offset += sizeof(index))
        std::memcpy(frame.data() + offset, &index, sizeof(index));
    std::memcpy(frame.data() + offset, &index, frame.size() - offset);
}

SignalSource::SignalSource(SignalSpec spec, std::uint32_t rateHz, unsigned channels,
                           unsigned subslotBytes, unsigned bitResolution)
    : spec_(spec),
      rateHz_(rateHz),
      channels_(channels),
      subslotBytes_(subslotBytes),
      bitResolution_(bitResolution) {}

void SignalSource::Frame(std::uint64_t index, std::span<std::uint8_t> frame) const {
    switch (spec_.kind) {
        case SignalKind::kSilence:
            std::fill(frame.begin(), frame.end(), std::uint8_t{0});
            return;
        case SignalKind::kCounting:
            CountingFrame(index, frame);
            return;
        case SignalKind::kSine:
            break;
    }
    // The phase is taken from the frame index modulo the tone's period in frames, so a
    // long run does not lose precision in the argument.
    const std::uint64_t phaseFrames = (index * spec_.sineHz) % rateHz_;
    const double phase = 2.0 * std::numbers::pi * static_cast<double>(phaseFrames) / rateHz_;
    const double fullScale = std::ldexp(1.0, static_cast<int>(bitResolution_) - 1) - 1.0;
    const auto sample =
        static_cast<std::int64_t>(std::lround(spec_.sineAmplitude * fullScale * std::sin(phase)));
    // Significant bits sit at the top of the subslot; the bits below are zero.
    const int shift = static_cast<int>(8 * subslotBytes_ - bitResolution_);
    const auto slot = static_cast<std::uint64_t>(sample) << shift;
    for (unsigned channel = 0; channel < channels_; ++channel)
        for (unsigned b = 0; b < subslotBytes_; ++b)
            frame[channel * subslotBytes_ + b] = static_cast<std::uint8_t>(slot >> (8 * b));
}

}  // namespace sim
