// The details window of one row: every field whole, the process with its chain of parents, and
// the rules the row matched, as one selectable text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

struct Recording; // record/recording.h

// Enough for every field of the longest row revealed (each character as a mark at worst), the
// parents and the rules.
constexpr size_t kRowDetailsChars = 32768;
// Parents named at most; a longer chain ends with "...".
constexpr int kDetailsParentDepth = 32;

// One line per field ("Time:", "Severity:", "Category:", "Operation:", "Path:", "Detail:",
// "Result:", "Process:", "Thread:"), then "Started by:" with the chain of parents (each parent is
// the instance of its pid that was running when the child started, from the start rows: a pid
// used again is not mistaken for the parent), the command line of the process when its start
// row has one, and "Matched rules:" with the threat text or "none". Recorded texts are revealed
// (hidden format characters as marks) and kept on their own lines. False (out empty) when the
// item is not a shown item. Takes rowsLock.
// A row whose path field holds the start of a longer text (a script block, module output or
// scanned content) shows that whole text after "Path:", under "Text (N characters):", revealed
// and on its own lines (a line end of LF alone shown as CR LF).
bool BuildRowDetails(Recording* app, int32_t item, char16_t* out, size_t capacity);
// The room BuildRowDetails needs for the item: kRowDetailsChars, and its whole text with every
// character as a mark at worst. Takes rowsLock.
size_t RowDetailsChars(Recording* app, int32_t item);
// "Facts:" and a line per fact of the stored row's kind (its text revealed, or "not known");
// nothing for a row without facts. Caller holds rowsLock.
void AppendRowFacts(char16_t* out, size_t capacity, const Recording* app, int32_t index);
// The details window's title: "Row Details - <operation>" of the shown item.
void RowDetailsTitle(Recording* app, int32_t item, char16_t* out, size_t capacity);

// The title of a view window: "<what> - recording", or "<what> - session <file>" for rows opened
// from a session file.
void ViewWindowTitle(const Recording* app, const char16_t* what, char16_t* out, size_t capacity);

} // namespace olv
