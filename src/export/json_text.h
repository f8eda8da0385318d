// JSON string text for the JSON export.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

// Appends text as a quoted, escaped JSON string to the terminated text in buf (capacity in
// characters). Tab, LF, CR, '"' and '\' get their short escapes, other characters below 32
// become \u00xx; everything else is copied unchanged. Characters that would bring the buffer to
// capacity - 8 are dropped, so the closing quote always fits. Null text gives "".
void AppendJsonString(char16_t* buf, size_t capacity, const char16_t* text);
// The same for a text read at most maxChars characters far (a fixed-length field).
void AppendJsonStringN(char16_t* buf, size_t capacity, const char16_t* text, size_t maxChars);

// The most bytes PutJsonUtf8 writes for a text of `length` characters: the quotes and six bytes
// a character (\u00xx).
constexpr size_t JsonUtf8MaxBytes(size_t length) { return 2 + 6 * length; }
// The most UTF-16 characters AppendJsonStringN adds for a text of `length` characters.
constexpr size_t JsonTextMaxChars(size_t length) { return 2 + 6 * length; }
// The same string as AppendJsonStringN gives for the first `length` characters of text (none of
// them zero), when its buffer does not fill up, converted to UTF-8 as Utf16ToUtf8 converts it: a
// surrogate pair is one four-byte sequence, any other surrogate is U+FFFD. Writes at `out` (room
// for JsonUtf8MaxBytes(length)) and returns the end of what it wrote.
uint8_t* PutJsonUtf8(uint8_t* out, const char16_t* text, size_t length);
// The same for the first `length` characters of a field of `chars` characters, all of which may
// be read (faster for the field's last characters).
uint8_t* PutJsonUtf8Field(uint8_t* out, const char16_t* field, size_t length, size_t chars);

// For tests: on, the JSON and JSON Lines exports build every event line in its bounded UTF-16
// buffer, as they build the lines that might not fit it, so that both ways can be compared.
void SetJsonBoundedLinesOnly(bool on);

} // namespace olv
