#include "capture/row_record.h"

#include <cstring>

#include "base/text.h"
#include "platform/hash_table.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace olv {

namespace {

// Members, in record order; bit n of the member mask says that member n is in the record.
enum Member : uint32_t {
    kMemberCategory = 0,
    kMemberDate = 1,  // year, month, day of the week, day
    kMemberClock = 2, // hour, minute, second, milliseconds
    kMemberPid = 3,
    kMemberThreadId = 4,
    kMemberParentPid = 5,
    kMemberSeverity = 6,
    kMemberReserved = 7,
    kMemberKeyObject = 8,
    kMemberTimestamp = 9,
    kMemberFirstText = 10, // then one bit for each text, in the order of kTextOffsets
};
static_assert(kMemberFirstText + kRecordTexts == 16);
static_assert(kRecordMemberCategory == 1u << kMemberCategory &&
              kRecordMemberDate == 1u << kMemberDate && kRecordMemberClock == 1u << kMemberClock &&
              kRecordMemberPid == 1u << kMemberPid &&
              kRecordMemberThreadId == 1u << kMemberThreadId &&
              kRecordMemberParentPid == 1u << kMemberParentPid &&
              kRecordMemberSeverity == 1u << kMemberSeverity &&
              kRecordMemberReserved == 1u << kMemberReserved &&
              kRecordMemberKeyObject == 1u << kMemberKeyObject &&
              kRecordMemberTimestamp == 1u << kMemberTimestamp &&
              RecordMemberText(0) == 1u << kMemberFirstText);

constexpr size_t kTextOffsets[kRecordTexts] = {
    offsetof(EventRow, operation), offsetof(EventRow, path),    offsetof(EventRow, detail),
    offsetof(EventRow, result),    offsetof(EventRow, process), offsetof(EventRow, threat)};
constexpr size_t kTextChars[kRecordTexts] = {kOperationChars, kPathChars,    kDetailChars,
                                             kResultChars,    kProcessChars, kThreatChars};
// A text's head: its units, and this bit when they are two bytes each.
constexpr uint16_t kWideText = 0x8000;
static_assert(kPathChars < kWideText);

char16_t* TextOf(EventRow* row, size_t t) {
    return reinterpret_cast<char16_t*>(reinterpret_cast<unsigned char*>(row) + kTextOffsets[t]);
}
const char16_t* TextOf(const EventRow* row, size_t t) {
    return reinterpret_cast<const char16_t*>(reinterpret_cast<const unsigned char*>(row) +
                                             kTextOffsets[t]);
}

// The fixed members as bytes: where each lies in the row and how long it is.
struct FixedMember {
    size_t offset;
    size_t bytes;
};
constexpr FixedMember kFixed[kMemberFirstText] = {
    {offsetof(EventRow, category), 4},  {offsetof(EventRow, time), 8},
    {offsetof(EventRow, time) + 8, 8},  {offsetof(EventRow, pid), 4},
    {offsetof(EventRow, threadId), 4},  {offsetof(EventRow, parentPid), 4},
    {offsetof(EventRow, severity), 4},  {offsetof(EventRow, reserved), 4},
    {offsetof(EventRow, keyObject), 8}, {offsetof(EventRow, timestamp), 8},
};

const unsigned char* BytesOf(const EventRow* row, size_t offset) {
    return reinterpret_cast<const unsigned char*>(row) + offset;
}
unsigned char* BytesOf(EventRow* row, size_t offset) {
    return reinterpret_cast<unsigned char*>(row) + offset;
}

// Fixed members are 4 or 8 bytes: copies and comparisons of a known size, which the compiler
// makes single loads and stores instead of calls.
bool SameMember(const unsigned char* a, const unsigned char* b, size_t bytes) {
    return bytes == 4 ? std::memcmp(a, b, 4) == 0 : std::memcmp(a, b, 8) == 0;
}
void CopyMember(unsigned char* to, const unsigned char* from, size_t bytes) {
    if (bytes == 4) {
        std::memcpy(to, from, 4);
    } else {
        std::memcpy(to, from, 8);
    }
}

// Units of a text up to its terminator (the whole field without one), and whether any of them
// is 256 or above. Every field holds a whole number of 8-unit blocks, so no block leaves it.
size_t MeasureText(const char16_t* text, size_t chars, bool* wide) {
    char16_t high = 0;
#if defined(__SSE2__)
    static_assert(kOperationChars % 8 == 0 && kPathChars % 8 == 0 && kDetailChars % 8 == 0 &&
                  kResultChars % 8 == 0 && kProcessChars % 8 == 0 && kThreatChars % 8 == 0);
    const __m128i zeros = _mm_setzero_si128();
    __m128i highs = zeros;
    for (size_t at = 0; at < chars; at += 8) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
        const auto ends = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(block, zeros)));
        if (ends != 0) {
            const size_t n = at + static_cast<size_t>(__builtin_ctz(ends)) / 2;
            for (size_t i = at; i < n; ++i)
                high = static_cast<char16_t>(high | (text[i] & 0xFF00));
            *wide = high != 0 || _mm_movemask_epi8(_mm_cmpeq_epi8(highs, zeros)) != 0xFFFF;
            return n;
        }
        highs = _mm_or_si128(highs, _mm_srli_epi16(block, 8));
    }
    *wide = _mm_movemask_epi8(_mm_cmpeq_epi8(highs, zeros)) != 0xFFFF;
    return chars;
