// Reading and changing the rows a Recording holds. Every reader of the stored rows goes through
// these functions, never through the store's own layout, so the store can keep its rows in
// whatever form is smallest: a reader asks for the member it needs (a text as a TextView, a
// number as a number) or for the whole EventRow when it formats one (a cell, an export line, a
// file of the older versions). Window thread, under rowsLock; an index is below rowCount.
// A TextView stays valid until the stored rows next change (an append, a Set, Clear or Open).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/systime.h"
#include "record/event_row.h"
#include "record/row_facts.h"
#include "record/row_kind.h"
#include "record/text_store.h"

namespace olv {

struct Recording;  // record/recording.h
struct CompactRow; // record/compact_row.h

// The six texts of a row, in the order of EventRow's fields.
enum RowText : uint32_t { kTextOperation, kTextPath, kTextDetail, kTextResult, kTextProcess,
                          kTextThreat, kRowTextCount };

// The whole row, every text followed by zeros to the end of its field.
void ReadStoredRow(const Recording* app, int32_t index, EventRow* out);
// The whole row from its texts as StoredTextViews gave them, each text followed by one zero where
// it is shorter than its field and the units after left as they were: for a scratch row reused
// for every line a writer formats, reading each text only up to its length or its terminator.
void ReadStoredRowTerminated(const Recording* app, int32_t index, const TextView* views,
                             EventRow* out);
// The units of text each field of a remade row holds (UnpackRowMeasured's order); all zero for a
// zeroed row.
struct StoredRowUse {
    uint16_t units[kRowTextCount];
};
// Rows first.. first + n - 1 whole into out, as ReadStoredRow makes each, where out[i] holds a
// whole row made before (or zeros) whose texts' lengths are use[i]: only the units an earlier
// text held past the new one are cleared, not the row's 3,256 bytes, and each row's texts are
// asked for from memory a few rows ahead. use gets the new lengths. For a block of rows
// written again and again, as a version 2 save does.
void RemakeStoredRows(const Recording* app, int32_t first, uint32_t n, EventRow* out,
                      StoredRowUse* use);

RowKind StoredKind(const Recording* app, int32_t index);
uint32_t StoredCategory(const Recording* app, int32_t index);
uint32_t StoredPid(const Recording* app, int32_t index);
uint32_t StoredThreadId(const Recording* app, int32_t index);
uint32_t StoredParentPid(const Recording* app, int32_t index);
uint32_t StoredSeverity(const Recording* app, int32_t index);
uint64_t StoredKeyObject(const Recording* app, int32_t index);
uint64_t StoredTimestamp(const Recording* app, int32_t index);
SystemTime StoredTime(const Recording* app, int32_t index);

// A text of the row, up to its terminator (at most its field's capacity).
TextView StoredText(const Recording* app, int32_t index, RowText which);
// The six texts of the row as StoredText gives them, in RowText order: what a writer measures
// every row by, the row's context read once.
void StoredTextViews(const Recording* app, int32_t index, TextView* views);
// The row's path whole: for a script, module output or content row, the whole text, of which
// the path field (StoredText, a cell, CSV) holds the start. Any other row's path as StoredText.
TextView StoredWholePath(const Recording* app, int32_t index);
// Whether the row's whole path is longer than its path field holds.
inline bool StoredPathIsCut(const Recording* app, int32_t index) {
    return StoredWholePath(app, index).length > kPathChars - 1;
}
// The same text copied into out and terminated, cut to capacity - 1 units; returns the units
// copied. Nothing (0) when capacity is 0.
size_t CopyStoredText(const Recording* app, int32_t index, RowText which, char16_t* out,
                      size_t capacity);
inline bool StoredTextEmpty(const Recording* app, int32_t index, RowText which) {
    return StoredText(app, index, which).length == 0;
}

// Hints that row index will be read soon: its numbers, or one of its texts. Nothing changes. A
// scan that reads many rows out of order (a sort) asks some rows ahead of each read.
void PrefetchStoredRow(const Recording* app, int32_t index);
void PrefetchStoredText(const Recording* app, int32_t index, RowText which);

// The field capacity of a text, in units, its terminator included (kPathChars for the path...).
size_t RowTextCapacity(RowText which);

// The typed record of a row and the store its texts are in, for a reader that works on the
// record itself (the Sigma field view). Valid as long as a TextView is.
const CompactRow& StoredRecord(const Recording* app, int32_t index);
const TextStore* StoredTexts(const Recording* app);

// Changing a stored row. False, nothing changed, when the store cannot keep the new text
// (memory refused); texts are cut to their field's capacity as EventRow cuts them.
bool SetStoredThreat(Recording* app, int32_t index, uint32_t severity, const char16_t* threat);
bool SetStoredPath(Recording* app, int32_t index, const char16_t* path);

// The facts of a row (record/row_facts.h): nothing known when it has none.
RowFacts StoredFacts(const Recording* app, int32_t index);
// A fact's text, cut to kFactChars - 1 units; *known says whether the row knows it (the text is
// then empty when not).
TextView StoredFactText(const Recording* app, int32_t index, RowFact fact, bool* known);

// Facts that arrived for a row: each fact of the mask `known` (RowFact bits) takes text[fact]
// (terminated; null is the empty text), cut to kFactChars - 1 units; the row's other facts stay
// as they were. Facts the row's kind does not hold are left out. False, nothing changed, when
// the store cannot keep the texts or the record (memory refused). Used by the window thread when
// the facts of a row arrive.
struct RowFactTexts {
    uint32_t known;
    const char16_t* text[kRowFactCount];
};
bool SetStoredFacts(Recording* app, int32_t index, const RowFactTexts& facts);

} // namespace olv
