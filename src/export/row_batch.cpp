#include "export/row_batch.h"

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/text.h"
#include "record/recording.h"

namespace olv {

namespace {

constexpr size_t kFieldChars[kRowTextCount] = {kOperationChars, kPathChars,    kDetailChars,
                                               kResultChars,    kProcessChars, kThreatChars};

const char16_t* FieldOf(const EventRow& row, uint32_t text) {
    switch (text) {
    case kTextOperation: return row.operation;
    case kTextPath: return row.path;
    case kTextDetail: return row.detail;
    case kTextResult: return row.result;
    case kTextProcess: return row.process;
    default: return row.threat;
    }
}

#if defined(__SSE2__)
// The characters before the terminator among the first eight of a field (every field holds at
// least eight), or 8 when there is none: no branch waits on what is read.
inline uint16_t LengthWithin8(const char16_t* field, uint32_t* sink) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(field));
    const auto ends =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(c, _mm_setzero_si128())));
    *sink += ends;
    return static_cast<uint16_t>(__builtin_ctz(ends | 0x10000u) / 2);
}
#endif

uint32_t gSink; // keeps the reads of the path's further lines

} // namespace

bool MeasureShownRows(const Recording* app, int32_t first, int32_t count, RowTextLengths* lengths) {
    for (int32_t j = 0; j < count; ++j) {
        const int32_t index = app->shownRows[first + j];
        if (index < 0 || index >= app->rowCount) return false;
    }
#if defined(__SSE2__)
    // First the start of every text of the batch, and the next lines of the paths, with nothing
    // waiting on the reads: they go out together. Most texts end within their first eight
    // characters; the others are measured after, from lines now at hand.
    uint32_t sink = 0;
    for (int32_t j = 0; j < count; ++j) {
        const EventRow& row = app->rows[app->shownRows[first + j]];
        for (uint32_t t = 0; t < kRowTextCount; ++t)
            lengths[j].chars[t] = LengthWithin8(FieldOf(row, t), &sink);
        LengthWithin8(row.path + 32, &sink);
        LengthWithin8(row.path + 64, &sink);
        __builtin_prefetch(&row.pid, 0, 3); // the numbers the writers and the field view read
    }
    gSink = sink;
    for (int32_t j = 0; j < count; ++j) {
        const EventRow& row = app->rows[app->shownRows[first + j]];
        for (uint32_t t = 0; t < kRowTextCount; ++t) {
            if (lengths[j].chars[t] == 8) {
                lengths[j].chars[t] =
                    static_cast<uint16_t>(FieldTextLength(FieldOf(row, t), kFieldChars[t]));
            }
        }
    }
#else
    for (int32_t j = 0; j < count; ++j) {
        const EventRow& row = app->rows[app->shownRows[first + j]];
        for (uint32_t t = 0; t < kRowTextCount; ++t) {
            lengths[j].chars[t] =
                static_cast<uint16_t>(FieldTextLength(FieldOf(row, t), kFieldChars[t]));
        }
    }
#endif
    return true;
}

void PrefetchShownRow(const Recording* app, int32_t shown) {
    if (shown < 0 || shown >= app->shownCount) return;
    const int32_t index = app->shownRows[shown];
    if (index < 0 || index >= app->rowCount) return;
    PrefetchRowLines(&app->rows[index]);
}

void PrefetchRowLines(const EventRow* eventRow) {
    const auto* row = reinterpret_cast<const char*>(eventRow);
    // The time, category and operation; the path's lines that MeasureShownRows reads first; the
    // other texts' starts; the numbers at the end.
    static constexpr size_t kLines[] = {0,
                                        offsetof(EventRow, operation) + 64,
                                        offsetof(EventRow, path),
                                        offsetof(EventRow, path) + 64,
                                        offsetof(EventRow, path) + 128,
                                        offsetof(EventRow, detail),
                                        offsetof(EventRow, result),
                                        offsetof(EventRow, process),
                                        offsetof(EventRow, threat),
                                        offsetof(EventRow, pid)};
    for (size_t at : kLines)
        __builtin_prefetch(row + at, 0, 2);
}

} // namespace olv
