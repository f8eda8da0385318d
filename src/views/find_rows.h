// Find: the next shown row whose texts contain a text, searching the same texts the filter
// searches (operation, path, detail, result), forwards or backwards from the focused row, once
// round the list.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

struct Recording; // record/recording.h

// The longest text searched for, terminator included (the find window takes one less).
constexpr size_t kFindTextChars = 256;

enum FindOutcome : int {
    kFindFound,    // a row after the start in the direction searched
    kFindWrapped,  // found only after passing the end (or the start) of the list
    kFindNotFound, // no shown row holds the text
    kFindNoText,   // nothing to search for
};

// The shown item whose row holds text, searching from the item after `from` (before it when
// backwards) round the list once, `from` itself last; -1 when none. from = -1 starts at the first
// item (the last when backwards). Letters A to Z match either case unless matchCase is set; every
// other character must be equal, as in the filter. *wrapped tells whether the search passed the
// end (or the start).
int FindShownRow(Recording* app, const char16_t* text, bool matchCase, bool forward, int from,
                 bool* wrapped);

// Find Next (reverse: Find Previous): searches for text in the find window's direction (upward:
// towards the first row; the other one when reverse) from the list's focused item (-1: none), and
// marks the row found to be selected alone, focused and shown (ViewChanges). message receives
// what the find window says: empty when a row was found plainly, else a sentence (passed the
// end, not found, nothing to find).
FindOutcome FindNextRow(Recording* app, const char16_t* text, bool matchCase, bool upward,
                        bool reverse, int focusedItem, char16_t* message, size_t capacity);

} // namespace olv
