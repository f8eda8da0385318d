// The writers take the shown rows in batches: first the texts of a batch's rows are looked up,
// then the lines are written. CSV formats each line from the stored texts
// themselves; the JSON writers from a scratch EventRow the row is read into
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

// The six texts of a row as they lie in the store (StoredTextViews): valid while rowsLock is held.
struct RowTextViews {
    TextView text[kRowTextCount];
};

// The texts of the rows of shown entries first to first + count - 1 (count at most kRowBatch).
// False when an entry names no row (the writers then fail the file).
bool ViewShownRows(const Recording* app, int32_t first, int32_t count, RowTextViews* views);

inline RowTextLengths LengthsOf(const RowTextViews& views) {
    RowTextLengths lengths;
    for (uint32_t t = 0; t < kRowTextCount; ++t)
        lengths.chars[t] = static_cast<uint16_t>(views.text[t].length);
    return lengths;
}

// Shown entries begin to end - 1, their texts looked up a batch at a time, each handed to
// put(shown, views) in order. False when an entry names no row or put returns false.
template <typename Put>
bool ForEachShownRow(const Recording* app, int32_t begin, int32_t end, Put&& put) {
    RowTextViews views[kRowBatch];
    for (int32_t first = begin; first < end; first += kRowBatch) {
        const int32_t count = end - first < kRowBatch ? end - first : kRowBatch;
        if (!ViewShownRows(app, first, count, views)) return false;
        for (int32_t j = 0; j < count; ++j) {
            if (!put(first + j, views[j])) return false;
        }
    }
    return true;
}

} // namespace olv
