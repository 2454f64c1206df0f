#include "sim/device/capture_adc.h"

#include <algorithm>

namespace sim {

void CaptureAdc::Configure(const StreamFormat& format, std::uint32_t rateHz, std::int32_t driftPpm,
                           const SignalSpec& signal, platform::VirtualTime now) {
    active_ = true;
    format_ = format;
    source_ =
        SignalSource(signal, rateHz, format.channels, format.subslotBytes, format.bitResolution);
    clock_ = FrameClock(rateHz, driftPpm);
    epoch_ = now;
    framesClocked_ = 0;
    bufferFrames_ = std::max<std::size_t>(1, std::size_t{rateHz} * kBufferMilliseconds / 1000);
    pendingFrames_ = 0;
    nextIndex_ = 0;
}

std::size_t CaptureAdc::Take(std::span<std::uint8_t> packet, platform::VirtualTime now) {
    const std::size_t bytesPerFrame = format_.BytesPerFrame();
    if (!active_ || bytesPerFrame == 0 || now < epoch_) return 0;
    const std::int64_t clocked = clock_.FramesIn(now - epoch_);
    const auto due = static_cast<std::size_t>(clocked - framesClocked_);
    framesClocked_ = clocked;
    counters_.framesProduced += due;
    pendingFrames_ += due;
    if (pendingFrames_ > bufferFrames_) {
        const std::size_t lost = pendingFrames_ - bufferFrames_;
        ++counters_.overruns;
        counters_.framesDropped += lost;
        nextIndex_ += lost;
        pendingFrames_ = bufferFrames_;
    }
    const std::size_t frames = std::min(pendingFrames_, packet.size() / bytesPerFrame);
    for (std::size_t i = 0; i < frames; ++i) {
        const std::span<std::uint8_t> frame = packet.subspan(i * bytesPerFrame, bytesPerFrame);
        source_.Frame(nextIndex_++, frame);
        digest_.Add(frame);
    }
    pendingFrames_ -= frames;
    counters_.framesSent += frames;
    return frames * bytesPerFrame;
}

}  // namespace sim
