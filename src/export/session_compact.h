// The compact session file: the head of a version-4 file (header, RecordingInfo, ClearedRows and
// RecordingOrigin blocks) under its own version number, then a text table and the compact
// records of the rows:
//
//   SessionHeader        "OLVS", kSessionVersionCompact, recordSize sizeof(CompactRow), rows
//   RecordingInfo, ClearedRows block, RecordingOrigin block (as in version 4)
//   table head           texts (ids in use, the empty text 0 counted), 0, the table's bytes
//   each text 1 .. texts-1: a 16-bit head (units, top bit set when two bytes a unit), its units
//                        (the text store's pool as it lies in memory); a text longer than
//                        32,767 units (a whole script text) has a head of 0 units followed by
//                        its units as 32 bits
//   rows                 rows * 48 bytes, CompactRow as it lies in memory (little-endian)
//
// The version field lies where every earlier build reads it, so an earlier build refuses the file
// as one of a newer version. Files of version 7 (export/session_counts.h) carry the loss counts
// before the table. The path of a script block, module output or scanned content row may be its
// whole text, of any length the table holds; every other text fits its field. Reading checks everything before any of it is used: the table's
// size against its texts, each id a row names against the table, each text used as a text free of
// zero units and within its field's limit, the context and time records' sizes, each facts id
// naming a facts record of the row kind's layout whose texts fit a fact, known kinds,
// categories and severities, and that the file ends with the last row. A text the table holds
// twice is taken as it is: both ids name the same text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "export/safe_file.h"
#include "platform/files.h"
#include "record/compact_row.h"
#include "record/recording_info.h"

namespace olv {

constexpr uint32_t kSessionVersionCompact = 5;
constexpr uint32_t kCompactRecordSize = sizeof(CompactRow);

struct CompactTableHead {
    uint32_t texts;
    uint32_t reserved;
    uint64_t bytes; // the bytes of the texts that follow the table head
};
static_assert(sizeof(CompactTableHead) == 16);

// The table and the rows (the head is written by the caller). Nothing is written when the store
// holds a text that the table cannot say (none can: texts are at most kTextStoreLongestText
// units); the writer's ok flag tells the outcome.
void WriteCompactBody(SafeFileWriter* writer, const TextStore* store, const CompactRow* rows,
                      uint32_t count);
// Bytes the body of these rows takes in the file.
uint64_t CompactBodyBytes(const TextStore* store, uint32_t count);

enum CompactReadOutcome { kCompactRead, kCompactDamaged, kCompactReadFailed };

// Reads the body of a compact file from file's current position: bodyBytes bytes up to the end
// of the file, holding count rows. On success *store holds the table (ids as in the file) and
// *rows (from AllocZeroed, count records; null for 0) the checked rows. Otherwise nothing is
// kept and, for damage, why holds what is wrong ("row 12 names text 99, past the table's 40
// texts").
CompactReadOutcome ReadCompactBody(FileHandle file, uint64_t bodyBytes, uint32_t count,
                                   TextStore* store, CompactRow** rows, char16_t* why,
                                   size_t whyChars);
// How ReadCompactBody reads: the table in pieces from tableBytes, each as large as the table read
// so far up to tableMostBytes, the rows in pieces of rows, each piece taken in (indexed and
// checked) as it arrives; on a thread of its own beside the reading when the body holds at least
// takerThreadFrom bytes, else in turn with it. 0 keeps the open's own size (tableMostBytes 0 with
// tableBytes set: pieces of tableBytes). Tests set them low, so that texts and faults fall across
// the seams of pieces and both ways are taken.
struct CompactReadPieces {
    uint32_t tableBytes;
    uint32_t rows;
    uint64_t takerThreadFrom;
    uint32_t tableMostBytes;
};
CompactReadOutcome ReadCompactBodyInPieces(FileHandle file, uint64_t bodyBytes, uint32_t count,
                                           TextStore* store, CompactRow** rows, char16_t* why,
                                           size_t whyChars, CompactReadPieces pieces);

} // namespace olv
