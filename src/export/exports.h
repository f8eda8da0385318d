// The file commands: CSV and JSON export of the shown rows, session save and open. Each command
// is split into its dialog part and a part that works on a given path, which the replay tool and
// the tests call directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

struct AppState; // app/app_state.h

// Menu commands: dialog, then the path part.
void ExportCsv(AppState* app);
void ExportJson(AppState* app);
void ExportJsonLines(AppState* app);
void SaveSession(AppState* app);
void OpenSession(AppState* app);

// Path parts: every message of the command is shown through the UI port; true when the file was
// written (or, for opening, when the session replaced the recording).
bool ExportCsvToPath(AppState* app, const char16_t* path);
bool ExportJsonToPath(AppState* app, const char16_t* path);
// JSON Lines (UTF-8 without a byte order mark, LF): a "recording" line with the metadata, one
// "event" line per shown row with its Sigma categories, field view and matches, an "end" line.
bool ExportJsonLinesToPath(AppState* app, const char16_t* path);
bool SaveSessionToPath(AppState* app, const char16_t* path);
// The compact session file (typed records and a text table, see session_compact.h): a fraction
// of the older form's size, read by this version and later ones only.
bool SaveCompactSessionToPath(AppState* app, const char16_t* path);
bool OpenSessionFromPath(AppState* app, const char16_t* path);

// Opening a session of more than one piece (64 MiB of rows) shows "Reading session: 1,234,567 of
// 1,600,000 rows" in a progress window between pieces and can be cancelled there; a cancelled
// open, like a failed one, leaves what was open as it was. This is that line.
void FormatSessionProgress(char16_t* out, size_t capacity, uint32_t done, uint32_t total);
// Test hook: pieces of this many rows (at most 64 MiB of them); 0 restores the default.
void SetSessionReadPieceRows(uint32_t rows);

} // namespace olv
