// The device's sample clock: how many frames its converters have clocked since the clock
// was (re)started, at the nominal rate pulled by a fixed crystal error in ppm.
//
// The count is computed in closed form from the elapsed virtual time, never accumulated
// step by step, so no rounding builds up however often or rarely the device is called:
// after an hour the count is exactly floor(rate * (1 + ppm / 1e6) * seconds).
// Integer arithmetic only; valid for rates up to 2^31 Hz and about 250 days of running.
#pragma once

#include <cstdint>

#include "platform/sched/virtual_time.h"

namespace sim {

class FrameClock {
  public:
    FrameClock() = default;
    FrameClock(std::uint32_t nominalRateHz, std::int32_t driftPpm)
        : nominalRateHz_(nominalRateHz), driftPpm_(driftPpm) {}

    std::uint32_t NominalRateHz() const { return nominalRateHz_; }
    std::int32_t DriftPpm() const { return driftPpm_; }

    // The real rate in millionths of a frame per second: rate * (1e6 + ppm).
    std::int64_t MicroFramesPerSecond() const {
        return static_cast<std::int64_t>(nominalRateHz_) * (kMillion + driftPpm_);
    }

    // Frames clocked in `elapsed` (100-ns units, not negative) since the clock started.
    std::int64_t FramesIn(platform::VirtualTime elapsed) const {
        // elapsed = s seconds + t ticks; frames = (Q*s)/1e6 + (Q*t)/1e13 with Q the
        // micro-frames per second, split so that no product leaves 64 bits.
        const std::int64_t q = MicroFramesPerSecond();
        const std::int64_t seconds = elapsed / platform::kSecond;
        const std::int64_t ticks = elapsed % platform::kSecond;
        const std::int64_t perSeconds = q * seconds;
        const std::int64_t whole = perSeconds / kMillion;
        const std::int64_t leftoverMicroFrames = perSeconds % kMillion;
        return whole + (leftoverMicroFrames * platform::kSecond + q * ticks) /
                           (kMillion * platform::kSecond);
    }

  private:
    static constexpr std::int64_t kMillion = 1'000'000;

    std::uint32_t nominalRateHz_ = 0;
    std::int32_t driftPpm_ = 0;
};

}  // namespace sim
