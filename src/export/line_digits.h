// Digits of the export lines written straight into an output block (bytes for UTF-8, char16_t for
// UTF-16), the same text the bounded formatter gives for "%lu" and the long time form.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/systime.h"

namespace olv {

// The longest text of the long time form: five digits in every member, six separators.
constexpr size_t kLongTimeMaxChars = 41;
// The longest text of the UTC form: a five-digit year, "-MM-DDTHH:MM:SS.mmmZ".
constexpr size_t kUtcTimeMaxChars = 25;
// FILETIME ticks of 30828-01-01: a UTC instant is written only before it (the last year a
// SYSTEMTIME holds is 30827).
constexpr int64_t kUtcTicksEnd = 9223149888000000000;
constexpr size_t kDecimalMaxChars = 10; // a 32-bit number

namespace line_digits {
// "00" to "99".
inline constexpr char kPairs[201] = "00010203040506070809101112131415161718192021222324252627282930"
                                    "31323334353637383940414243444546474849505152535455565758596061"
                                    "62636465666768697071727374757677787980818283848586878889909192"
                                    "93949596979899";
} // namespace line_digits

// The decimal digits of value, at least minDigits of them (zeros in front): "%lu", "%02d".
template <typename Char> Char* PutDecimal(Char* out, uint32_t value, int minDigits = 1) {
    if (value < 100 && minDigits == 2) {
        out[0] = static_cast<Char>(line_digits::kPairs[value * 2]);
        out[1] = static_cast<Char>(line_digits::kPairs[value * 2 + 1]);
        return out + 2;
    }
    // Two digits a division, from the last pair to the first.
    char digits[kDecimalMaxChars];
    int at = static_cast<int>(kDecimalMaxChars);
    while (value >= 100) {
        const uint32_t pair = value % 100;
        value /= 100;
        at -= 2;
        digits[at] = line_digits::kPairs[pair * 2];
        digits[at + 1] = line_digits::kPairs[pair * 2 + 1];
    }
    if (value >= 10) {
        at -= 2;
        digits[at] = line_digits::kPairs[value * 2];
        digits[at + 1] = line_digits::kPairs[value * 2 + 1];
    } else {
        digits[--at] = static_cast<char>('0' + value);
    }
    for (int pad = minDigits - (static_cast<int>(kDecimalMaxChars) - at); pad > 0; --pad)
        *out++ = static_cast<Char>('0');
    for (; at < static_cast<int>(kDecimalMaxChars); ++at)
        *out++ = static_cast<Char>(digits[at]);
    return out;
}

// "%04d-%02d-%02d %02d:%02d:%02d.%03d" of year, month, day, hour, minute, second, milliseconds.
template <typename Char> Char* PutLongTime(Char* out, const SystemTime& t) {
    out = PutDecimal(out, t.year, 4);
    *out++ = static_cast<Char>('-');
    out = PutDecimal(out, t.month, 2);
    *out++ = static_cast<Char>('-');
    out = PutDecimal(out, t.day, 2);
    *out++ = static_cast<Char>(' ');
    out = PutDecimal(out, t.hour, 2);
    *out++ = static_cast<Char>(':');
    out = PutDecimal(out, t.minute, 2);
    *out++ = static_cast<Char>(':');
    out = PutDecimal(out, t.second, 2);
    *out++ = static_cast<Char>('.');
    return PutDecimal(out, t.milliseconds, 3);
}

// The UTC form of the last second written, up to its milliseconds ("YYYY-MM-DDTHH:MM:SS."): the
// rows of one second, most rows of a recording, work out their calendar date and time once. One
// per writing thread.
struct UtcDate {
    int64_t second = -1; // seconds since 1601 of `text`; -1: none yet
    uint32_t length = 0;
    char text[24] = {};
};

// "YYYY-MM-DDTHH:MM:SS.mmmZ" of FILETIME ticks (UTC) from 0 to kUtcTicksEnd - 1, the
// milliseconds cut as the local form cuts them.
template <typename Char> Char* PutUtcTime(Char* out, int64_t ticks, UtcDate* date) {
    const int64_t ms = ticks / kTicksPerMillisecond;
    const int64_t second = ms / 1000;
    if (second != date->second) {
        SystemTime t{};
        TicksToUtcSystemTime(ticks, &t);
        char* at = PutDecimal(date->text, t.year, 4);
        *at++ = '-';
        at = PutDecimal(at, t.month, 2);
        *at++ = '-';
        at = PutDecimal(at, t.day, 2);
        *at++ = 'T';
        at = PutDecimal(at, t.hour, 2);
        *at++ = ':';
        at = PutDecimal(at, t.minute, 2);
        *at++ = ':';
        at = PutDecimal(at, t.second, 2);
        *at++ = '.';
        date->length = static_cast<uint32_t>(at - date->text);
        date->second = second;
    }
    for (uint32_t i = 0; i < date->length; ++i)
        *out++ = static_cast<Char>(date->text[i]);
    const auto milli = static_cast<uint32_t>(ms % 1000);
    *out++ = static_cast<Char>('0' + milli / 100);
    out = PutDecimal(out, milli % 100, 2);
    *out++ = static_cast<Char>('Z');
    return out;
}

} // namespace olv
