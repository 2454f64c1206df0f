#include "sim/device/frame_clock.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

using platform::kMillisecond;
using platform::kSecond;

struct ClockCase {
    std::uint32_t rateHz;
    std::int32_t driftPpm;
    platform::VirtualTime elapsed;
    std::int64_t frames;  // floor(rate * (1 + ppm / 1e6) * seconds)
};

TEST(FrameClockTest, CountsExactFramesForAnyElapsedTime) {
    const ClockCase cases[] = {
        {44100, 0, kSecond, 44100},
        {44100, 0, kMillisecond / 2, 22},                     // 22.05
        {48000, 1, kMillisecond, 48},                         // 48.000048
        {44100, 1000, 3600 * kSecond, 158'918'760},           // an hour, 1000 ppm fast
        {44100, -1000, 3600 * kSecond, 158'601'240},          // an hour, 1000 ppm slow
        {384000, 1000, 3600 * kSecond + 1, 1'383'782'400},    // 1 tick adds 0.0384 frame
        {384000, 1000, 24 * 3600 * kSecond, 33'210'777'600},  // a day at the top rate
        {44100, 0, 0, 0},
    };
    for (const ClockCase& c : cases) {
        EXPECT_EQ(FrameClock(c.rateHz, c.driftPpm).FramesIn(c.elapsed), c.frames)
            << c.rateHz << " Hz " << c.driftPpm << " ppm after " << c.elapsed;
    }
}

}  // namespace
}  // namespace sim
