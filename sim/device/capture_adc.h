// The capture converter behind the isochronous IN data endpoint: it digitises a signal
// on the device clock and hands the host, in each IN packet, every frame its clock has
// produced since the previous packet, so packet sizes follow the clock's drift.
//
// Life cycle: Configure() when the host selects a streaming alternate setting, Take()
// for every IN packet, Stop() at the zero-bandwidth setting. Frames wait in a buffer of
// 8 ms; when the host is slower than that the oldest frames are lost (an overrun) and
// the stream jumps ahead, which a counting signal shows as a gap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/sched/virtual_time.h"
#include "sim/device/configuration_index.h"
#include "sim/device/frame_clock.h"
#include "sim/device/frame_digest.h"
#include "sim/device/signal_source.h"

namespace sim {

struct CaptureCounters {
    std::uint64_t framesProduced = 0;  // clocked by the ADC while streaming
    std::uint64_t framesSent = 0;      // put into IN packets
    std::uint64_t overruns = 0;        // times frames were lost to a slow host
    std::uint64_t framesDropped = 0;
};

class CaptureAdc {
  public:
    void Configure(const StreamFormat& format, std::uint32_t rateHz, std::int32_t driftPpm,
                   const SignalSpec& signal, platform::VirtualTime now);
    void Stop() { active_ = false; }
    bool Active() const { return active_; }

    // Fills `packet` (at most its size, in whole frames) with the frames due by `now`;
    // returns the bytes written.
    std::size_t Take(std::span<std::uint8_t> packet, platform::VirtualTime now);

    const CaptureCounters& Counters() const { return counters_; }
    // Every frame sent, in order.
    const FrameDigest& SentDigest() const { return digest_; }
    // Stream index of the next frame to send (the counting signal's value for it).
    std::uint64_t NextFrameIndex() const { return nextIndex_; }

  private:
    static constexpr std::uint32_t kBufferMilliseconds = 8;

    bool active_ = false;
    StreamFormat format_;
    SignalSource source_;
    FrameClock clock_;
    platform::VirtualTime epoch_ = 0;
    std::int64_t framesClocked_ = 0;
    std::size_t bufferFrames_ = 0;
    std::size_t pendingFrames_ = 0;  // produced and not yet sent
    std::uint64_t nextIndex_ = 0;
    CaptureCounters counters_;
    FrameDigest digest_;
};

}  // namespace sim
