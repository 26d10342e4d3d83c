// A seeded random generator for the simulated device's faults and for the programs that choose
// faults for it.
#pragma once

#include <cstdint>

namespace sim {

// splitmix64: small, fast and the same on every standard library, so a seed means the same run
// everywhere (the <random> distributions are not specified bit for bit).
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}

    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // 0 to n - 1 (0 when n is 0), one draw.
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : uint32_t(Next() % n); }

    // True with probability `p`, one draw.
    bool Chance(double p) { return Hits(Next(), p); }

    // Whether a draw taken earlier hits probability `p`, judged on its top 53 bits (1 always
    // hits, 0 never). For callers that take their draws whether or not they are needed, so the
    // sequence does not depend on the probabilities.
    static bool Hits(uint64_t draw, double p) { return double(draw >> 11) * 0x1.0p-53 < p; }

  private:
    uint64_t state_;
};

}  // namespace sim
