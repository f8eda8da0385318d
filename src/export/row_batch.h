// The writers take the shown rows in batches: first the lengths of every text of a batch's rows,
// then the lines. Each row is 3256 bytes of which a writer reads a few hundred; read one text
// after another, each read waits for memory behind the last. Measuring a batch first, starting
// with reads that nothing waits on, lets the reads of many rows wait for memory together.
#pragma once

#include <cstdint>

#include "record/recording.h"
#include "record/event_row.h"
#include "record/stored_rows.h"

namespace olv {

constexpr int32_t kRowBatch = 64;


struct RowTextLengths {
    uint16_t chars[kRowTextCount]; // up to the terminator, at most the field's capacity
};

// The lengths of the texts of the rows of shown entries first to first + count - 1 (count at
// most kRowBatch). False when an entry names no row (the writers then fail the file).
bool MeasureShownRows(const Recording* app, int32_t first, int32_t count, RowTextLengths* lengths);

// Asks for the lines a writer reads of the row of shown entry `shown` (nothing when there is no
// such entry). The writers ask for the row one batch ahead of the one they format, so that its
// lines come from memory while the rows before it are formatted: the hardware does not follow
// rows 3256 bytes apart, and a batch's own measuring then finds them at hand.
void PrefetchShownRow(const Recording* app, int32_t shown);
// The same for a row of the store.
void PrefetchRowLines(const EventRow* row);

// Shown entries begin to end - 1, measured a batch at a time, each handed to put(shown, lengths)
// in order with the next batch's rows asked for meanwhile. False when an entry names no row or
// put returns false.
template <typename Put>
bool ForEachShownRow(const Recording* app, int32_t begin, int32_t end, Put&& put) {
    RowTextLengths lengths[kRowBatch];
    for (int32_t first = begin; first < end; first += kRowBatch) {
        const int32_t count = end - first < kRowBatch ? end - first : kRowBatch;
        if (!MeasureShownRows(app, first, count, lengths)) return false;
        for (int32_t j = 0; j < count; ++j) {
            if (first + j + kRowBatch < end) PrefetchShownRow(app, first + j + kRowBatch);
            if (!put(first + j, lengths[j])) return false;
        }
    }
    return true;
}

} // namespace olv
