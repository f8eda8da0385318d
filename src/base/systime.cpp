#include "base/systime.h"

namespace olv {

namespace {

constexpr int64_t kDaysFrom1601To1970 = 134774;

// Days since 1970-01-01 from a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = yy + (*m <= 2);
}

unsigned DaysInMonth(unsigned year, unsigned month) {
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

} // namespace

bool TicksToUtcSystemTime(int64_t ticks, SystemTime* out) {
    if (out == nullptr || ticks < 0) return false;
    int64_t totalMs = ticks / kTicksPerMillisecond;
    int64_t days = totalMs / 86400000;
    int64_t msOfDay = totalMs % 86400000;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days - kDaysFrom1601To1970, &y, &m, &d);
    if (y > 30827) return false;
    out->year = static_cast<uint16_t>(y);
    out->month = static_cast<uint16_t>(m);
    out->day = static_cast<uint16_t>(d);
    // 1601-01-01 was a Monday.
    out->dayOfWeek = static_cast<uint16_t>((days + 1) % 7);
    out->hour = static_cast<uint16_t>(msOfDay / 3600000);
    out->minute = static_cast<uint16_t>((msOfDay / 60000) % 60);
    out->second = static_cast<uint16_t>((msOfDay / 1000) % 60);
    out->milliseconds = static_cast<uint16_t>(msOfDay % 1000);
    return true;
}

bool UtcSystemTimeToTicks(const SystemTime& st, int64_t* ticks) {
    if (ticks == nullptr || st.year < 1601 || st.year > 30827 || st.month < 1 || st.month > 12 ||
        st.day < 1 || st.day > DaysInMonth(st.year, st.month) || st.hour > 23 || st.minute > 59 ||
        st.second > 59 || st.milliseconds > 999) {
        return false;
    }
    int64_t days = DaysFromCivil(st.year, st.month, st.day) + kDaysFrom1601To1970;
    int64_t ms = ((days * 24 + st.hour) * 60 + st.minute) * 60000 +
                 static_cast<int64_t>(st.second) * 1000 + st.milliseconds;
    *ticks = ms * kTicksPerMillisecond;
    return true;
}

} // namespace olv
