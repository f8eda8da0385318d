// A small deterministic generator for tests that draw many cases, so that a failure replays.
#pragma once

#include <cstdint>

namespace olv {

struct TestRandom {
    uint64_t state;
    uint32_t Next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    }
    // 0 to n - 1; n must not be 0.
    uint32_t Below(uint32_t n) { return Next() % n; }
};

} // namespace olv
