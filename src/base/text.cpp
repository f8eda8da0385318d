#include "base/text.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The sanitizers check every byte a load touches; the whole-block reads of TextLengthWithin look
// at bytes around a text that belong to nobody, so those builds measure one character at a time.
#if defined(__SSE2__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define OLV_BLOCK_READS 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#undef OLV_BLOCK_READS
#endif
#endif

namespace olv {

namespace {

// Length of a text that may end anywhere, stopping at limit characters. It reads whole aligned
// 16-byte blocks: an aligned block never straddles a page, so no read goes past the page that
// holds the terminator, and the bytes of the block outside the text are masked out.
size_t TextLengthWithin(const char16_t* text, size_t limit) {
    size_t n = 0;
#if defined(OLV_BLOCK_READS)
    const auto address = reinterpret_cast<uintptr_t>(text);
    if ((address & 1) == 0 && limit >= 8) {
        const __m128i zeros = _mm_setzero_si128();
        const size_t skip = address & 15; // bytes of the first block before the text
        const auto* block = reinterpret_cast<const __m128i*>(address - skip);
        unsigned ends = static_cast<unsigned>(
                            _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(block), zeros))) >>
                        skip;
        size_t seen = (16 - skip) / 2; // characters of the text the first block held
        while (ends == 0 && seen < limit) {
            ++block;
            ends = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(block), zeros)));
            if (ends != 0) {
                n = seen + static_cast<size_t>(__builtin_ctz(ends)) / 2;
                return n < limit ? n : limit;
            }
            seen += 8;
        }
        if (ends == 0) return limit;
        n = static_cast<size_t>(__builtin_ctz(ends)) / 2;
        return n < limit ? n : limit;
    }
#endif
    while (n < limit && text[n] != 0)
        ++n;
    return n;
}

} // namespace

size_t TextLength(const char16_t* text) {
    if (text == nullptr) return 0;
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

size_t FieldTextLength(const char16_t* field, size_t chars) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zeros = _mm_setzero_si128();
    for (; i + 8 <= chars; i += 8) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(field + i));
        const unsigned ends = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(c, zeros)));
        if (ends != 0) return i + static_cast<size_t>(__builtin_ctz(ends)) / 2;
    }
#endif
    while (i < chars && field[i] != 0)
        ++i;
    return i;
}

size_t AppendBoundedN(char16_t* buf, size_t capacity, const char16_t* src, size_t count) {
    if (buf == nullptr || capacity == 0) return 0;
    // The whole buffer is readable, so its text is measured eight characters at a time.
    size_t used = FieldTextLength(buf, capacity - 1);
    if (src != nullptr) {
        // Measure what fits first, then copy it in one piece: names and paths are copied on the
        // trace thread for every row.
        const size_t room = capacity - 1 - used;
        const size_t limit = count < room ? count : room;
        const size_t n = TextLengthWithin(src, limit);
        if (n > 0) std::memmove(buf + used, src, n * sizeof(char16_t));
        used += n;
    }
    buf[used] = 0;
    return used;
}

size_t AppendBounded(char16_t* buf, size_t capacity, const char16_t* src) {
    return AppendBoundedN(buf, capacity, src, SIZE_MAX);
}

size_t CopyBounded(char16_t* buf, size_t capacity, const char16_t* src) {
    if (buf == nullptr || capacity == 0) return 0;
    buf[0] = 0;
    return AppendBounded(buf, capacity, src);
}

void CopyAscii(char16_t* buf, size_t capacity, const char* ascii) {
    if (buf == nullptr || capacity == 0) return;
    size_t i = 0;
    if (ascii != nullptr) {
        for (; ascii[i] != 0 && i < capacity - 1; ++i) {
            buf[i] = static_cast<char16_t>(static_cast<unsigned char>(ascii[i]));
        }
    }
    buf[i] = 0;
}

bool TextIsEmpty(const char16_t* text) {
    return text == nullptr || text[0] == 0;
}

