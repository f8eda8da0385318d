// The file operations: CSV and JSON export of the shown rows, session save and open, each on a
// given path, returning its outcome and showing nothing. The window's dialogs and message boxes
// around them are app/file_commands.h; the console program prints the outcomes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/outcome.h"

namespace olv {

struct Recording; // record/recording.h

// Operations: kOk when the file was written (its message says how many rows, information icon)
// or, for opening, when the session replaced the recording (its message, when there is one, is
// the warning that the record is not complete). A refusal changes nothing and names the file.
Outcome ExportCsvFile(Recording* app, const char16_t* path);
Outcome ExportJsonFile(Recording* app, const char16_t* path);
Outcome ExportJsonLinesFile(Recording* app, const char16_t* path);
Outcome SaveSessionFile(Recording* app, const char16_t* path);
// The compact session file (typed records and a text table, see session_compact.h): a fraction
// of the older form's size, read by this version and later ones only.
Outcome SaveCompactSessionFile(Recording* app, const char16_t* path);
// Refused (kBusy) while a recording runs or another read is under way. A read of more than one
// piece reports to progress (null: nothing shown, never cancelled); a cancel is kCancelled.
Outcome OpenSessionFile(Recording* app, const char16_t* path, const Progress* progress = nullptr);

// Opening a session of more than one piece (64 MiB of rows) reports "Reading session: 1,234,567 of
// 1,600,000 rows" between pieces (the window: in a progress window) and can be cancelled there; a
// cancelled open, like a failed one, leaves what was open as it was. This is that line.
void FormatSessionProgress(char16_t* out, size_t capacity, uint32_t done, uint32_t total);
// Test hook: pieces of this many rows (at most 64 MiB of them); 0 restores the default.
void SetSessionReadPieceRows(uint32_t rows);

} // namespace olv
