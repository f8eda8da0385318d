// Time and version for the native build: the C library's time zone (TZ); no Windows version
// unless one is set.
#include "platform/time.h"

#include <time.h>

#include "platform/time_override.h"

namespace olv {

namespace {

constexpr int64_t kUnixEpochTicks = 116444736000000000; // 1970-01-01 in FILETIME ticks

int64_t RealNowTicks() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kTicksPerSecond + ts.tv_nsec / 100 + kUnixEpochTicks;
}

// Seconds since 1970 for non-negative ticks (floored).
time_t UnixSeconds(int64_t ticks) {
    return static_cast<time_t>(ticks / kTicksPerSecond - kUnixEpochTicks / kTicksPerSecond);
}

} // namespace

bool FileTimeToLocalTime(int64_t ticks, SystemTime* out) {
    SystemTime utc{};
    if (out == nullptr || !TicksToUtcSystemTime(ticks, &utc)) return false;
    time_t seconds = UnixSeconds(ticks);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return false;
    int64_t year = static_cast<int64_t>(local.tm_year) + 1900;
    if (year < 1601 || year > 30827) return false;
    out->year = static_cast<uint16_t>(year);
    out->month = static_cast<uint16_t>(local.tm_mon + 1);
    out->dayOfWeek = static_cast<uint16_t>(local.tm_wday);
    out->day = static_cast<uint16_t>(local.tm_mday);
    out->hour = static_cast<uint16_t>(local.tm_hour);
    out->minute = static_cast<uint16_t>(local.tm_min);
    // A leap second (60) is shown as the last second of its minute.
    out->second = static_cast<uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
    out->milliseconds = utc.milliseconds;
    return true;
}

SystemTime LocalNow() {
    SystemTime st{};
    FileTimeToLocalTime(NowTicks(), &st);
    return st;
}

int64_t NowTicks() {
    int64_t fixed = 0;
    return ClockOverride(&fixed) ? fixed : RealNowTicks();
}

int64_t TraceClockNow() {
    return NowTicks();
}

int32_t CurrentUtcBias() {
    int64_t now = NowTicks();
    if (now < 0) return 0;
    time_t seconds = UnixSeconds(now);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return 0;
    return static_cast<int32_t>(-local.tm_gmtoff / 60);
}

bool QueryWindowsVersion(uint32_t* major, uint32_t* minor, uint32_t* build) {
    return VersionOverride(major, minor, build);
}

bool IsWindowsAtLeast(uint32_t major, uint32_t minor) {
    uint32_t ma = 0, mi = 0;
    if (!VersionOverride(&ma, &mi, nullptr)) return false;
    return ma > major || (ma == major && mi >= minor);
}

} // namespace olv