#else
    size_t n = 0;
    for (; n < chars && text[n] != 0; ++n)
        high = static_cast<char16_t>(high | (text[n] & 0xFF00));
    *wide = high != 0;
    return n;
#endif
}

// Units below 256 as one byte each, and back; the widening tells whether a unit was zero.
void NarrowUnits(uint8_t* to, const char16_t* from, size_t count) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= count; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i + 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), _mm_packus_epi16(a, b));
    }
#endif
    for (; i < count; ++i)
        to[i] = static_cast<uint8_t>(from[i]);
}
bool WidenUnits(char16_t* to, const uint8_t* from, size_t count) {
    size_t i = 0;
    bool zero = false;
#if defined(__SSE2__)
    const __m128i zeros = _mm_setzero_si128();
    __m128i seen = zeros;
    for (; i + 16 <= count; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
        seen = _mm_or_si128(seen, _mm_cmpeq_epi8(bytes, zeros));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), _mm_unpacklo_epi8(bytes, zeros));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i + 8), _mm_unpackhi_epi8(bytes, zeros));
    }
    zero = _mm_movemask_epi8(seen) != 0;
#endif
    for (; i < count; ++i) {
        to[i] = from[i];
        zero = zero || from[i] == 0;
    }
    return zero;
}
bool HasZeroUnit(const char16_t* text, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (text[i] == 0) return true;
    }
    return false;
}

// After `count` units of a text were written into the coder's row: zeros over what its previous
// text left after them (the previous text and its terminator), keeping the rule of `last`.
void TextWritten(RowRecordCoder* coder, size_t t, size_t count) {
    const size_t chars = kTextChars[t];
    const size_t before = coder->units[t] < chars ? coder->units[t] + 1u : chars;
    if (before > count)
        std::memset(TextOf(&coder->last, t) + count, 0, (before - count) * sizeof(char16_t));
    coder->units[t] = static_cast<uint16_t>(count);
}

// What the encoder learned of one text in its first pass.
struct TextPlan {
    uint16_t units;
    bool wide;
    bool same; // equal to the previous row's text
};

} // namespace

size_t EncodeRowRecord(RowRecordCoder* coder, const EventRow* row, uint8_t* out, size_t room) {
    // First pass: which members differ and how many bytes they take. Nothing is written until
    // the record is known to fit.
    const bool hasLast = coder->hasLast != 0;
    uint32_t members = 0;
    size_t size = 4; // size and member mask
    for (uint32_t m = 0; m < kMemberFirstText; ++m) {
        const FixedMember& f = kFixed[m];
        if (hasLast && SameMember(BytesOf(row, f.offset), BytesOf(&coder->last, f.offset), f.bytes))
            continue;
        members |= 1u << m;
        size += f.bytes;
    }
    TextPlan plans[kRecordTexts];
    for (size_t t = 0; t < kRecordTexts; ++t) {
        const char16_t* text = TextOf(row, t);
        bool wide = false;
        const size_t n = MeasureText(text, kTextChars[t], &wide);
        TextPlan& plan = plans[t];
        plan.units = static_cast<uint16_t>(n);
        plan.wide = wide;
        plan.same = hasLast && n == coder->units[t] &&
                    std::memcmp(text, TextOf(&coder->last, t), n * sizeof(char16_t)) == 0;
        if (plan.same) continue;
        members |= 1u << (kMemberFirstText + t);
        size += 2 + n * (plan.wide ? 2 : 1);
    }
    size += size & 1; // records start at even offsets
    if (size > room) return 0;

    // Second pass: the record, and the row becomes the coder's previous row.
    uint8_t* at = out;
    const uint16_t head[2] = {static_cast<uint16_t>(size), static_cast<uint16_t>(members)};
    std::memcpy(at, head, sizeof head);
    at += sizeof head;
    for (uint32_t m = 0; m < kMemberFirstText; ++m) {
        if ((members & (1u << m)) == 0) continue;
        const FixedMember& f = kFixed[m];
        CopyMember(at, BytesOf(row, f.offset), f.bytes);
        CopyMember(BytesOf(&coder->last, f.offset), BytesOf(row, f.offset), f.bytes);
        at += f.bytes;
    }
    for (size_t t = 0; t < kRecordTexts; ++t) {
        const TextPlan& plan = plans[t];
        if (plan.same) continue;
        const char16_t* text = TextOf(row, t);
        const uint16_t textHead = static_cast<uint16_t>(plan.units | (plan.wide ? kWideText : 0));
        std::memcpy(at, &textHead, sizeof textHead);
        at += sizeof textHead;
        if (plan.wide) {
            std::memcpy(at, text, plan.units * sizeof(char16_t));
            at += plan.units * sizeof(char16_t);
        } else {
            NarrowUnits(at, text, plan.units);
            at += plan.units;
        }
        std::memcpy(TextOf(&coder->last, t), text, plan.units * sizeof(char16_t));
        TextWritten(coder, t, plan.units);
    }
    if (((at - out) & 1) != 0) *at++ = 0;
    coder->hasLast = 1;
    coder->members = static_cast<uint16_t>(members);
    coder->zeroInText = 0; // a text is measured up to its first zero
    return size;
}

