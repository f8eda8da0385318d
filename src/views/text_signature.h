// Text signatures: a 512-bit summary of a row's searched text, kept beside the rows so that the
// text filter can pass over rows that cannot contain the filter text without reading them.
//
// Every pair of neighbouring characters of the operation, path, detail and result fields (after
// folding A to Z, up to each field's terminator) sets one bit chosen by a hash of the pair. Text
// that occurs in one of the fields has all its pairs there, so a row whose signature lacks a bit
// of the filter's pairs cannot match it; a row whose signature has them all may or may not, and
// is searched. A filter of one character has no pair and is searched in every row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/event_row.h"
#include "record/text_store.h"

namespace olv {

struct Recording; // record/recording.h

struct RowSignature {
    uint64_t bits[8]; // all zero: not signed yet
};

// Signs the row's four searched fields. The result is never all zero.
void SignRowText(const EventRow* row, RowSignature* out);
// The same signature for stored row index, read from the stored texts. Caller holds rowsLock.
void SignStoredRow(const Recording* app, int32_t index, RowSignature* out);
// The same from the four texts as views (operation, path, detail, result), narrow or wide.
void SignTextViews(const TextView* texts, RowSignature* out);

// The bits a row must have to hold the needle (already folded, n characters). False when the
// needle is too short to have a pair: then every row must be searched.
bool SignNeedle(const char16_t* foldedNeedle, size_t n, RowSignature* out);

inline bool IsSigned(const RowSignature* s) {
    return (s->bits[0] & 1) != 0;
}

// Whether a row with signature s may hold the needle of signature needle (s signed).
inline bool MayHoldNeedle(const RowSignature* s, const RowSignature* needle) {
    uint64_t missing = 0;
    for (int w = 0; w < 8; ++w)
        missing |= needle->bits[w] & ~s->bits[w];
    return missing == 0;
}

} // namespace olv