bool TextEquals(const char16_t* a, const char16_t* b) {
    if (a == nullptr) a = u"";
    if (b == nullptr) b = u"";
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

bool TextStartsWith(const char16_t* text, const char16_t* prefix) {
    if (prefix == nullptr) return true;
    if (text == nullptr) return prefix[0] == 0;
    for (size_t i = 0; prefix[i] != 0; ++i) {
        if (text[i] != prefix[i]) return false;
    }
    return true;
}

bool TextEndsWith(const char16_t* text, const char16_t* suffix) {
    size_t n = TextLength(text);
    size_t m = TextLength(suffix);
    if (m > n) return false;
    for (size_t i = 0; i < m; ++i) {
        if (text[n - m + i] != suffix[i]) return false;
    }
    return true;
}

bool ContainsFolded(const char16_t* hay, const char16_t* needle) {
    if (needle == nullptr || needle[0] == 0) return true;
    if (hay == nullptr) return false;
    for (size_t i = 0; hay[i] != 0; ++i) {
        size_t j = 0;
        while (needle[j] != 0 && hay[i + j] != 0 && FoldAscii(hay[i + j]) == FoldAscii(needle[j])) {
            ++j;
        }
        if (needle[j] == 0) return true;
    }
    return false;
}

bool ContainsFoldedLower(const char16_t* hay, const char16_t* lowerNeedle) {
    if (lowerNeedle == nullptr || lowerNeedle[0] == 0) return true;
    if (hay == nullptr) return false;
    const char16_t first = lowerNeedle[0];
    for (size_t i = 0; hay[i] != 0; ++i) {
        if (FoldAscii(hay[i]) != first) continue;
        size_t j = 1;
        while (lowerNeedle[j] != 0 && hay[i + j] != 0 && FoldAscii(hay[i + j]) == lowerNeedle[j]) {
            ++j;
        }
        if (lowerNeedle[j] == 0) return true;
    }
    return false;
}

ptrdiff_t FindText(const char16_t* hay, const char16_t* needle, size_t from) {
    if (hay == nullptr || needle == nullptr) return -1;
    size_t n = TextLength(hay);
    size_t m = TextLength(needle);
    if (m == 0) return from <= n ? static_cast<ptrdiff_t>(from) : -1;
    for (size_t i = from; i + m <= n; ++i) {
        size_t j = 0;
        while (j < m && hay[i + j] == needle[j])
            ++j;
        if (j == m) return static_cast<ptrdiff_t>(i);
    }
    return -1;
}

bool EqualsFolded(const char16_t* a, const char16_t* b) {
    if (a == nullptr) a = u"";
    if (b == nullptr) b = u"";
    while (*a != 0 && FoldAscii(*a) == FoldAscii(*b)) {
        ++a;
        ++b;
    }
    return FoldAscii(*a) == FoldAscii(*b);
}

size_t Utf16ToUtf8(const char16_t* src, size_t srcLength, char* dst, size_t dstCapacity) {
    size_t needed = 0;
    size_t written = 0;
    bool room = dst != nullptr && dstCapacity > 0;
    for (size_t i = 0; src != nullptr && i < srcLength; ++i) {
        uint32_t cp = src[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 < srcLength && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(src[i + 1]) - 0xDC00);
                ++i;
            } else {
                cp = 0xFFFD;
            }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        unsigned char bytes[4];
        size_t n;
        if (cp < 0x80) {
            bytes[0] = static_cast<unsigned char>(cp);
            n = 1;
        } else if (cp < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 4;
        }
        needed += n;
        if (room) {
            if (written + n <= dstCapacity - 1) {
                for (size_t k = 0; k < n; ++k)
                    dst[written++] = static_cast<char>(bytes[k]);
            } else {
                room = false;
            }
        }
    }
    if (dst != nullptr && dstCapacity > 0) dst[written] = 0;
    return needed;
}

namespace {
// Code page 1252 bytes 0x80 to 0x9F; the five undefined ones map to themselves, as Windows does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
} // namespace

void BlankControlChars(char16_t* text) {
    for (size_t i = 0; text != nullptr && text[i] != 0; ++i) {
        if (text[i] < 0x20 || text[i] == 0x7F) text[i] = u' ';
    }
}

void ReplaceUnpairedSurrogates(char16_t* text, size_t length) {
    for (size_t i = 0; text != nullptr && i < length; ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            ++i; // a whole pair
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            text[i] = 0xFFFD;
        }
    }
}

bool Cp1252ToUtf16(const char* src, char16_t* dst, size_t dstCapacity) {
    if (dst == nullptr || dstCapacity == 0) return false;
    if (src == nullptr) {
        dst[0] = 0;
        return true;
    }
    size_t i = 0;
    for (; src[i] != 0; ++i) {
        if (i >= dstCapacity - 1) {
            dst[0] = 0;
            return false;
        }
        unsigned char b = static_cast<unsigned char>(src[i]);
        dst[i] = (b >= 0x80 && b <= 0x9F) ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
    }
    dst[i] = 0;
    return true;
}

const char16_t* PathFileName(const char16_t* path) {
    if (path == nullptr) return u"";
    const char16_t* name = path;
    for (const char16_t* p = path; *p != 0; ++p) {
        if (*p == u'\\' || *p == u'/') name = p + 1;
    }
    return name;
}

void JoinPath(const char16_t* folder, const char16_t* name, char16_t separator, char16_t* out,
              size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    CopyBounded(out, capacity, folder != nullptr ? folder : u"");
    const size_t n = TextLength(out);
    if (n > 0 && out[n - 1] != u'\\' && out[n - 1] != u'/') {
        const char16_t sep[2] = {separator, 0};
        AppendBounded(out, capacity, sep);
    }
    AppendBounded(out, capacity, name);
}

bool SiblingPath(const char16_t* path, const char16_t* name, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    if (path == nullptr || name == nullptr) return false;
    const size_t length = TextLength(path);
    size_t separator = length;
    for (size_t i = length; i > 0; --i) {
        if (path[i - 1] == u'\\' || path[i - 1] == u'/') {
            separator = i - 1;
            break;
        }
    }
    if (separator == length || separator + 1 + TextLength(name) >= capacity) return false;
    AppendBoundedN(out, capacity, path, separator + 1);
    AppendBounded(out, capacity, name);
    return true;
}

} // namespace olv
