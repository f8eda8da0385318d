#include "export/json_text.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/text.h"

namespace olv {

void AppendJsonStringN(char16_t* buf, size_t capacity, const char16_t* text, size_t maxChars) {
    if (buf == nullptr || capacity == 0) return;
    size_t used = TextLength(buf);
    if (used >= capacity) used = capacity - 1;
    auto put = [&](char16_t c) {
        if (used + 1 < capacity) buf[used++] = c;
    };
    static const char16_t kHex[] = u"0123456789abcdef";
    put(u'"');
    for (size_t i = 0; text != nullptr && i < maxChars && text[i] != 0; ++i) {
        if (capacity < 8 || used >= capacity - 8) break;
        const char16_t c = text[i];
        const char16_t escape = c == u'\t'   ? u't'
                                : c == u'\n' ? u'n'
                                : c == u'\r' ? u'r'
                                : c == u'"'  ? u'"'
                                : c == u'\\' ? u'\\'
                                             : 0;
        if (escape != 0) {
            put(u'\\');
            put(escape);
        } else if (c < 32) {
            for (char16_t piece : {u'\\', u'u', u'0', u'0', kHex[(c >> 4) & 0xF], kHex[c & 0xF]})
                put(piece);
        } else {
            put(c);
        }
    }
    put(u'"');
    buf[used] = 0;
}

void AppendJsonString(char16_t* buf, size_t capacity, const char16_t* text) {
    AppendJsonStringN(buf, capacity, text, SIZE_MAX);
}

} // namespace olv

namespace olv {

namespace {

// For each ASCII character: 0 when it is written as it is, else the character after the
// backslash of its escape ('u' for \u00xx).
struct JsonEscapes {
    char after[128];
    constexpr JsonEscapes() : after() {
        for (int c = 0; c < 32; ++c)
            after[c] = 'u';
        after[int{'\t'}] = 't';
        after[int{'\n'}] = 'n';
        after[int{'\r'}] = 'r';
        after[int{'"'}] = '"';
        after[int{'\\'}] = '\\';
    }
};
constexpr JsonEscapes kJsonEscapes;

} // namespace

size_t JsonStringChars(const char16_t* text, size_t length) {
    size_t chars = 2;
    for (size_t i = 0; i < length; ++i) {
        const char16_t c = text[i];
        const char after = c < 0x80 ? kJsonEscapes.after[c] : 0;
        chars += after == 0 ? 1 : after == 'u' ? 6 : 2;
    }
    return chars;
}

namespace {

#if defined(__SSE2__)
// Eight characters at a time: per character (bit j for the character at text + j), `escaped`
// has the quotes and backslashes and `bad` everything not written as it is (those two, and every
// character outside 32 to 127). The eight characters are left in *chars.
inline void ClassifyOf8(const char16_t* text, __m128i* chars, unsigned* bad, unsigned* escaped) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    // 32..127 is (c - 32) < 96 unsigned: the saturated c - 32 - 95 is zero exactly then.
    const __m128i above = _mm_subs_epu16(_mm_sub_epi16(c, _mm_set1_epi16(32)), _mm_set1_epi16(95));
    const __m128i outside =
        _mm_xor_si128(_mm_cmpeq_epi16(above, _mm_setzero_si128()), _mm_set1_epi16(-1));
    const __m128i escape = _mm_or_si128(_mm_cmpeq_epi16(c, _mm_set1_epi16('"')),
                                        _mm_cmpeq_epi16(c, _mm_set1_epi16('\\')));
    *chars = c;
    *escaped = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(escape, escape))) & 0xFF;
    const __m128i any = _mm_or_si128(outside, escape);
    *bad = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(any, any))) & 0xFF;
}

// Printable ASCII characters (count of them, packed as bytes) with a backslash put before each
// one that `escaped` marks: each piece between those copied whole.
inline uint8_t* PutEscapedAscii(uint8_t* out, const uint8_t* packed, unsigned escaped,
                                unsigned count) {
    unsigned from = 0;
    for (unsigned rest = escaped; rest != 0; rest &= rest - 1) {
        const unsigned at = static_cast<unsigned>(__builtin_ctz(rest));
        std::memcpy(out, packed + from, at - from);
        out += at - from;
        *out++ = '\\';
        from = at;
    }
    std::memcpy(out, packed + from, count - from);
    return out + (count - from);
}
#endif

} // namespace

