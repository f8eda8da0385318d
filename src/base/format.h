// The one bounded formatter of the program, for the printf subset its texts use:
// %d %ld %i %u %lu %x %X %s %c %% with the flags '0' and '-', a width, and a precision for %s
// (as in %.200s). Arguments are type-tagged: an integer given for %s, or a text given for a
// number, prints nothing for that conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace olv {

struct FormatArg {
    enum Kind : uint8_t { Signed, Unsigned, Text } kind;
    union {
        int64_t s;
        uint64_t u;
        const char16_t* text;
    };
};

template <typename T> FormatArg MakeFormatArg(T v) {
    FormatArg a;
    if constexpr (std::is_same_v<std::decay_t<T>, const char16_t*> ||
                  std::is_same_v<std::decay_t<T>, char16_t*>) {
        a.kind = FormatArg::Text;
        a.text = v;
    } else if constexpr (std::is_same_v<std::decay_t<T>, std::nullptr_t>) {
        a.kind = FormatArg::Text;
        a.text = nullptr;
    } else {
        static_assert(std::is_integral_v<T> || std::is_enum_v<T>,
                      "FormatText takes integers and UTF-16 texts only");
        if constexpr (std::is_enum_v<T>) {
            a.kind = FormatArg::Signed;
            a.s = static_cast<int64_t>(v);
        } else if constexpr (std::is_signed_v<T>) {
            a.kind = FormatArg::Signed;
            a.s = static_cast<int64_t>(v);
        } else {
            a.kind = FormatArg::Unsigned;
            a.u = static_cast<uint64_t>(v);
        }
    }
    return a;
}

// Writes into buf (capacity in characters), cut at capacity - 1 and terminated.
// Returns the number of characters written.
size_t FormatTextArgs(char16_t* buf, size_t capacity, const char16_t* format,
                      const FormatArg* args, size_t argCount);

template <typename... Args>
size_t FormatText(char16_t* buf, size_t capacity, const char16_t* format, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        return FormatTextArgs(buf, capacity, format, nullptr, 0);
    } else {
        const FormatArg list[] = {MakeFormatArg(args)...};
        return FormatTextArgs(buf, capacity, format, list, sizeof...(Args));
    }
}

// Formats and appends to the text already in buf, within the same capacity.
template <typename... Args>
size_t AppendFormat(char16_t* buf, size_t capacity, const char16_t* format, Args... args) {
    size_t used = 0;
    while (used < capacity && buf[used] != 0) ++used;
    if (capacity == 0 || used >= capacity - 1) return 0;
    return FormatText(buf + used, capacity - used, format, args...);
}

} // namespace olv
