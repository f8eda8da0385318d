// The file commands: CSV and JSON export of the shown rows, session save and open. Each command
// is split into its dialog part and a part that works on a given path, which the replay tool and
// the tests call directly.
#pragma once

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
bool OpenSessionFromPath(AppState* app, const char16_t* path);

} // namespace olv
