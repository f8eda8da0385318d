// Time and system version, with overrides that tests and the replay tool set.
#pragma once

#include <cstdint>

#include "base/systime.h"

namespace olv {

// FILETIME ticks (UTC) to the local time of the current time zone. False leaves out untouched
// (callers pass a zeroed record).
bool FileTimeToLocalTime(int64_t ticks, SystemTime* out);
// The local time now.
SystemTime LocalNow();
// FILETIME ticks of now (UTC).
int64_t NowTicks();
// FILETIME ticks of now on the clock the trace sessions' event time stamps are given in: the
// system time (the trace converts its performance-counter stamps to it from the system time at
// the session's start), never ahead of the stamps of events that happen after it is taken. A
// clock override fixes it as it fixes NowTicks.
int64_t TraceClockNow();
// Minutes, UTC = local + bias: the zone's bias plus the daylight bias while daylight time is in
// effect.
int32_t CurrentUtcBias();
// The version as GetVersionExW reports it; false when unknown.
bool QueryWindowsVersion(uint32_t* major, uint32_t* minor, uint32_t* build);
// Whether the system is at least major.minor (VerifyVersionInfoW).
bool IsWindowsAtLeast(uint32_t major, uint32_t minor);

// Overrides. A clock override fixes "now" to the given FILETIME ticks until it is advanced or
// cleared; a version override answers both version calls.
void SetClockOverride(int64_t ticks);
void AdvanceClockOverride(int64_t ticks);
void ClearClockOverride();
void SetVersionOverride(uint32_t major, uint32_t minor, uint32_t build);
void ClearVersionOverride();

} // namespace olv
