#include "doctest.h"

#include <cstring>

#include "base/systime.h"

using namespace olv;

TEST_CASE("TicksToUtcSystemTime: known dates, both ways") {
    struct Case {
        int64_t ticks;
        SystemTime st; // year, month, dayOfWeek, day, hour, minute, second, milliseconds
    } cases[] = {
        {0, {1601, 1, 1, 1, 0, 0, 0, 0}},                           // a Monday
        {116444736000000000, {1970, 1, 4, 1, 0, 0, 0, 0}},          // a Thursday
        {125962560000000000, {2000, 2, 2, 29, 0, 0, 0, 0}},         // leap day, a Tuesday
        {133801631999990000, {2024, 12, 2, 31, 23, 59, 59, 999}},   // last ms of a year
        {133479648001239999, {2023, 12, 1, 25, 8, 0, 0, 123}},      // sub-ms ticks are cut
        {9223149887999990000, {30827, 12, 5, 31, 23, 59, 59, 999}}, // the last valid ms
    };
    for (const Case& c : cases) {
        CAPTURE(c.ticks);
        SystemTime st{};
        REQUIRE(TicksToUtcSystemTime(c.ticks, &st));
        CHECK(std::memcmp(&st, &c.st, sizeof st) == 0);
        int64_t back = -1;
        REQUIRE(UtcSystemTimeToTicks(c.st, &back));
        CHECK(back == c.ticks - c.ticks % kTicksPerMillisecond);
    }
    // Every 97th day from 1601 to 2500 round-trips, the weekday advancing with it.
    SystemTime previous{};
    REQUIRE(TicksToUtcSystemTime(0, &previous));
    const int64_t day = 86400 * kTicksPerSecond;
    for (int64_t d = 97; d < 330000; d += 97) {
        SystemTime st{};
        int64_t back = 0;
        REQUIRE(TicksToUtcSystemTime(d * day + 12345 * kTicksPerMillisecond, &st));
        REQUIRE(UtcSystemTimeToTicks(st, &back));
        CHECK(back == d * day + 12345 * kTicksPerMillisecond);
        CHECK(st.dayOfWeek == (previous.dayOfWeek + 97) % 7);
        previous = st;
    }
}

TEST_CASE("calendar conversions refuse what Windows refuses") {
    SystemTime st{};
    CHECK_FALSE(TicksToUtcSystemTime(-1, &st));
    CHECK_FALSE(TicksToUtcSystemTime(9223149888000000000, &st)); // year 30828
    const SystemTime invalid[] = {
        {1600, 12, 0, 31, 0, 0, 0, 0}, {2024, 13, 0, 1, 0, 0, 0, 0}, {2024, 1, 0, 0, 0, 0, 0, 0},
        {2023, 2, 0, 29, 0, 0, 0, 0},  {1900, 2, 0, 29, 0, 0, 0, 0}, {2024, 4, 0, 31, 0, 0, 0, 0},
        {2024, 1, 0, 1, 24, 0, 0, 0},  {2024, 1, 0, 1, 0, 0, 60, 0}, {2024, 1, 0, 1, 0, 0, 0, 1000},
    };
    int64_t ticks = 0;
    for (const SystemTime& s : invalid) {
        CAPTURE(s.year);
        CAPTURE(s.month);
        CAPTURE(s.day);
        CHECK_FALSE(UtcSystemTimeToTicks(s, &ticks));
    }
    CHECK(UtcSystemTimeToTicks({2000, 2, 0, 29, 0, 0, 0, 0}, &ticks)); // 2000 is a leap year
}
