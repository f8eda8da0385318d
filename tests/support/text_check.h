// UTF-16 texts as UTF-8 std::string, so that doctest prints both sides of a failed comparison:
// CHECK(U8(row.path) == "C:\\x").
#pragma once

#include <string>

#include "base/text.h"

namespace olv {

inline std::string U8(const char16_t* text) {
    size_t length = TextLength(text);
    std::string out(Utf16ToUtf8(text, length, nullptr, 0), '\0');
    Utf16ToUtf8(text, length, out.data(), out.size() + 1);
    return out;
}

} // namespace olv