void RowChangesOf(const RowRecordCoder* coder, RowChanges* changes) {
    const uint32_t members = coder->members;
    uint32_t changed = 0;
    if ((members & kRecordMemberCategory) != 0) changed |= kChangedCategory;
    if ((members & (kRecordMemberDate | kRecordMemberClock)) != 0) changed |= kChangedTime;
    for (size_t t = 0; t < kRecordTexts; ++t) {
        if ((members & RecordMemberText(t)) != 0) changed |= ChangedText(t);
        // A text with a zero unit in it ends at that zero, as a row's text does.
        changes->units[t] =
            (coder->zeroInText & (1u << t)) != 0
                ? static_cast<uint16_t>(FieldTextLength(TextOf(&coder->last, t), kTextChars[t]))
                : coder->units[t];
    }
    changes->changed = changed;
}

bool RecordPathHash(const uint8_t* in, size_t available, uint64_t* hash, uint16_t* units) {
    uint16_t head[2];
    if (available < sizeof head) return false;
    std::memcpy(head, in, sizeof head);
    const size_t size = head[0];
    const uint32_t members = head[1];
    if (size < sizeof head || size > available || (members & RecordMemberText(1)) == 0)
        return false;
    size_t at = sizeof head;
    for (uint32_t m = 0; m < kMemberFirstText; ++m) {
        if ((members & (1u << m)) != 0) at += kFixed[m].bytes;
    }
    for (size_t t = 0; t < 2; ++t) {
        if ((members & RecordMemberText(t)) == 0) continue;
        uint16_t textHead;
        if (size < at + sizeof textHead) return false;
        std::memcpy(&textHead, in + at, sizeof textHead);
        at += sizeof textHead;
        const bool wide = (textHead & kWideText) != 0;
        const size_t n = textHead & static_cast<uint16_t>(~kWideText);
        if (n > kTextChars[t] || size - at < n * (wide ? 2 : 1)) return false;
        if (t == 1) {
            if (wide || n == 0) return false;
            *hash = HashText8As16(in + at, n);
            *units = static_cast<uint16_t>(n);
            return true;
        }
        at += n * (wide ? 2 : 1);
    }
    return false;
}

size_t DecodeRowRecord(RowRecordCoder* coder, const uint8_t* in, size_t available) {
    uint16_t head[2];
    if (available < sizeof head) return 0;
    std::memcpy(head, in, sizeof head);
    const size_t size = head[0];
    const uint32_t members = head[1];
    if (size < sizeof head || size > available || (size & 1) != 0) return 0;
    const uint8_t* at = in + sizeof head;
    const uint8_t* end = in + size;
    uint8_t zeroInText = 0;
    for (uint32_t m = 0; m < kMemberFirstText; ++m) {
        if ((members & (1u << m)) == 0) continue;
        const FixedMember& f = kFixed[m];
        if (static_cast<size_t>(end - at) < f.bytes) return 0;
        CopyMember(BytesOf(&coder->last, f.offset), at, f.bytes);
        at += f.bytes;
    }
    for (size_t t = 0; t < kRecordTexts; ++t) {
        if ((members & (1u << (kMemberFirstText + t))) == 0) continue;
        uint16_t textHead;
        if (end - at < 2) return 0;
        std::memcpy(&textHead, at, sizeof textHead);
        at += sizeof textHead;
        const bool wide = (textHead & kWideText) != 0;
        const size_t n = textHead & static_cast<uint16_t>(~kWideText);
        if (n > kTextChars[t] || static_cast<size_t>(end - at) < n * (wide ? 2 : 1)) return 0;
        char16_t* to = TextOf(&coder->last, t);
        bool zero = false;
        if (wide) {
            std::memcpy(to, at, n * sizeof(char16_t));
            zero = HasZeroUnit(to, n);
            at += n * sizeof(char16_t);
        } else {
            zero = WidenUnits(to, at, n);
            at += n;
        }
        if (zero) zeroInText = static_cast<uint8_t>(zeroInText | (1u << t));
        TextWritten(coder, t, n);
    }
    // At most the one byte that keeps the next record even.
    if (end - at > 1) return 0;
    coder->hasLast = 1;
    coder->members = static_cast<uint16_t>(members);
    // A text the record left out keeps what the row before held.
    const uint8_t kept = static_cast<uint8_t>(~(members >> kMemberFirstText));
    coder->zeroInText = static_cast<uint8_t>(zeroInText | (coder->zeroInText & kept & 0x3F));
    return size;
}

} // namespace olv
