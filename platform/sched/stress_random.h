// The random source of the scheduler's stress mode. It is seeded, never from the
// machine, so a run replays exactly from its seed.
#pragma once

#include <cstdint>

namespace platform {

class StressRandom {
  public:
    explicit StressRandom(std::uint64_t seed) : state_(seed) {}

    // splitmix64: small, fast, and every seed gives a distinct full-period stream.
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A value in [0, bound), bound > 0.
    std::uint64_t Below(std::uint64_t bound) { return Next() % bound; }
    // True with probability 1 / n.
    bool OneIn(std::uint64_t n) { return Below(n) == 0; }

  private:
    std::uint64_t state_;
};

}  // namespace platform
