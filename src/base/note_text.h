// The lines every report of the recording is made of: a prefixed line whose control
// characters are written as blanks, and the long form of a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/systime.h"

namespace olv {

// Appends prefix + text + CR LF, the text's control characters written as blanks; counts the line
// in *counter when it is not null.
void AppendNoteLine(char16_t* out, size_t capacity, const char16_t* prefix, const char16_t* text,
                    int32_t* counter);
// "%04d-%02d-%02d %02d:%02d:%02d.%03d"
void FormatLongTime(const SystemTime& t, char16_t* out, size_t capacity);

} // namespace olv
