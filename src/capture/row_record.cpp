#include "capture/row_record.h"

#include <cstring>

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
    kMemberFirstText = 10, // then one bit for each text, in kTexts order
};
static_assert(kMemberFirstText + kRecordTexts == 16);

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
    {offsetof(EventRow, category), 4},
    {offsetof(EventRow, time), 8},
    {offsetof(EventRow, time) + 8, 8},
    {offsetof(EventRow, pid), 4},
    {offsetof(EventRow, threadId), 4},
    {offsetof(EventRow, parentPid), 4},
    {offsetof(EventRow, severity), 4},
    {offsetof(EventRow, reserved), 4},
    {offsetof(EventRow, keyObject), 8},
    {offsetof(EventRow, timestamp), 8},
};

const unsigned char* BytesOf(const EventRow* row, size_t offset) {
    return reinterpret_cast<const unsigned char*>(row) + offset;
}
unsigned char* BytesOf(EventRow* row, size_t offset) {
    return reinterpret_cast<unsigned char*>(row) + offset;
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
        if (hasLast && std::memcmp(BytesOf(row, f.offset), BytesOf(&coder->last, f.offset),
                                   f.bytes) == 0)
            continue;
        members |= 1u << m;
        size += f.bytes;
    }
    TextPlan plans[kRecordTexts];
    for (size_t t = 0; t < kRecordTexts; ++t) {
        const char16_t* text = TextOf(row, t);
        const size_t chars = kTextChars[t];
        size_t n = 0;
        char16_t high = 0;
        for (; n < chars && text[n] != 0; ++n)
            high |= static_cast<char16_t>(text[n] & 0xFF00);
        TextPlan& plan = plans[t];
        plan.units = static_cast<uint16_t>(n);
        plan.wide = high != 0;
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
        std::memcpy(at, BytesOf(row, f.offset), f.bytes);
        std::memcpy(BytesOf(&coder->last, f.offset), BytesOf(row, f.offset), f.bytes);
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
            for (size_t i = 0; i < plan.units; ++i)
                *at++ = static_cast<uint8_t>(text[i]);
        }
        std::memcpy(TextOf(&coder->last, t), text, plan.units * sizeof(char16_t));
        TextWritten(coder, t, plan.units);
    }
    if (((at - out) & 1) != 0) *at++ = 0;
    coder->hasLast = 1;
    return size;
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
    for (uint32_t m = 0; m < kMemberFirstText; ++m) {
        if ((members & (1u << m)) == 0) continue;
        const FixedMember& f = kFixed[m];
        if (static_cast<size_t>(end - at) < f.bytes) return 0;
        std::memcpy(BytesOf(&coder->last, f.offset), at, f.bytes);
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
        if (wide) {
            std::memcpy(to, at, n * sizeof(char16_t));
            at += n * sizeof(char16_t);
        } else {
            for (size_t i = 0; i < n; ++i)
                to[i] = at[i];
            at += n;
        }
        TextWritten(coder, t, n);
    }
    // At most the one byte that keeps the next record even.
    if (end - at > 1) return 0;
    coder->hasLast = 1;
    return size;
}

} // namespace olv
