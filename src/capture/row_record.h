// Row records: the compact form in which a row crosses the EventQueue ring. A record holds only
// the members that differ from the previous record's row, and each text without the unused tail
// of its fixed array, one byte a unit when every unit of it fits a byte. Both sides of the ring
// keep the previous row (a RowRecordCoder each), so the writer's coder and the reader's coder
// must see the same records in the same order: a record that was not written changes nothing.
// The format is described in docs/trace-capture.md.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/compact_row.h"
#include "record/event_row.h"

namespace olv {

constexpr size_t kRecordTexts = 6; // operation, path, detail, result, process, threat

struct RowRecordCoder {
    // The previous row, with zeros after each text (so a decoded row is the row it was made from,
    // with zeros after each text); the reader's decoded row.
    EventRow last;
    uint16_t units[kRecordTexts]; // units of each text of `last`, without its terminator
    uint8_t hasLast;              // 0: the next record holds every member
    // What the last record written or read held: its member mask (kRecordMembersAll for a record
    // holding every member), and a bit for each text (in record order) that holds a zero unit
    // before its end, so that the text of `last` ends before units[] says (only a damaged record
    // holds one). The reader packs the members the record left out by reusing what it made of
    // them for the row before.
    uint16_t members;
    uint8_t zeroInText;
};

// Member bits of a record, for RowRecordCoder::members.
constexpr uint16_t kRecordMemberCategory = 1u << 0;
constexpr uint16_t kRecordMemberDate = 1u << 1;  // year, month, day of the week, day
constexpr uint16_t kRecordMemberClock = 1u << 2; // hour, minute, second, milliseconds
constexpr uint16_t kRecordMemberPid = 1u << 3;
constexpr uint16_t kRecordMemberThreadId = 1u << 4;
constexpr uint16_t kRecordMemberParentPid = 1u << 5;
constexpr uint16_t kRecordMemberSeverity = 1u << 6;
constexpr uint16_t kRecordMemberReserved = 1u << 7;
constexpr uint16_t kRecordMemberKeyObject = 1u << 8;
constexpr uint16_t kRecordMemberTimestamp = 1u << 9;
// Text t (0 operation, 1 path, 2 detail, 3 result, 4 process, 5 threat).
constexpr uint16_t RecordMemberText(size_t t) {
    return static_cast<uint16_t>(1u << (10 + t));
}
constexpr uint16_t kRecordMembersAll = 0xFFFF;

// Largest record: every member present and every text UTF-16 without a terminator.
constexpr size_t kLargestRowRecord =
    4 + 4 + 16 + 5 * 4 + 2 * 8 + 2 * kRecordTexts +
    2 * (kOperationChars + kPathChars + kDetailChars + kResultChars + kProcessChars + kThreatChars);

// The record's first two bytes are its size; a size of 0 marks the rest of the ring up to its end
// as unused (the next record starts at the ring's start).
constexpr uint16_t kRecordWrapMarker = 0;
// A row's whole text (a script text longer than its path field) travels as a record of its own
// just before the row's record: this head (no row record is this short), 16 bits of zero, the
// units as 32 bits, then the units, two bytes each, and a zero unit when their number is odd
// (records start at even offsets... and stay 4-byte sized). It changes neither coder.
constexpr uint16_t kRecordWholeText = 2;
constexpr size_t kWholeTextRecordHead = 8;
inline size_t WholeTextRecordBytes(uint32_t units) {
    return kWholeTextRecordHead + size_t{units} * 2;
}

// What the last record left out of the coder's row, for PackChangedRow: which members it changed
// and the units of each text.
void RowChangesOf(const RowRecordCoder* coder, RowChanges* changes);

// The TextHash of the path the record at `in` (at most `available` bytes) holds, made from the
// record's bytes, and its units. False when the record holds no path, a path of two bytes a unit
// (not hashed here) or is not a whole record. Lets the reader ask for the path's index slot a
// row ahead.
bool RecordPathHash(const uint8_t* in, size_t available, uint64_t* hash, uint16_t* units);

// Writes the record of `row` at `out` when it takes at most `room` bytes, and returns its size (an
// even number of at least 4), or 0 when it does not fit, in which case nothing changes.
size_t EncodeRowRecord(RowRecordCoder* coder, const EventRow* row, uint8_t* out, size_t room);

// Reads the record at `in` (at most `available` bytes) into coder->last and returns its size, or 0
// when the bytes are not a whole record (a wrap marker included); coder->last may then be partly
// changed.
size_t DecodeRowRecord(RowRecordCoder* coder, const uint8_t* in, size_t available);

} // namespace olv
