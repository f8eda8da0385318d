// The clock and version overrides of platform/time.h, shared by both platform layers.
#pragma once

#include <cstdint>

namespace olv {

// The fixed "now" in FILETIME ticks; false when the clock is not overridden.
bool ClockOverride(int64_t* ticks);
// The fixed Windows version; false when none is set.
bool VersionOverride(uint32_t* major, uint32_t* minor, uint32_t* build);

} // namespace olv
