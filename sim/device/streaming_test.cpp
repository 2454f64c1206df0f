// Isochronous streaming against the simulated device, driven by small test hosts that
// exchange one packet per (micro)frame at chosen virtual times.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <set>

#include "sim/device/audio_device.h"
#include "sim/device/device_test_host.h"
#include "sim/device/feedback_format.h"
#include "sim/device/signal_source.h"

namespace sim {
namespace {

using namespace default_device;
using platform::IsoOutcome;
using platform::kMillisecond;
using platform::kSecond;
using platform::UsbSpeed;
using platform::VirtualTime;
using sim::testing::OpenStream;

std::uint32_t PacketsPerSecond(UsbSpeed speed) {
    return speed == UsbSpeed::kHigh ? 8000 : 1000;
}

// A playback host: one OUT packet per (micro)frame carrying the counting pattern. One
// that follows feedback reads the feedback endpoint every millisecond and sizes its
// packets from the last value with a Q16 accumulator; one that ignores it sends exactly
// the nominal rate.
class PlaybackHost {
  public:
    PlaybackHost(AudioDevice& device, ULONG rateHz, unsigned bytesPerFrame, bool followFeedback)
        : device_(device),
          rateHz_(rateHz),
          bytesPerFrame_(bytesPerFrame),
          followFeedback_(followFeedback),
          packetsPerSecond_(PacketsPerSecond(device.Speed())),
          packet_(1024) {}

    // Sends packets 0 .. count - 1; packet k at k (micro)frames.
    void Run(std::uint64_t count) {
        const VirtualTime frame = platform::FrameDuration(device_.Speed());
        const std::uint64_t packetsPerMillisecond = packetsPerSecond_ / 1000;
        std::uint8_t feedback[4] = {};
        for (std::uint64_t k = 0; k < count; ++k) {
            const VirtualTime now = static_cast<VirtualTime>(k) * frame;
            std::uint64_t frames = 0;
            if (followFeedback_) {
                if (k % packetsPerMillisecond == 0 &&
                    device_.IsoIn(kPlaybackFeedbackEndpoint, feedback, now).outcome ==
                        IsoOutcome::kOk)
                    feedbackQ16_ = DecodeSyncRate(device_.Speed(), feedback);
                accumulatorQ16_ += feedbackQ16_;
                frames = accumulatorQ16_ >> 16;
                accumulatorQ16_ &= 0xFFFF;
            } else {
                frames = (k + 1) * rateHz_ / packetsPerSecond_ - k * rateHz_ / packetsPerSecond_;
            }
            const std::size_t bytes = frames * bytesPerFrame_;
            for (std::size_t offset = 0; offset < bytes; offset += bytesPerFrame_) {
                const std::span<std::uint8_t> f(packet_.data() + offset, bytesPerFrame_);
                CountingFrame(sent_.Frames(), f);
                sent_.Add(f);
            }
            device_.IsoOut(kPlaybackDataEndpoint, std::span(packet_).first(bytes), now);
            end_ = now;
        }
    }

    const FrameDigest& Sent() const { return sent_; }
    VirtualTime End() const { return end_; }

