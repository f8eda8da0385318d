#include "base/reveal_text.h"

#include "base/text.h"

namespace olv {

namespace {

struct CodeRange {
    uint32_t first;
    uint32_t last;
};

// Format characters, default-ignorable characters (fillers, joiners, variation selectors, tags)
// and the two separators, in ascending order.
constexpr CodeRange kHidden[] = {
    {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x0600, 0x0605},   {0x061C, 0x061C},
    {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},
    {0x115F, 0x1160},   {0x17B4, 0x17B5},   {0x180B, 0x180F},   {0x200B, 0x200F},
    {0x2028, 0x202E},   {0x2060, 0x206F},   {0x3164, 0x3164},   {0xFE00, 0xFE0F},
    {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},   {0xFFF0, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
    {0xE0000, 0xE0FFF},
};

size_t AppendWithMarks(char16_t* buf, size_t capacity, const char16_t* src, size_t srcChars,
                       bool blankControls) {
    if (buf == nullptr || capacity == 0) return 0;
    size_t len = FieldTextLength(buf, capacity - 1);
    if (src == nullptr) return len;
    for (size_t i = 0; i < srcChars && src[i] != 0;) {
        uint32_t c = src[i];
        size_t units = 1;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < srcChars && src[i + 1] >= 0xDC00 &&
            src[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (src[i + 1] - 0xDC00u);
            units = 2;
        }
        if (c >= kHidden[0].first && IsHiddenFormatChar(c)) {
            char16_t mark[kRevealMarkChars];
            const size_t n = FormatRevealMark(c, mark);
            if (len + n > capacity - 1) break;
            for (size_t k = 0; k < n; ++k)
                buf[len++] = mark[k];
        } else {
            if (len + units > capacity - 1) break; // a pair is never split
            if (blankControls && IsControlCharacter(c)) {
                buf[len++] = u' ';
            } else {
                for (size_t k = 0; k < units; ++k)
                    buf[len++] = src[i + k];
            }
        }
        i += units;
    }
    buf[len] = 0;
    return len;
}

} // namespace

bool IsControlCharacter(uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

size_t FormatRevealMark(uint32_t c, char16_t* mark) {
    static const char16_t kHex[] = u"0123456789ABCDEF";
    size_t digits = 4;
    while (digits < 6 && (c >> (4 * digits)) != 0)
        ++digits;
    size_t n = 0;
    mark[n++] = u'[';
    mark[n++] = u'U';
    mark[n++] = u'+';
    for (size_t d = digits; d > 0; --d)
        mark[n++] = kHex[(c >> (4 * (d - 1))) & 0xF];
    mark[n++] = u']';
    return n;
}


bool IsHiddenFormatChar(uint32_t codePoint) {
    if (codePoint < kHidden[0].first) return false; // all of ASCII and Latin-1's letters
    size_t lo = 0;
    size_t hi = sizeof kHidden / sizeof kHidden[0];
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (codePoint < kHidden[mid].first) {
            hi = mid;
        } else if (codePoint > kHidden[mid].last) {
            lo = mid + 1;
        } else {
            return true;
        }
    }
    return false;
}

size_t AppendRevealed(char16_t* buf, size_t capacity, const char16_t* src, size_t srcChars) {
    return AppendWithMarks(buf, capacity, src, srcChars, false);
}

size_t CopyRevealed(char16_t* buf, size_t capacity, const char16_t* src, size_t srcChars) {
    if (buf == nullptr || capacity == 0) return 0;
    buf[0] = 0;
    return AppendWithMarks(buf, capacity, src, srcChars, false);
}

size_t AppendRevealedOneLine(char16_t* buf, size_t capacity, const char16_t* src,
                             size_t srcChars) {
    return AppendWithMarks(buf, capacity, src, srcChars, true);
}

} // namespace olv
