#include "platform/time_override.h"

#include <atomic>

#include "platform/time.h"

namespace olv {

namespace {

constexpr int64_t kNoClockOverride = INT64_MIN;
std::atomic<int64_t> gClock{kNoClockOverride};

// One word, so that a reader never sees half of an update. Bit 63: set; major in bits 48..62,
// minor in 32..47, build in 0..31.
constexpr uint64_t kVersionSet = 1ull << 63;
std::atomic<uint64_t> gVersion{0};

} // namespace

bool ClockOverride(int64_t* ticks) {
    int64_t v = gClock.load();
    if (v == kNoClockOverride) return false;
    if (ticks != nullptr) *ticks = v;
    return true;
}

bool VersionOverride(uint32_t* major, uint32_t* minor, uint32_t* build) {
    uint64_t v = gVersion.load();
    if ((v & kVersionSet) == 0) return false;
    if (major != nullptr) *major = static_cast<uint32_t>((v >> 48) & 0x7FFF);
    if (minor != nullptr) *minor = static_cast<uint32_t>((v >> 32) & 0xFFFF);
    if (build != nullptr) *build = static_cast<uint32_t>(v & 0xFFFFFFFF);
    return true;
}

void SetClockOverride(int64_t ticks) {
    // The one value that means "none" is moved to its neighbour.
    gClock.store(ticks == kNoClockOverride ? ticks + 1 : ticks);
}

void AdvanceClockOverride(int64_t ticks) {
    int64_t current = gClock.load();
    while (current != kNoClockOverride) {
        int64_t next = 0;
        if (__builtin_add_overflow(current, ticks, &next)) {
            next = ticks < 0 ? INT64_MIN : INT64_MAX;
        }
        if (next == kNoClockOverride) next = kNoClockOverride + 1;
        if (gClock.compare_exchange_weak(current, next)) return;
    }
}

void ClearClockOverride() {
    gClock.store(kNoClockOverride);
}

void SetVersionOverride(uint32_t major, uint32_t minor, uint32_t build) {
    uint64_t ma = major > 0x7FFF ? 0x7FFF : major;
    uint64_t mi = minor > 0xFFFF ? 0xFFFF : minor;
    gVersion.store(kVersionSet | (ma << 48) | (mi << 32) | build);
}

void ClearVersionOverride() {
    gVersion.store(0);
}

} // namespace olv
