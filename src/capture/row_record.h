// Row records: the compact form in which a row crosses the EventQueue ring. A record holds only
// the members that differ from the previous record's row, and each text without the unused tail
// of its fixed array, one byte a unit when every unit of it fits a byte. Both sides of the ring
// keep the previous row (a RowRecordCoder each), so the writer's coder and the reader's coder
// must see the same records in the same order: a record that was not written changes nothing.
// The format is described in docs/trace-capture.md.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/event_row.h"

namespace olv {

constexpr size_t kRecordTexts = 6; // operation, path, detail, result, process, threat

struct RowRecordCoder {
    // The previous row, with zeros after each text (so a decoded row is the row it was made from,
    // with zeros after each text); the reader's decoded row.
    EventRow last;
    uint16_t units[kRecordTexts]; // units of each text of `last`, without its terminator
    uint8_t hasLast;              // 0: the next record holds every member
};

// Largest record: every member present and every text UTF-16 without a terminator.
constexpr size_t kLargestRowRecord =
    4 + 4 + 16 + 5 * 4 + 2 * 8 + 2 * kRecordTexts +
    2 * (kOperationChars + kPathChars + kDetailChars + kResultChars + kProcessChars + kThreatChars);

// The record's first two bytes are its size; a size of 0 marks the rest of the ring up to its end
// as unused (the next record starts at the ring's start).
constexpr uint16_t kRecordWrapMarker = 0;

// Writes the record of `row` at `out` when it takes at most `room` bytes, and returns its size (an
// even number of at least 4), or 0 when it does not fit, in which case nothing changes.
size_t EncodeRowRecord(RowRecordCoder* coder, const EventRow* row, uint8_t* out, size_t room);

// Reads the record at `in` (at most `available` bytes) into coder->last and returns its size, or 0
// when the bytes are not a whole record (a wrap marker included); coder->last may then be partly
// changed.
size_t DecodeRowRecord(RowRecordCoder* coder, const uint8_t* in, size_t available);

} // namespace olv
