// JSON string text for the JSON export.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// A JSON line written as UTF-8 straight into memory reserved for it. A line may have a bound in
// characters (UTF-16 code units, as its texts are kept): a string then stops taking characters
// once the line holds bound - 8 of them, so that it still closes (a surrogate pair split there
// becomes U+FFFD), any other piece that does not fit whole fills the line, and a line that is full
// (bound - 1 characters) is refused by its writer. Without a bound (0) nothing is counted: for a
// line whose longest form is known to fit. Passed and returned by value, so that the writing
// position stays in a register across the stores.
struct JsonLine {
    uint8_t* at;
    uint32_t used;  // characters so far (bounded lines only)
    uint32_t bound; // 0: not counted
};
static_assert(sizeof(JsonLine) == 16, "returned in registers");

// The most bytes a line of `bound` characters takes: three a character (a surrogate pair is two
// characters and four bytes).
constexpr size_t JsonLineMaxBytes(size_t bound) { return 3 * bound; }

inline bool JsonLineFull(const JsonLine& line) {
    return line.bound != 0 && line.used + 1 >= line.bound;
}

// Fills a bounded line: nothing more is written, and its writer refuses it.
inline JsonLine FillJsonLine(JsonLine line) {
    line.used = line.bound - 1;
    return line;
}

// Bytes of one character each (ASCII, or UTF-8 counted as `chars` characters) as they are.
inline JsonLine PutJsonBytes(JsonLine line, const void* bytes, size_t count, size_t chars) {
    if (line.bound != 0) {
        if (line.used + chars >= line.bound) return FillJsonLine(line);
        line.used += static_cast<uint32_t>(chars);
    }
    std::memcpy(line.at, bytes, count);
    line.at += count;
    return line;
}

template <size_t N> JsonLine PutJsonLiteral(JsonLine line, const char (&ascii)[N]) {
    return PutJsonBytes(line, ascii, N - 1, N - 1);
}

inline JsonLine PutJsonChar(JsonLine line, char c) {
    if (line.bound == 0) {
        *line.at++ = static_cast<uint8_t>(c);
        return line;
    }
    return PutJsonBytes(line, &c, 1, 1);
}

// The characters a bounded line counts for the first `length` characters of text as a quoted
// JSON string, at most (a surrogate pair counts two).
size_t JsonStringChars(const char16_t* text, size_t length);

// The first `length` characters of text (none of them zero) as a quoted JSON string, of which
// `readable` characters (at least length) may be read.
JsonLine PutJsonString(JsonLine line, const char16_t* text, size_t length, size_t readable);

// A string made before as PutJsonString makes it without a bound (`bytes`, from `text`): copied,
// or written again from its text in a bounded line, where it may be cut.
inline JsonLine PutJsonMade(JsonLine line, const uint8_t* bytes, size_t count,
                            const char16_t* text, size_t length) {
    if (line.bound != 0) return PutJsonString(line, text, length, length);
    std::memcpy(line.at, bytes, count);
    line.at += count;
    return line;
}

} // namespace olv
