#include "export/session_check.h"

#include "base/format.h"
#include "base/text.h"

namespace olv {

namespace {

bool IsLeapYear(uint32_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

uint32_t DaysInMonth(uint32_t year, uint32_t month) {
    static const uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29u : kDays[month - 1];
}

bool IsZeroTime(const SystemTime& t) {
    return t.year == 0 && t.month == 0 && t.dayOfWeek == 0 && t.day == 0 && t.hour == 0 &&
           t.minute == 0 && t.second == 0 && t.milliseconds == 0;
}

} // namespace

bool SystemTimeInRange(const SystemTime& t, const char16_t** field, uint32_t* value) {
    if (field != nullptr) *field = nullptr;
    if (IsZeroTime(t)) return true;
    const bool calendar = t.year >= 1601 && t.year <= 30827 && t.month >= 1 && t.month <= 12;
    const struct {
        const char16_t* name;
        uint32_t value;
        uint32_t least;
        uint32_t most;
    } fields[] = {
        {u"year", t.year, 1601, 30827},
        {u"month", t.month, 1, 12},
        {u"day", t.day, 1, calendar ? DaysInMonth(t.year, t.month) : 31},
        {u"hour", t.hour, 0, 23},
        {u"minute", t.minute, 0, 59},
        {u"second", t.second, 0, 59},
        {u"milliseconds", t.milliseconds, 0, 999},
    };
    for (const auto& f : fields) {
        if (f.value >= f.least && f.value <= f.most) continue;
        if (field != nullptr) *field = f.name;
        if (value != nullptr) *value = f.value;
        return false;
    }
    return true;
}

bool RecordingInfoInRange(const RecordingInfo& info, char16_t* why, size_t capacity) {
    if (why != nullptr && capacity > 0) why[0] = 0;
    const struct {
        const char16_t* name;
        const SystemTime* time;
    } times[] = {
        {u"start time", &info.started},
        {u"stop time", &info.stopped},
        {u"snapshot time", &info.snapshotTakenAt},
    };
    for (const auto& t : times) {
        const char16_t* field = nullptr;
        uint32_t value = 0;
        if (SystemTimeInRange(*t.time, &field, &value)) continue;
        if (why != nullptr) FormatText(why, capacity, u"the %s's %s is %lu", t.name, field, value);
        return false;
    }
    if (info.utcBias < -kMostUtcBiasMinutes || info.utcBias > kMostUtcBiasMinutes) {
        if (why != nullptr) FormatText(why, capacity, u"the UTC bias is %ld minutes", info.utcBias);
        return false;
    }
    return true;
}

} // namespace olv
