// A running fingerprint of a stream of frames: how many, and a 64-bit hash of their
// bytes in order. Two streams with the same digest are, for testing purposes, the same
// bytes: a dropped, repeated, reordered or altered frame changes the hash. Lets an hour
// of audio be compared with its source without keeping it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

namespace sim {

class FrameDigest {
  public:
    // Adds one frame's bytes.
    void Add(std::span<const std::uint8_t> frame) {
        // Eight bytes at a time, little-endian, each word stirred in with a multiply and
        // a rotation (a 64-bit FNV prime; cheap, and order-sensitive across words).
        // (The host is little-endian, so a copy into the word reads it that way.)
        for (std::size_t i = 0; i < frame.size(); i += sizeof(std::uint64_t)) {
            std::uint64_t word = 0;
            std::memcpy(&word, frame.data() + i, std::min(sizeof(word), frame.size() - i));
            hash_ = (hash_ ^ word) * kPrime;
            hash_ ^= hash_ >> 29;
        }
        ++frames_;
    }

    std::uint64_t Frames() const { return frames_; }
    std::uint64_t Hash() const { return hash_; }
    bool operator==(const FrameDigest&) const = default;

  private:
    static constexpr std::uint64_t kPrime = 0x100000001B3ull;

    std::uint64_t frames_ = 0;
    std::uint64_t hash_ = 0xCBF29CE484222325ull;  // FNV offset basis
};

}  // namespace sim
