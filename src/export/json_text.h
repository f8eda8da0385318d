// JSON string text for the JSON export.
#pragma once

#include <cstddef>

namespace olv {

// Appends text as a quoted, escaped JSON string to the terminated text in buf (capacity in
// characters). Tab, LF, CR, '"' and '\' get their short escapes, other characters below 32
// become \u00xx; everything else is copied unchanged. Characters that would bring the buffer to
// capacity - 8 are dropped, so the closing quote always fits. Null text gives "".
void AppendJsonString(char16_t* buf, size_t capacity, const char16_t* text);
// The same for a text read at most maxChars characters far (a fixed-length field).
void AppendJsonStringN(char16_t* buf, size_t capacity, const char16_t* text, size_t maxChars);

} // namespace olv
