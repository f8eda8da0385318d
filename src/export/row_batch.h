// The writers take the shown rows in batches: first the lengths of every text of a batch's rows,
// then the lines. A writer formats each row from a scratch EventRow it reads the row into
// (ReadStoredRowTerminated), one per worker, reused for every row: a line reads each text up to
// its measured length only.
#pragma once

#include <cstdint>

#include "record/event_row.h"
#include "record/recording.h"
#include "record/stored_rows.h"

namespace olv {

constexpr int32_t kRowBatch = 64;

struct RowTextLengths {
    uint16_t chars[kRowTextCount]; // up to the terminator, at most the field's capacity
};

// The lengths of the texts of the rows of shown entries first to first + count - 1 (count at
// most kRowBatch). False when an entry names no row (the writers then fail the file).
bool MeasureShownRows(const Recording* app, int32_t first, int32_t count, RowTextLengths* lengths);

// Shown entries begin to end - 1, measured a batch at a time, each handed to put(shown, lengths)
// in order. False when an entry names no row or put returns false.
template <typename Put>
bool ForEachShownRow(const Recording* app, int32_t begin, int32_t end, Put&& put) {
    RowTextLengths lengths[kRowBatch];
    for (int32_t first = begin; first < end; first += kRowBatch) {
        const int32_t count = end - first < kRowBatch ? end - first : kRowBatch;
        if (!MeasureShownRows(app, first, count, lengths)) return false;
        for (int32_t j = 0; j < count; ++j) {
            if (!put(first + j, lengths[j])) return false;
        }
    }
    return true;
}

} // namespace olv
