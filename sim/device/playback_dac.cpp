#include "sim/device/playback_dac.h"

#include <algorithm>

namespace sim {

void PlaybackDac::Configure(const StreamFormat& format, std::uint32_t rateHz, std::int32_t driftPpm,
                            std::uint32_t packetsPerSecond, platform::VirtualTime now) {
    active_ = true;
    format_ = format;
    bytesPerFrame_ = format.BytesPerFrame();
    clock_ = FrameClock(rateHz, driftPpm);
    packetsPerSecond_ = packetsPerSecond;
    epoch_ = now;
    framesClocked_ = 0;
    targetFrames_ = std::max<std::size_t>(1, std::size_t{rateHz} * kTargetMilliseconds / 1000);
    capacityFrames_ = 2 * targetFrames_;
    thresholdFrames_ = std::max<std::size_t>(1, targetFrames_ / 2);
    fifo_.assign(capacityFrames_ * bytesPerFrame_, 0);
    readFrame_ = 0;
    levelFrames_ = 0;
    playing_ = false;
}

void PlaybackDac::Stop() {
    active_ = false;
    levelFrames_ = 0;
    playing_ = false;
}

void PlaybackDac::Advance(platform::VirtualTime now) {
    if (!active_ || now < epoch_) return;
    const std::int64_t clocked = clock_.FramesIn(now - epoch_);
    const auto due = static_cast<std::size_t>(clocked - framesClocked_);
    framesClocked_ = clocked;
    if (!playing_ || due == 0) return;
    if (due > levelFrames_) {
        // Ran dry: play what there is, then silence until the FIFO refills to the
        // threshold. One event however long the silence lasts.
        PlayFrames(levelFrames_);
        playing_ = false;
        ++counters_.underruns;
        return;
    }
    PlayFrames(due);
}

void PlaybackDac::PlayFrames(std::size_t frames) {
    const std::size_t keptLimitBytes = keptFramesLimit_ * bytesPerFrame_;
    for (std::size_t i = 0; i < frames; ++i) {
        const std::span<const std::uint8_t> frame(fifo_.data() + readFrame_ * bytesPerFrame_,
                                                  bytesPerFrame_);
        digest_.Add(frame);
        if (kept_.size() < keptLimitBytes) kept_.insert(kept_.end(), frame.begin(), frame.end());
        readFrame_ = readFrame_ + 1 == capacityFrames_ ? 0 : readFrame_ + 1;
    }
    levelFrames_ -= frames;
    counters_.framesPlayed += frames;
}

void PlaybackDac::Receive(std::span<const std::uint8_t> packet, platform::VirtualTime now) {
    if (!active_ || bytesPerFrame_ == 0) return;
    Advance(now);
    const std::size_t frames = packet.size() / bytesPerFrame_;
    const std::size_t accepted = std::min(frames, capacityFrames_ - levelFrames_);
    if (accepted < frames) {
        ++counters_.overruns;
        counters_.framesDropped += frames - accepted;
    }
    // Into the ring in at most two runs: up to its end, then from its start.
    const std::size_t writeFrame = (readFrame_ + levelFrames_) % capacityFrames_;
    const std::size_t firstRun = std::min(accepted, capacityFrames_ - writeFrame);
    std::copy_n(packet.data(), firstRun * bytesPerFrame_,
                fifo_.data() + writeFrame * bytesPerFrame_);
    std::copy_n(packet.data() + firstRun * bytesPerFrame_, (accepted - firstRun) * bytesPerFrame_,
                fifo_.data());
    levelFrames_ += accepted;
    counters_.framesReceived += accepted;
    if (!playing_ && levelFrames_ >= thresholdFrames_) playing_ = true;
}

std::uint32_t PlaybackDac::Feedback(platform::VirtualTime now) {
    Advance(now);
    // Real rate per packet interval, Q16.16: micro-frames per second * 2^16 / (1e6 * pps).
    const std::int64_t nominalQ16 =
        (clock_.MicroFramesPerSecond() << 16) / (std::int64_t{1'000'000} * packetsPerSecond_);
    const auto target = static_cast<std::int64_t>(targetFrames_);
    const std::int64_t distance =
        std::clamp(target - static_cast<std::int64_t>(levelFrames_), -target, target);
    const std::int64_t trimQ16 =
        distance * kFeedbackTimeConstantInverseSeconds * 65536 / packetsPerSecond_;
    const auto value = static_cast<std::uint32_t>(std::max<std::int64_t>(0, nominalQ16 + trimQ16));
    ++counters_.feedbackSent;
    counters_.lastFeedbackQ16 = value;
    return value;
}

}  // namespace sim