namespace {

// PutJsonUtf8 over a text of which `readable` characters (at least length) may be read: the last
// characters before length are then taken eight at a time too, where at least two are left (so
// that the eight bytes stored fit the room reserved for them).
inline uint8_t* PutJsonUtf8Within(uint8_t* out, const char16_t* text, size_t length,
                                  size_t readable) {
    static const char kHex[] = "0123456789abcdef";
    *out++ = '"';
    size_t i = 0;
    while (i < length) {
#if defined(__SSE2__)
        if (i + 16 <= length) {
            // Sixteen at once: plain, or printable ASCII with quotes and backslashes.
            __m128i low, high;
            unsigned badLow = 0, escapedLow = 0, badHigh = 0, escapedHigh = 0;
            ClassifyOf8(text + i, &low, &badLow, &escapedLow);
            ClassifyOf8(text + i + 8, &high, &badHigh, &escapedHigh);
            const unsigned bad = badLow | badHigh << 8;
            const unsigned escaped = escapedLow | escapedHigh << 8;
            if (bad == escaped) {
                alignas(16) uint8_t packed[16];
                _mm_store_si128(reinterpret_cast<__m128i*>(packed), _mm_packus_epi16(low, high));
                out = PutEscapedAscii(out, packed, escaped, 16);
                i += 16;
                continue;
            }
        }
        if (i + 8 <= readable && (i + 8 <= length || length - i >= 2)) {
            __m128i chars;
            unsigned bad = 0, escaped = 0;
            ClassifyOf8(text + i, &chars, &bad, &escaped);
            if (bad != 0 && bad == escaped && i + 8 <= length) {
                // Printable ASCII with quotes or backslashes (a path's separators): each piece
                // between them copied, a backslash put before each of them.
                alignas(16) uint8_t packed[16];
                _mm_store_si128(reinterpret_cast<__m128i*>(packed), _mm_packus_epi16(chars, chars));
                out = PutEscapedAscii(out, packed, escaped, 8);
                i += 8;
                continue;
            }
            unsigned plain = bad == 0 ? 8 : static_cast<unsigned>(__builtin_ctz(bad));
            if (plain > length - i) plain = static_cast<unsigned>(length - i);
            // Eight bytes are stored whatever the count: room for six a character is reserved.
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(chars, chars));
            out += plain;
            i += plain;
            if (plain == 8 || i == length) continue;
            // A quote or backslash among other characters: escaped here, the next eight taken
            // at once.
            const char16_t stop = text[i];
            if (stop == u'\\' || stop == u'"') {
                out[0] = '\\';
                out[1] = static_cast<uint8_t>(stop);
                out += 2;
                ++i;
                continue;
            }
        }
#else
        (void)readable;
#endif
        const char16_t c = text[i];
        if (c < 0x80) {
            const char after = kJsonEscapes.after[c];
            if (after == 0) {
                *out++ = static_cast<uint8_t>(c);
            } else if (after != 'u') {
                *out++ = '\\';
                *out++ = static_cast<uint8_t>(after);
            } else {
                const uint8_t escape[6] = {'\\', 'u', '0', '0', static_cast<uint8_t>(kHex[c >> 4]),
                                           static_cast<uint8_t>(kHex[c & 0xF])};
                std::memcpy(out, escape, 6);
                out += 6;
            }
            ++i;
        } else if (c < 0x800) {
            out[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
            out[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            out += 2;
            ++i;
        } else if ((c & 0xF800) != 0xD800) {
            out[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
            out[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
            out[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            out += 3;
            ++i;
        } else if (c < 0xDC00 && i + 1 < length && (text[i + 1] & 0xFC00) == 0xDC00) {
            const uint32_t cp = 0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) +
                                (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
            out[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
            out[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
            out[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
            out += 4;
            i += 2;
        } else { // a surrogate without its other half
            out[0] = 0xEF;
            out[1] = 0xBF;
            out[2] = 0xBD;
            out += 3;
            ++i;
        }
    }
    *out++ = '"';
    return out;
}

} // namespace

uint8_t* PutJsonUtf8(uint8_t* out, const char16_t* text, size_t length) {
    return PutJsonUtf8Within(out, text, length, length);
}

uint8_t* PutJsonUtf8Field(uint8_t* out, const char16_t* field, size_t length, size_t chars) {
    return PutJsonUtf8Within(out, field, length, chars < length ? length : chars);
}


namespace {

// A string in a bounded line, a character at a time: it takes no character once the line holds
// bound - 8, so that the closing quote always fits.
JsonLine PutJsonStringBounded(JsonLine line, const char16_t* text, size_t length) {
    static const char kHex[] = "0123456789abcdef";
    const size_t bound = line.bound;
    size_t used = line.used;
    if (used + 1 >= bound) return line; // full: refused anyway
    uint8_t* out = line.at;
    *out++ = '"';
    ++used;
    for (size_t i = 0; i < length; ++i) {
        if (bound < 8 || used >= bound - 8) break;
        const char16_t c = text[i];
        if (c < 0x80) {
            const char after = kJsonEscapes.after[c];
            if (after == 0) {
                *out++ = static_cast<uint8_t>(c);
                used += 1;
            } else if (after != 'u') {
                *out++ = '\\';
                *out++ = static_cast<uint8_t>(after);
                used += 2;
            } else {
                const uint8_t escape[6] = {'\\', 'u', '0', '0', static_cast<uint8_t>(kHex[c >> 4]),
                                           static_cast<uint8_t>(kHex[c & 0xF])};
                std::memcpy(out, escape, 6);
                out += 6;
                used += 6;
            }
        } else if (c < 0x800) {
            out[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
            out[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            out += 2;
            used += 1;
        } else if ((c & 0xF800) != 0xD800) {
            out[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
            out[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
            out[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            out += 3;
            used += 1;
        } else if (c < 0xDC00 && i + 1 < length && (text[i + 1] & 0xFC00) == 0xDC00 &&
                   used + 1 < bound - 8) { // both halves fit
            const uint32_t cp = 0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) +
                                (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
            out[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
            out[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
            out[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
            out += 4;
            used += 2;
            ++i;
        } else { // a surrogate without its other half, or a pair cut after its first half
            out[0] = 0xEF;
            out[1] = 0xBF;
            out[2] = 0xBD;
            out += 3;
            used += 1;
        }
    }
    *out++ = '"';
    ++used;
    return JsonLine{out, static_cast<uint32_t>(used), line.bound};
}

} // namespace

JsonLine PutJsonString(JsonLine line, const char16_t* text, size_t length, size_t readable) {
    if (line.bound != 0) return PutJsonStringBounded(line, text, length);
    line.at = PutJsonUtf8Within(line.at, text, length, readable < length ? length : readable);
    return line;
}

} // namespace olv
