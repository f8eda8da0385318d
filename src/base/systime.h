// The SYSTEMTIME-shaped record of the program: eight 16-bit members.
#pragma once

#include <cstdint>

namespace olv {

struct SystemTime {
    uint16_t year;
    uint16_t month;
    uint16_t dayOfWeek;
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};
static_assert(sizeof(SystemTime) == 16);

// FILETIME ticks: 100 ns units since 1 January 1601, UTC.
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerMillisecond = 10000;

// Pure calendar conversion of FILETIME ticks to a UTC SystemTime (no time zone).
// False for negative ticks or ticks past year 30827, as Windows refuses them.
bool TicksToUtcSystemTime(int64_t ticks, SystemTime* out);
// The inverse, for tests and the stand-ins; false for an invalid date.
bool UtcSystemTimeToTicks(const SystemTime& st, int64_t* ticks);

} // namespace olv
