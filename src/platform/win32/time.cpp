// Time and version on Windows: the system's time zone and version, unless overridden.
#include "platform/time.h"

#include <windows.h>

#include "platform/time_override.h"

namespace olv {

namespace {

int64_t Ticks(const FILETIME& ft) {
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                                ft.dwLowDateTime);
}

SystemTime FromWindows(const SYSTEMTIME& s) {
    return SystemTime{s.wYear, s.wMonth,  s.wDayOfWeek, s.wDay,
                      s.wHour, s.wMinute, s.wSecond,    s.wMilliseconds};
}

} // namespace

bool FileTimeToLocalTime(int64_t ticks, SystemTime* out) {
    if (out == nullptr || ticks < 0) return false;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFF);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    if (!FileTimeToSystemTime(&ft, &utc)) return false;
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return false;
    *out = FromWindows(local);
    return true;
}

SystemTime LocalNow() {
    int64_t fixed = 0;
    if (ClockOverride(&fixed)) {
        SystemTime st{};
        FileTimeToLocalTime(fixed, &st);
        return st;
    }
    SYSTEMTIME local{};
    GetLocalTime(&local);
    return FromWindows(local);
}

int64_t NowTicks() {
    int64_t fixed = 0;
    if (ClockOverride(&fixed)) return fixed;
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    return Ticks(ft);
}

int64_t TraceClockNow() {
    // The system time as the system keeps it, not its precise form: that runs up to a timer tick
    // ahead of it, and the trace's converted time stamps take the system time at the session's
    // start as their origin, so a precise stamp could fall after the program's own first events
    // (its executable's and ntdll's image loads, logged inside CreateProcess) and drop them.
    return NowTicks();
}

int32_t CurrentUtcBias() {
    TIME_ZONE_INFORMATION tzi{};
    DWORD id = GetTimeZoneInformation(&tzi);
    if (id == TIME_ZONE_ID_INVALID) return 0;
    int32_t bias = tzi.Bias;
    if (id == TIME_ZONE_ID_DAYLIGHT) bias += tzi.DaylightBias;
    return bias;
}

bool QueryWindowsVersion(uint32_t* major, uint32_t* minor, uint32_t* build) {
    if (VersionOverride(major, minor, build)) return true;
    OSVERSIONINFOW info{};
    static_assert(sizeof(OSVERSIONINFOW) == 276);
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    BOOL ok = GetVersionExW(&info);
#pragma GCC diagnostic pop
    if (!ok) return false;
    if (major != nullptr) *major = info.dwMajorVersion;
    if (minor != nullptr) *minor = info.dwMinorVersion;
    if (build != nullptr) *build = info.dwBuildNumber;
    return true;
}

bool IsWindowsAtLeast(uint32_t major, uint32_t minor) {
    uint32_t ma = 0, mi = 0;
    if (VersionOverride(&ma, &mi, nullptr)) return ma > major || (ma == major && mi >= minor);
    OSVERSIONINFOEXW info{};
    static_assert(sizeof(OSVERSIONINFOEXW) == 284);
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    ULONGLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, mask) != FALSE;
}

} // namespace olv
