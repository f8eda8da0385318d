#include "doctest.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/time.h"

using namespace olv;

namespace {

int64_t Ticks(SystemTime st) {
    int64_t t = 0;
    REQUIRE(UtcSystemTimeToTicks(st, &t));
    return t;
}

struct OverrideScope {
    ~OverrideScope() {
        ClearClockOverride();
        ClearVersionOverride();
    }
};

} // namespace

#ifndef _WIN32
namespace {

bool Same(const SystemTime& a, const SystemTime& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Sets TZ for one test and puts the old value back.
struct ZoneScope {
    std::string saved;
    bool had = false;
    explicit ZoneScope(const char* zone) {
        const char* old = std::getenv("TZ");
        had = old != nullptr;
        if (had) saved = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (had) setenv("TZ", saved.c_str(), 1);
        if (!had) unsetenv("TZ");
        tzset();
    }
};

} // namespace

TEST_CASE("FileTimeToLocalTime follows the time zone, daylight time included") {
    const char* cet = "CET-1CEST,M3.5.0,M10.5.0/3";
    const char* est = "EST5EDT,M3.2.0,M11.1.0";
    struct Case {
        const char* zone;
        SystemTime utc, local;
        int32_t bias; // CurrentUtcBias with the clock at that moment
    } cases[] = {
        {cet, {2024, 1, 0, 15, 12, 0, 0, 123}, {2024, 1, 1, 15, 13, 0, 0, 123}, -60},
        {cet, {2024, 3, 0, 31, 0, 59, 59, 999}, {2024, 3, 0, 31, 1, 59, 59, 999}, -60},
        {cet, {2024, 3, 0, 31, 1, 0, 0, 0}, {2024, 3, 0, 31, 3, 0, 0, 0}, -120},
        {cet, {2023, 12, 0, 31, 23, 30, 0, 5}, {2024, 1, 1, 1, 0, 30, 0, 5}, -60},
        {est, {2024, 1, 0, 1, 3, 0, 0, 0}, {2023, 12, 0, 31, 22, 0, 0, 0}, 300},
        {est, {2024, 7, 0, 4, 16, 0, 0, 250}, {2024, 7, 4, 4, 12, 0, 0, 250}, 240},
        {"UTC0", {1601, 1, 0, 1, 0, 0, 0, 0}, {1601, 1, 1, 1, 0, 0, 0, 0}, 0},
    };
    OverrideScope overrides;
    for (const Case& c : cases) {
        ZoneScope zone(c.zone);
        CAPTURE(c.zone);
        CAPTURE(c.utc.month);
        SystemTime local{};
        REQUIRE(FileTimeToLocalTime(Ticks(c.utc), &local));
        CHECK(Same(local, c.local));
        SetClockOverride(Ticks(c.utc));
        CHECK(CurrentUtcBias() == c.bias);
        CHECK(Same(LocalNow(), c.local));
    }
    // What cannot be shown is refused, and the output left alone.
    ZoneScope zone("EST5");
    SystemTime out{};
    out.year = 7;
    CHECK_FALSE(FileTimeToLocalTime(-1, &out));
    CHECK_FALSE(FileTimeToLocalTime(0, &out)); // 1600 in this zone
    CHECK_FALSE(FileTimeToLocalTime(INT64_MAX, &out));
    CHECK(out.year == 7);
    uint32_t major = 9, minor = 9, build = 9; // natively unknown unless set
    CHECK_FALSE(QueryWindowsVersion(&major, &minor, &build));
    CHECK_FALSE(IsWindowsAtLeast(0, 0));
}
#else
TEST_CASE("local time, UTC bias, clock and version agree with each other") {
    const int64_t now = NowTicks();
    SystemTime local{};
    REQUIRE(FileTimeToLocalTime(now, &local));
    const int64_t nowMs = now - now % kTicksPerMillisecond;
    CHECK(nowMs - Ticks(local) == int64_t{CurrentUtcBias()} * 60 * kTicksPerSecond);
    SystemTime out{};
    out.year = 7;
    CHECK_FALSE(FileTimeToLocalTime(-1, &out));
    CHECK(out.year == 7);
    uint32_t major = 0, minor = 0, build = 0;
    REQUIRE(QueryWindowsVersion(&major, &minor, &build));
    CHECK((major >= 6 && IsWindowsAtLeast(major, minor) && IsWindowsAtLeast(major, 0)));
    CHECK_FALSE(IsWindowsAtLeast(major, minor + 1));
}
#endif