  private:
    AudioDevice& device_;
    const ULONG rateHz_;
    const unsigned bytesPerFrame_;
    const bool followFeedback_;
    const std::uint32_t packetsPerSecond_;
    std::vector<std::uint8_t> packet_;
    std::uint64_t feedbackQ16_ = 0;
    std::uint64_t accumulatorQ16_ = 0;
    FrameDigest sent_;
    VirtualTime end_ = 0;
};

struct FeedbackCase {
    const char* name;
    UsbSpeed speed;
    UCHAR alternateSetting;
    unsigned bytesPerFrame;
    ULONG rateHz;
    std::int32_t driftPpm;
    std::uint64_t seconds;
};

void PrintTo(const FeedbackCase& c, std::ostream* out) {
    *out << c.name;
}

class FeedbackLoopTest : public ::testing::TestWithParam<FeedbackCase> {};

// A host that follows the feedback keeps the FIFO at its target for as long as it
// streams, whichever way the device clock is off, and every frame sent is played once,
// in order.
TEST_P(FeedbackLoopTest, HostFollowingFeedbackNeverStarvesNorFloodsTheDac) {
    const FeedbackCase& c = GetParam();
    AudioDevice device(
        AudioDeviceOptions{.speed = c.speed, .driftPpm = c.driftPpm, .keptPlayedFrames = 0});
    ASSERT_TRUE(OpenStream(device, kPlaybackInterface, c.alternateSetting, kPlaybackDataEndpoint,
                           c.rateHz));
    PlaybackHost host(device, c.rateHz, c.bytesPerFrame, /*followFeedback=*/true);

    const auto started = std::chrono::steady_clock::now();
    host.Run(c.seconds * PacketsPerSecond(c.speed));
    const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
    std::printf("[ measured ] %s: %llu s of streaming in %.2f s\n", c.name,
                static_cast<unsigned long long>(c.seconds), took.count());

    const PlaybackCounters& counters = device.Dac().Counters();
    EXPECT_EQ(counters.underruns, 0u);
    EXPECT_EQ(counters.overruns, 0u);
    EXPECT_EQ(counters.feedbackSent, c.seconds * 1000);
    // At the end the FIFO sits at its target, give or take the packet just sent.
    const std::size_t packetFrames = c.rateHz / PacketsPerSecond(c.speed) + 1;
    EXPECT_NEAR(static_cast<double>(device.Dac().LevelFrames()),
                static_cast<double>(device.Dac().TargetFrames()), packetFrames + 2.0);

    // Let the DAC play out what it holds: it then runs dry once, and has played exactly
    // what was sent.
    device.AdvanceTo(host.End() + kSecond);
    EXPECT_EQ(counters.underruns, 1u);
    EXPECT_EQ(device.Dac().PlayedDigest(), host.Sent());
    EXPECT_EQ(counters.framesPlayed, host.Sent().Frames());
}

INSTANTIATE_TEST_SUITE_P(
    Drift, FeedbackLoopTest,
    ::testing::Values(
        // An hour at full speed: 3.6 million frames, 159 million samples frames each way.
        FeedbackCase{"FullSpeed16BitFastHour", UsbSpeed::kFull, 1, 4, 44100, 1000, 3600},
        FeedbackCase{"FullSpeed16BitSlowHour", UsbSpeed::kFull, 1, 4, 44100, -1000, 3600},
        // High speed, where feedback is per microframe; a minute of each.
        FeedbackCase{"HighSpeed24BitFast", UsbSpeed::kHigh, 2, 6, 192000, 1000, 60},
        FeedbackCase{"HighSpeed32BitSlow", UsbSpeed::kHigh, 3, 8, 44100, -1000, 60}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PlaybackTest, HostIgnoringFeedbackUnderrunsAFastDacAndOverrunsASlowOne) {
    // 20 s at the nominal rate: the 1000 ppm difference is 44 frames a second against a
    // FIFO of 88 frames at start and 352 at most.
    constexpr std::uint64_t kPackets = 20'000;
    AudioDevice fast(UsbSpeed::kFull, 1000);
    ASSERT_TRUE(OpenStream(fast, kPlaybackInterface, 1, kPlaybackDataEndpoint, 44100));
    PlaybackHost(fast, 44100, 4, /*followFeedback=*/false).Run(kPackets);
    EXPECT_GT(fast.Dac().Counters().underruns, 0u);
    EXPECT_EQ(fast.Dac().Counters().overruns, 0u);

    AudioDevice slow(UsbSpeed::kFull, -1000);
    ASSERT_TRUE(OpenStream(slow, kPlaybackInterface, 1, kPlaybackDataEndpoint, 44100));
    PlaybackHost(slow, 44100, 4, /*followFeedback=*/false).Run(kPackets);
    EXPECT_EQ(slow.Dac().Counters().underruns, 0u);
    EXPECT_GT(slow.Dac().Counters().overruns, 0u);
    EXPECT_GT(slow.Dac().Counters().framesDropped, 0u);
}

TEST(PlaybackTest, PlayedFramesAreKeptAsSentAndWrittenAsWav) {
    AudioDevice device(UsbSpeed::kFull, 0);
    ASSERT_TRUE(OpenStream(device, kPlaybackInterface, 1, kPlaybackDataEndpoint, 48000));
    PlaybackHost host(device, 48000, 4, /*followFeedback=*/false);
    host.Run(100);

    const std::vector<std::uint8_t>& kept = device.Dac().KeptFrames();
    const std::uint64_t played = device.Dac().Counters().framesPlayed;
    ASSERT_GT(played, 0u);
    ASSERT_EQ(kept.size(), played * 4);
    std::vector<std::uint8_t> expected(kept.size());
    for (std::uint64_t n = 0; n < played; ++n)
        CountingFrame(n, std::span(expected).subspan(n * 4, 4));
    EXPECT_EQ(kept, expected);

    const std::string path = ::testing::TempDir() + "/played.wav";
    ASSERT_TRUE(device.WritePlayedWav(path));
    EXPECT_EQ(std::filesystem::file_size(path), 44 + kept.size());
    std::filesystem::remove(path);
}

TEST(PlaybackTest, DamagedPacketsAreLostTheSameWayForTheSameSeed) {
    // 2 % of 10000 packets of 10 frames, twice with one seed.
    const auto run = [](std::uint64_t seed, std::uint64_t* framesReceived) {
        AudioDevice device(UsbSpeed::kFull, 0);
        EXPECT_TRUE(OpenStream(device, kPlaybackInterface, 1, kPlaybackDataEndpoint, 48000));
        device.Faults().DamagePackets(20'000, seed, kPlaybackDataEndpoint);
        std::vector<std::uint8_t> packet(40);
        std::vector<int> damaged;
        for (int k = 0; k < 10'000; ++k)
            if (device.IsoOut(kPlaybackDataEndpoint, packet, k * kMillisecond) ==
                IsoOutcome::kError)
                damaged.push_back(k);
        EXPECT_EQ(device.Faults().PacketsDamaged(), damaged.size());
        *framesReceived = device.Dac().Counters().framesReceived;
        return damaged;
    };
    std::uint64_t received = 0;
    std::uint64_t again = 0;
    const std::vector<int> first = run(7, &received);
    EXPECT_THAT(run(7, &again), ::testing::ElementsAreArray(first));
    EXPECT_GT(first.size(), 100u);
    EXPECT_LT(first.size(), 300u);
    EXPECT_EQ(received, (10'000 - first.size()) * 10);
}

TEST(PlaybackTest, RateEndpointVariantTakesTheHostsRate) {
    AudioDevice device(
        AudioDeviceOptions{.speed = UsbSpeed::kFull, .sync = PlaybackSync::kRateOut});
    ASSERT_TRUE(OpenStream(device, kPlaybackInterface, 1, kPlaybackDataEndpoint, 44100));
    // 44.1 frames per 1 ms frame in 10.14.
    const std::vector<std::uint8_t> rate = {0x66, 0x06, 0x0B};
    EXPECT_EQ(device.IsoOut(kPlaybackRateEndpoint, rate, 0), IsoOutcome::kOk);
    EXPECT_EQ(device.HostRatePackets(), 1u);
    EXPECT_EQ(device.HostRateQ16(), 0x0B0666u << 2);

    std::vector<std::uint8_t> buffer(4);
    EXPECT_EQ(device.IsoIn(kPlaybackFeedbackEndpoint, buffer, 0).outcome, IsoOutcome::kError);
    std::vector<std::uint8_t> packet(44 * 4);
    EXPECT_EQ(device.IsoOut(kPlaybackDataEndpoint, packet, 0), IsoOutcome::kOk);
    EXPECT_EQ(device.Dac().Counters().framesReceived, 44u);
}

TEST(PlaybackTest, FeedbackReportsTheDeviceRateOnTheWire) {
    // 44100 Hz, 1000 ppm fast, FIFO empty: the rate plus the largest upward trim.
    // Full speed: 44.1441 frames per ms + 176 * 8 / 1000 = 45.5521, in 10.14.
    // High speed: 5.5180125 per microframe + 176 * 8 / 8000 = 5.6940125, in 16.16.
    for (const auto& [speed, expected] :
         {std::pair{UsbSpeed::kFull, 45.5521}, std::pair{UsbSpeed::kHigh, 5.6940125}}) {
        AudioDevice device(speed, 1000);
        ASSERT_TRUE(OpenStream(device, kPlaybackInterface, 1, kPlaybackDataEndpoint, 44100));
        std::vector<std::uint8_t> buffer(4, 0xEE);
        const platform::IsoInResult result = device.IsoIn(kPlaybackFeedbackEndpoint, buffer, 0);
        ASSERT_EQ(result.outcome, IsoOutcome::kOk);
        ASSERT_EQ(result.bytes, SyncRateBytes(speed));
        const double fractionBits = speed == UsbSpeed::kHigh ? 16 : 14;
        std::uint32_t wire = 0;
        for (std::size_t i = 0; i < result.bytes; ++i) wire |= buffer[i] << (8 * i);
        EXPECT_NEAR(wire / std::ldexp(1.0, static_cast<int>(fractionBits)), expected,
                    std::ldexp(1.0, -static_cast<int>(fractionBits) + 1));
    }
}

// A capture host: one IN packet per (micro)frame, or fewer when `everyPackets` > 1,
// checking every frame against the counting pattern.
struct CaptureResult {
    std::uint64_t frames = 0;
    std::uint64_t mismatches = 0;  // frames that were not the next in the pattern
    std::set<std::size_t> packetFrames;
    VirtualTime lastPoll = 0;
};

CaptureResult Capture(AudioDevice& device, unsigned bytesPerFrame, std::uint64_t polls,
                      std::uint64_t everyPackets = 1) {
    CaptureResult result;
    std::vector<std::uint8_t> buffer(1024);
    std::vector<std::uint8_t> expected(bytesPerFrame);
    const VirtualTime frame = platform::FrameDuration(device.Speed());
    for (std::uint64_t k = 1; k <= polls; ++k) {
        const VirtualTime now = static_cast<VirtualTime>(k * everyPackets) * frame;
        const platform::IsoInResult in = device.IsoIn(kCaptureDataEndpoint, buffer, now);
        EXPECT_EQ(in.outcome, IsoOutcome::kOk);
        result.packetFrames.insert(in.bytes / bytesPerFrame);
        for (std::size_t offset = 0; offset < in.bytes; offset += bytesPerFrame) {
            CountingFrame(result.frames++, expected);
            if (!std::equal(expected.begin(), expected.end(), buffer.begin() + offset)) {
                ++result.mismatches;
                result.frames = device.Adc().NextFrameIndex();  // resynchronise
                break;
            }
        }
        result.lastPoll = now;
    }
    return result;
}

struct CaptureCase {
    const char* name;
    UsbSpeed speed;
    UCHAR alternateSetting;
    unsigned bytesPerFrame;
    ULONG rateHz;
    std::int32_t driftPpm;
    std::uint64_t seconds;
    std::set<std::size_t> packetFrames;  // the packet sizes the drift gives
};

void PrintTo(const CaptureCase& c, std::ostream* out) {
    *out << c.name;
}

class CaptureContinuityTest : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(CaptureContinuityTest, CountingPatternArrivesWithoutGapOrRepeat) {
    const CaptureCase& c = GetParam();
    AudioDevice device(AudioDeviceOptions{.speed = c.speed,
                                          .driftPpm = c.driftPpm,
                                          .captureSignal = {.kind = SignalKind::kCounting}});
    ASSERT_TRUE(
        OpenStream(device, kCaptureInterface, c.alternateSetting, kCaptureDataEndpoint, c.rateHz));
    const CaptureResult result =
        Capture(device, c.bytesPerFrame, c.seconds * PacketsPerSecond(c.speed));

    EXPECT_EQ(result.mismatches, 0u);
    EXPECT_EQ(device.Adc().Counters().overruns, 0u);
    // Every frame the device clock produced reached the host.
    EXPECT_EQ(static_cast<std::int64_t>(result.frames),
              FrameClock(c.rateHz, c.driftPpm).FramesIn(result.lastPoll));
    EXPECT_EQ(result.packetFrames, c.packetFrames);
}

INSTANTIATE_TEST_SUITE_P(
    Drift, CaptureContinuityTest,
    ::testing::Values(
        // 44.1441 frames per ms: mostly 44, sometimes 45.
        CaptureCase{"FullSpeedFast", UsbSpeed::kFull, 1, 4, 44100, 1000, 60, {44, 45}},
        // 47.952 frames per ms: mostly 48, sometimes 47.
        CaptureCase{"FullSpeedSlow", UsbSpeed::kFull, 2, 6, 48000, -1000, 60, {47, 48}},
        // 24.024 per microframe.
        CaptureCase{"HighSpeedFast", UsbSpeed::kHigh, 3, 8, 192000, 1000, 10, {24, 25}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CaptureTest, SlowHostLosesTheOldestFramesAndSeesTheGap) {
    AudioDevice device(AudioDeviceOptions{.speed = UsbSpeed::kFull,
                                          .captureSignal = {.kind = SignalKind::kCounting}});
    ASSERT_TRUE(OpenStream(device, kCaptureInterface, 1, kCaptureDataEndpoint, 44100));
    // Polled every 10 ms against a buffer of 8 ms.
    const CaptureResult result = Capture(device, 4, 20, 10);
    EXPECT_GT(device.Adc().Counters().overruns, 0u);
    EXPECT_GT(device.Adc().Counters().framesDropped, 0u);
    EXPECT_GT(result.mismatches, 0u);
}

TEST(CaptureTest, SineSourceSitsAtTheTopOfTheSubslot) {
    // 1 kHz at 48 kHz, half scale: frame 12 is the crest, in 24 bits within 4 bytes.
    SignalSource sine({.kind = SignalKind::kSine, .sineHz = 1000, .sineAmplitude = 0.5}, 48000, 2,
                      4, 24);
    std::vector<std::uint8_t> frame(8);
    sine.Frame(12, frame);
    // round(0.5 * 8388607) = 4194304 = 0x400000, shifted left by 8 bits.
    EXPECT_THAT(frame, ::testing::ElementsAre(0, 0, 0, 0x40, 0, 0, 0, 0x40));
    sine.Frame(0, frame);
    EXPECT_THAT(frame, ::testing::Each(0));
}

}  // namespace
}  // namespace sim
