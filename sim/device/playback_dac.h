// The playback converter behind the isochronous OUT data endpoint: a FIFO that packets
// fill and the DAC's own clock drains.
//
// Life cycle: Configure() when the host selects a streaming alternate setting (the FIFO
// is allocated there, never while streaming), Receive() for every OUT packet, Feedback()
// for every feedback packet, Stop() when the host selects the zero-bandwidth setting.
// Every call first catches the DAC up to `now`: it plays what its clock has consumed
// since the previous call.
//
// Levels, in frames of the current format:
//   target    = 4 ms of the stream rate: where the feedback steers the FIFO
//   capacity  = 2 * target: beyond it packets overrun and their excess is dropped
//   threshold = target / 2: playing starts (and resumes after an underrun) once the FIFO
//               holds this much; until then the DAC plays silence, which is not recorded
//
// Feedback: the device's real rate in Q16.16 frames per packet interval, trimmed by the
// FIFO's distance from its target: trim = (target - level) / kFeedbackTimeConstant, in
// frames per second, with the distance clamped to +-target (at most a 4 ms / 125 ms = 3 %
// correction). A host that sends what the feedback says therefore closes the distance
// with a 125 ms time constant and holds the level at the target however far the two
// clocks differ.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/sched/virtual_time.h"
#include "sim/device/configuration_index.h"
#include "sim/device/frame_clock.h"
#include "sim/device/frame_digest.h"

namespace sim {

struct PlaybackCounters {
    std::uint64_t framesReceived = 0;   // whole frames that reached the FIFO
    std::uint64_t framesPlayed = 0;     // frames the DAC took from the FIFO
    std::uint64_t underruns = 0;        // times the FIFO ran dry while playing
    std::uint64_t overruns = 0;         // packets that did not fit in whole
    std::uint64_t framesDropped = 0;    // frames those packets lost
    std::uint64_t feedbackSent = 0;     // feedback values reported
    std::uint32_t lastFeedbackQ16 = 0;  // the latest one, Q16.16 frames per packet
};

class PlaybackDac {
  public:
    // How many of the first played frames are kept for WavBytes(); the digest covers
    // all of them whatever this says.
    explicit PlaybackDac(std::size_t keptFramesLimit) : keptFramesLimit_(keptFramesLimit) {}

    // Starts a stream of `format` at `rateHz` on a clock `driftPpm` off, with
    // `packetsPerSecond` feedback intervals (1000 at full speed, 8000 at high speed).
    void Configure(const StreamFormat& format, std::uint32_t rateHz, std::int32_t driftPpm,
                   std::uint32_t packetsPerSecond, platform::VirtualTime now);
    // The host left the streaming setting: what the FIFO holds is discarded.
    void Stop();
    bool Active() const { return active_; }

    // One OUT packet's bytes; a trailing partial frame is ignored.
    void Receive(std::span<const std::uint8_t> packet, platform::VirtualTime now);
    // The feedback value to report now, Q16.16 frames per packet interval.
    std::uint32_t Feedback(platform::VirtualTime now);

    // Catches the DAC up to `now` without other traffic.
    void Advance(platform::VirtualTime now);

    std::size_t LevelFrames() const { return levelFrames_; }
    std::size_t TargetFrames() const { return targetFrames_; }
    std::size_t CapacityFrames() const { return capacityFrames_; }
    bool Playing() const { return playing_; }
    const PlaybackCounters& Counters() const { return counters_; }
    // Every frame played since the device was made, in order.
    const FrameDigest& PlayedDigest() const { return digest_; }
    // The first played frames (up to the limit given at construction), as bytes.
    const std::vector<std::uint8_t>& KeptFrames() const { return kept_; }
    const StreamFormat& Format() const { return format_; }
    std::uint32_t RateHz() const { return clock_.NominalRateHz(); }

  private:
    static constexpr std::uint32_t kTargetMilliseconds = 4;
    static constexpr std::int64_t kFeedbackTimeConstantInverseSeconds = 8;  // 1 / 125 ms

    void PlayFrames(std::size_t frames);

    const std::size_t keptFramesLimit_;
    bool active_ = false;
    StreamFormat format_;
    std::size_t bytesPerFrame_ = 0;
    FrameClock clock_;
    std::uint32_t packetsPerSecond_ = 1000;
    platform::VirtualTime epoch_ = 0;
    std::int64_t framesClocked_ = 0;  // by the DAC clock since epoch_

    std::vector<std::uint8_t> fifo_;  // capacityFrames_ frames, a ring
    std::size_t capacityFrames_ = 0;
    std::size_t targetFrames_ = 0;
    std::size_t thresholdFrames_ = 0;
    std::size_t readFrame_ = 0;  // ring index of the oldest frame
    std::size_t levelFrames_ = 0;
    bool playing_ = false;

    PlaybackCounters counters_;
    FrameDigest digest_;
    std::vector<std::uint8_t> kept_;
};

}  // namespace sim
