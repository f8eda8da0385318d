// Placeholder until the real implementation lands; delete this file when it does.
#include "platform/time.h"

namespace olv {

bool FileTimeToLocalTime(int64_t, SystemTime*) { return false; }
SystemTime LocalNow() { return {}; }
int64_t NowTicks() { return 0; }
int32_t CurrentUtcBias() { return 0; }
bool QueryWindowsVersion(uint32_t*, uint32_t*, uint32_t*) { return false; }
bool IsWindowsAtLeast(uint32_t, uint32_t) { return false; }
void SetClockOverride(int64_t) {}
void AdvanceClockOverride(int64_t) {}
void ClearClockOverride() {}
void SetVersionOverride(uint32_t, uint32_t, uint32_t) {}
void ClearVersionOverride() {}

} // namespace olv
