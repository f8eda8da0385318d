// The file commands: CSV and JSON export of the shown rows, session save and open. Each command
// is split into its dialog part (the window's), an operation on a given path that returns its
// outcome and shows nothing (what the console program calls), and the window's path part, which
// runs the operation and shows the outcome in a message box.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/outcome.h"

namespace olv {

struct Recording; // record/recording.h

// Menu commands: dialog, then the path part.
void ExportCsv(Recording* app);
void ExportJson(Recording* app);
void ExportJsonLines(Recording* app);
void SaveSession(Recording* app);
void OpenSession(Recording* app);

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

// Path parts: the operation, its outcome shown through the UI port; true when the file was
// written (or, for opening, when the session replaced the recording).
bool ExportCsvToPath(Recording* app, const char16_t* path);
bool ExportJsonToPath(Recording* app, const char16_t* path);
// JSON Lines (UTF-8 without a byte order mark, LF): a "recording" line with the metadata, one
// "event" line per shown row with its Sigma categories, field view and matches, an "end" line.
bool ExportJsonLinesToPath(Recording* app, const char16_t* path);
bool SaveSessionToPath(Recording* app, const char16_t* path);
bool SaveCompactSessionToPath(Recording* app, const char16_t* path);
bool OpenSessionFromPath(Recording* app, const char16_t* path);

// Opening a session of more than one piece (64 MiB of rows) reports "Reading session: 1,234,567 of
// 1,600,000 rows" between pieces (the window: in a progress window) and can be cancelled there; a
// cancelled open, like a failed one, leaves what was open as it was. This is that line.
void FormatSessionProgress(char16_t* out, size_t capacity, uint32_t done, uint32_t total);
// Test hook: pieces of this many rows (at most 64 MiB of them); 0 restores the default.
void SetSessionReadPieceRows(uint32_t rows);

} // namespace olv
