// The checks a session file's RecordingInfo block must pass before it is trusted: the times and
// the UTC bias it carries are printed in every header, so a value no clock gives is damage.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/systime.h"
#include "record/recording_info.h"

namespace olv {

// The UTC bias of a real time zone lies within 14 hours either way (UTC-12 to UTC+14).
constexpr int32_t kMostUtcBiasMinutes = 14 * 60;

// True when t is the all-zero time ("not known") or a real date and time: year 1601 to 30827,
// month 1 to 12, a day the month has, hour 0 to 23, minute and second 0 to 59, milliseconds 0 to
// 999 (the day of the week is printed nowhere and not checked). Otherwise false, with the name
// of the first field out of range (for example "month") in *field and its value in *value.
bool SystemTimeInRange(const SystemTime& t, const char16_t** field, uint32_t* value);

// Whether the block's start, stop and snapshot times and its UTC bias are in range. When one is
// not, writes into why (capacity characters) what is wrong, naming the field and its value, for
// example "the start time's month is 13", and returns false.
bool RecordingInfoInRange(const RecordingInfo& info, char16_t* why, size_t capacity);

} // namespace olv
