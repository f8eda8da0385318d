// Copying rows and cells to the clipboard as tab-separated text, one line per row after a header
// line with the CSV's columns.
//
// The clipboard gets what the window shows, in a form that cannot break the lines or the columns
// of whatever it is pasted into:
//   - every hidden format character is written as its mark ("[U+202E]"), as the list shows it;
//   - every control character (U+0000 to U+001F, U+007F to U+009F: tab, CR and LF among them) is
//     written as its mark too ("[U+0009]"), so a text can hold no column or line break;
//   - a text beginning with "=", "+", "-" or "@" gets a leading "'", so that a spreadsheet takes
//     it as text and not as a formula that a recorded program chose;
//   - an unpaired surrogate becomes U+FFFD.
// Files (CSV, JSON, sessions) keep the exact texts; the clipboard is for reading and pasting.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/event_row.h"

namespace olv {

struct Recording; // record/recording.h

// "Time\tSeverity\tPID\tProcess\tCategory\tOperation\tPath\tDetail\tResult\tThreat\r\n".
extern const char16_t kCopyHeaderLine[];
// The longest line one row can give (every character of every text a mark), with CR LF.
constexpr size_t kCopyLineChars = 24576;

// Appends one field written by the rules above to out (bounded like AppendBounded; a mark that
// does not fit whole is left out with the rest of the field). Returns the length afterwards.
size_t AppendCopyField(char16_t* out, size_t capacity, const char16_t* text, size_t textChars);
// One row's line, CR LF included, into out (kCopyLineChars is always enough). Returns its length.
size_t BuildCopyLine(const EventRow& row, char16_t* out, size_t capacity);

// The header line and the lines of the shown items listed (out-of-range items are skipped), in a
// block from AllocZeroed that the caller frees with FreeBlock; *length its characters. Null
// when memory was refused.
char16_t* BuildCopyText(Recording* app, const int32_t* items, int32_t count, size_t* length);

// "Copy Cell": the text of column (0 to 6) of shown item as the list shows it, written by the
// rules above, in a block of kDisplayBufferChars characters the caller frees. Null when there is
// no such item or memory was refused.
char16_t* BuildCellCopyText(Recording* app, int item, int column);

} // namespace olv
