// CompactRow: a row as a small typed record. Its kind says what it is (never a display text),
// its fixed members are kept as numbers, and its texts are ids into a TextStore, where each
// distinct text lies once. The 3,256-byte EventRow is made from it on demand (UnpackRow) for a
// list cell, an export line, a session file of the older versions or a test.
//
// Layout (48 bytes, no padding; the compact session file holds these records as they are):
//   time       the local SystemTime packed into 64 bits (see PackSystemTime); a time whose
//              members do not fit (only a damaged file holds one) has kTimeInStore set and the
//              id of its eight raw units in the store
//   timestamp  FILETIME ticks, UTC
//   pid, threadId
//   path, detail, result   text ids
//   context    id of the row's context record in the store: the members that repeat across many
//              rows of a process (parent pid, reserved, key object, the process and threat texts,
//              the operation text of a row of kind Other), kept once for all rows that share them
//   facts      id of the row's facts record in the store (record/row_facts.h: version texts,
//              digests, signature, token, value data, laid out by kind), 0 while none is known;
//              packing a row leaves it 0, the facts arrive later (SetStoredFacts)
//   kind, category, severity
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/event_row.h"
#include "record/row_kind.h"
#include "record/text_store.h"

namespace olv {

struct CompactRow {
    uint64_t time;
    uint64_t timestamp;
    uint32_t pid;
    uint32_t threadId;
    uint32_t path;
    uint32_t detail;
    uint32_t result;
    uint32_t context;
    uint32_t facts;
    uint16_t kind; // RowKind
    uint8_t category;
    uint8_t severity;
};
static_assert(sizeof(CompactRow) == 48);
static_assert(offsetof(CompactRow, timestamp) == 8);
static_assert(offsetof(CompactRow, pid) == 16);
static_assert(offsetof(CompactRow, threadId) == 20);
static_assert(offsetof(CompactRow, path) == 24);
static_assert(offsetof(CompactRow, detail) == 28);
static_assert(offsetof(CompactRow, result) == 32);
static_assert(offsetof(CompactRow, context) == 36);
static_assert(offsetof(CompactRow, facts) == 40);
static_assert(offsetof(CompactRow, kind) == 44);
static_assert(offsetof(CompactRow, category) == 46);
static_assert(offsetof(CompactRow, severity) == 47);

// The context record as it lies in the store: kContextUnits units, members little-endian.
struct RowContext {
    uint32_t parentPid;
    uint32_t reserved;
    uint64_t keyObject;
    uint32_t process;   // text id
    uint32_t threat;    // text id
    uint32_t operation; // text id; 0 unless the kind is Other
};
constexpr size_t kContextUnits = 14;

constexpr uint64_t kTimeInStore = uint64_t{1} << 63;
constexpr size_t kTimeUnits = 8;

// A SystemTime whose members fit (year below 32768, month and day of the week below 16 and 8,
// day and hour below 32, minute and second below 64, milliseconds below 1024) as 54 bits; false
// when one does not fit.
bool PackSystemTime(const SystemTime& t, uint64_t* packed);
SystemTime UnpackSystemTime(uint64_t packed);

// Makes the compact record of row, storing its new texts. False when a text or the context does
// not fit the store (full, or memory refused) or the row's category or severity is above 255 (a
// row in the store never is: rows from files are repaired to known values); *out is then
// unchanged, though texts stored before the refusal stay (they are shared and harmless).
// A cache (zeroed before the first row, kept beside one store) makes packing a run of rows
// cheaper: rows of a recording come in short cycles (a process's open, read and close; a few
// processes in turn), so each field remembers the texts of its last few rows by hash, and a text
// found there takes its id without a lookup in the store's index; the same for the contexts.
constexpr uint32_t kPackCacheWays = 8;
struct PackCacheField {
    uint64_t hashes[kPackCacheWays];
    uint32_t ids[kPackCacheWays];
    uint32_t next;
};
struct PackCache {
    PackCacheField fields[6]; // path, detail, result, process, threat, operation
    RowContext contexts[kPackCacheWays];
    uint32_t contextIds[kPackCacheWays];
    uint32_t nextContext;
};
bool PackRow(TextStore* store, const EventRow* row, CompactRow* out, PackCache* cache = nullptr);

// Packing a run of rows that each come as changes to the row before (as the ring's records do):
// a member the row shares with the row before takes what packing made of it for that row, so an
// unchanged text is neither measured, hashed nor looked up, and the kind, time and context follow
// the same way. RowChanges says what differs (kChangedAll when nothing is known) and how many
// units each text has up to its end (the field's first zero, or the whole field).
constexpr uint32_t kChangedCategory = 1u << 0; // the kind follows the category and operation
constexpr uint32_t kChangedTime = 1u << 1;
// Text t: 0 operation, 1 path, 2 detail, 3 result, 4 process, 5 threat.
constexpr uint32_t ChangedText(size_t t) {
    return 1u << (2 + t);
}
constexpr uint32_t kChangedAll = (1u << 8) - 1;
struct RowChanges {
    uint32_t changed;
    uint16_t units[6];
    // The path's TextHash when made ahead (pathHashUnits is then its units, else 0); used only
    // when those are the path's units.
    uint64_t pathHash;
    uint16_t pathHashUnits;
};
// The row before as packed, and the field cache. Zeroed to start a run; a run is good for one
// store, with every row of it packed in turn: a refused row (PackChangedRow false) makes the next
// row be packed whole.
struct PackRun {
    PackCache cache;
    CompactRow last;
    RowContext context;
    uint8_t hasLast;
};
// PackRow for a row of a run: the same record, the same texts stored, the same refusals.
bool PackChangedRow(TextStore* store, PackRun* run, const EventRow* row, const RowChanges& changes,
                    CompactRow* out);
// Packs n rows that lie one after the other (rows read from a file) as rows of a run: each text is
// measured and compared with the same text of the row before while both rows are in the cache,
// so a text a row shares with the row before is neither hashed nor looked up, and the index slots
// of the paths of several rows are asked for before the first of them is packed. The records and
// texts are those of PackRow of each row in turn. The rows packed: n, or the row the store
// refused (the run then packs its next row whole).
uint32_t PackRowsInRun(TextStore* store, PackRun* run, const EventRow* rows, uint32_t n,
                       CompactRow* out);
// PackRowsInRun in two halves, so that the measuring (which reads only the rows) may be done on
// another thread than the packing: MeasureRowsInRun says what each of n rows changes from the
// row before (before: the row before rows[0], or null for a row packed whole) and hashes its new
// paths; PackMeasuredRows packs them with those changes, as PackRowsInRun would.
void MeasureRowsInRun(const EventRow* before, const EventRow* rows, uint32_t n,
                      RowChanges* changes);
uint32_t PackMeasuredRows(TextStore* store, PackRun* run, const EventRow* rows, uint32_t n,
                          const RowChanges* changes, CompactRow* out);
// The id of a context record, stored first when it is new. False when the store refuses it.
bool InternContext(TextStore* store, const RowContext& context, uint32_t* id);
// The most a row's packing adds to a store: its texts, its context and its time record.
constexpr uint32_t kRowMostTexts = 8;
constexpr uint64_t kRowMostTextBytes =
    kRowMostTexts * 2 + 2 * (kOperationChars + kPathChars + kDetailChars + kResultChars +
                             kProcessChars + kThreatChars + kContextUnits + kTimeUnits);
// The EventRow of a compact record: every member, each text followed by zeros to the end of its
// field. A row packed from an EventRow whose fields held zeros after each text comes back byte
// for byte. Ids not in the store read as empty texts.
void UnpackRow(const TextStore* store, const CompactRow* row, EventRow* out);
// The same members, with each text followed by one zero only where it is shorter than its field;
// the units after that zero keep what they held. For a scratch row a writer reuses for every
// line it formats by the texts' lengths: clearing 3 KB a row would cost more than the texts.
void UnpackRowTerminated(const TextStore* store, const CompactRow* row, EventRow* out);
// The text fields of an EventRow: operation, path, detail, result, process, threat.
constexpr size_t kEventRowTexts = 6;
// UnpackRowTerminated that also gives the units of text each field now holds (units, in the
// fields' order; a terminator not counted), for a row remade in place over an earlier one.
void UnpackRowMeasured(const TextStore* store, const CompactRow* row, EventRow* out,
                       uint16_t* units);
// The same with the row's six texts already looked up: views in the order of EventRow's fields
// (operation, path, detail, result, process, threat), each cut to its field.
void UnpackRowTerminatedFromViews(const TextStore* store, const CompactRow* row,
                                  const TextView* views, EventRow* out);

// The context record of a row (zeros when its id does not name one).
RowContext ContextOf(const TextStore* store, const CompactRow& row);
RowKind KindOf(const CompactRow& row);
// The row's local time, packed in the record or kept in the store (zeros when that is damaged).
SystemTime TimeOfRow(const TextStore* store, const CompactRow& row);
// The operation text: the kind's own, or the kept text of a row of kind Other.
TextView OperationOf(const TextStore* store, const CompactRow& row);

// Typed facts by kind. Each returns false (and leaves its outputs alone) for a row of another
// kind.
// A started process (StartedProcess, StartedChildProcess): the command line is the row's path;
// the image path is the program part that leads it (without its quotes), as the units
// [*imageStart, *imageStart + *imageLength) of that text.
bool StartedProcessFacts(const TextStore* store, const CompactRow& row, uint32_t* commandLine,
                         uint32_t* imageStart, uint32_t* imageLength);
// A registry row: the key is the row's path; a value's name follows "Value: " in the detail (an
// empty range for rows on keys). The value name is [*valueStart, *valueStart + *valueLength) of
// the detail text.
bool RegistryFacts(const TextStore* store, const CompactRow& row, uint32_t* key,
                   uint32_t* valueStart, uint32_t* valueLength);
// A network row (TCP or UDP): the endpoints "source -> destination" of its path, as unit ranges of
// the path text.
bool NetworkEndpoints(const TextStore* store, const CompactRow& row, uint32_t* sourceLength,
                      uint32_t* destinationStart, uint32_t* destinationLength);

} // namespace olv
