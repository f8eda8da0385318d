#include "record/event_row.h"

#include <cstring>

#include "base/text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
// The sanitizers see only ordinary copies: the streaming path is for optimised builds.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define OLV_STREAMING_STORES 1
#endif
#endif

namespace olv {

void CopyRowAround(EventRow* to, const EventRow* from) {
#if defined(OLV_STREAMING_STORES)
    // Rows are 8-byte aligned and 3256 bytes long: at most one 8-byte piece before the first
    // 16-byte boundary, 16-byte pieces, and what is left in 8-byte pieces.
    auto* out = reinterpret_cast<unsigned char*>(to);
    const auto* in = reinterpret_cast<const unsigned char*>(from);
    size_t done = 0;
    auto put8 = [&](size_t at) {
        long long piece;
        std::memcpy(&piece, in + at, sizeof piece);
        _mm_stream_si64(reinterpret_cast<long long*>(out + at), piece);
    };
    if ((reinterpret_cast<uintptr_t>(out) & 15) != 0) {
        put8(0);
        done = 8;
    }
    for (; done + 16 <= sizeof(EventRow); done += 16) {
        const __m128i piece = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
        _mm_stream_si128(reinterpret_cast<__m128i*>(out + done), piece);
    }
    for (; done < sizeof(EventRow); done += 8)
        put8(done);
#else
    std::memcpy(static_cast<void*>(to), from, sizeof(EventRow));
#endif
}

namespace {

struct TextField {
    size_t offset;
    size_t chars;
};
constexpr TextField kTextFields[] = {
    {offsetof(EventRow, operation), kOperationChars}, {offsetof(EventRow, path), kPathChars},
    {offsetof(EventRow, detail), kDetailChars},       {offsetof(EventRow, result), kResultChars},
    {offsetof(EventRow, process), kProcessChars},     {offsetof(EventRow, threat), kThreatChars}};
constexpr size_t kHeadBytes = offsetof(EventRow, operation); // time, category
constexpr size_t kTailOffset = offsetof(EventRow, pid);      // pid to timestamp
static_assert(kTailOffset == offsetof(EventRow, threat) + kThreatChars * sizeof(char16_t));

static_assert(sizeof kTextFields / sizeof kTextFields[0] == kSlotTextFields);
static_assert(kPathChars * sizeof(char16_t) <= UINT16_MAX);

#if defined(__SSE2__)
// Copies the text of the field at `offset` and its terminator in 16-byte blocks, measuring it on
// the way; the bytes of the last block after the terminator are written as zeros. Every field
// holds a whole number of blocks, so no block leaves its field. Returns the live bytes.
size_t CopyTextBlocks(unsigned char* out, const unsigned char* in, const TextField& f) {
    static_assert(kOperationChars % 8 == 0 && kPathChars % 8 == 0 && kDetailChars % 8 == 0 &&
                  kResultChars % 8 == 0 && kProcessChars % 8 == 0 && kThreatChars % 8 == 0);
    const __m128i zeros = _mm_setzero_si128();
    const __m128i byteIndex = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const size_t bytes = f.chars * sizeof(char16_t);
    for (size_t at = 0; at < bytes; at += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + at));
        const auto ends =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(block, zeros)));
        if (ends == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), block);
            continue;
        }
        const int keep = __builtin_ctz(ends) + 2; // bytes up to and with the terminator
        const __m128i kept = _mm_and_si128(block, _mm_cmplt_epi8(byteIndex, _mm_set1_epi8(
                                                                     static_cast<char>(keep))));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), kept);
        return at + static_cast<size_t>(keep);
    }
    return bytes; // no terminator: the whole field
}
#else
// Bytes of the field at offset that a reader of its text looks at: the text and its terminator.
size_t LiveBytes(const unsigned char* row, const TextField& f) {
    const size_t length =
        FieldTextLength(reinterpret_cast<const char16_t*>(row + f.offset), f.chars);
    return (length < f.chars ? length + 1 : length) * sizeof(char16_t);
}
#endif

} // namespace

void CopyRowIntoSlot(EventRow* slot, SlotExtents* extents, const EventRow* row) {
    auto* out = reinterpret_cast<unsigned char*>(slot);
    const auto* in = reinterpret_cast<const unsigned char*>(row);
    std::memcpy(out, in, kHeadBytes);
    for (size_t f = 0; f < kSlotTextFields; ++f) {
        const TextField& field = kTextFields[f];
#if defined(__SSE2__)
        const size_t live = CopyTextBlocks(out + field.offset, in + field.offset, field);
#else
        const size_t live = LiveBytes(in, field);
        std::memcpy(out + field.offset, in + field.offset, live);
#endif
        const size_t before = extents->bytes[f];
        if (before > live) std::memset(out + field.offset + live, 0, before - live);
        extents->bytes[f] = static_cast<uint16_t>(live);
    }
    std::memcpy(out + kTailOffset, in + kTailOffset, sizeof(EventRow) - kTailOffset);
}

void PrefetchLiveLines(EventRow* row) {
    __builtin_prefetch(&row->category, 1);
    __builtin_prefetch(row->operation + 32, 1);
    __builtin_prefetch(row->path, 1);
    __builtin_prefetch(row->path + 32, 1);
    __builtin_prefetch(row->detail, 1);
    __builtin_prefetch(row->result, 1);
    __builtin_prefetch(row->process, 1);
    __builtin_prefetch(row->threat, 1);
    __builtin_prefetch(&row->pid, 1);
}

void FinishRowCopies() {
#if defined(OLV_STREAMING_STORES)
    _mm_sfence();
#endif
}

const char16_t* CategoryLabel(uint32_t category) {
    switch (category) {
    case kCategoryFile:
        return u"File";
    case kCategoryRegistry:
        return u"Registry";
    case kCategoryNetwork:
        return u"Network";
    case kCategoryProcess:
        return u"Process";
    default:
        return u"Unknown";
    }
}

} // namespace olv
