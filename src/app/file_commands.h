// The window's file commands: the dialogs before the file operations of export/exports.h, the
// question before rows are discarded, and the outcomes in message boxes owned by the main window.
#pragma once

#include <cstddef>
#include <cstdint>

#include "report/discard.h"

namespace olv {

struct Recording; // record/recording.h

// Menu commands: the dialog, then the path part. Saving offers the compact form as the second
// type; opening is refused while a recording runs and asks before it discards unsaved rows.
void ExportCsv(Recording* app);
void ExportJson(Recording* app);
void ExportJsonLines(Recording* app);
void SaveSession(Recording* app);
void OpenSession(Recording* app);

// Path parts: the operation, its outcome shown in a message box; true when the file was written
// (or, for opening, when the session replaced the recording; a read of more than one piece shows
// a progress window with Cancel).
bool ExportCsvToPath(Recording* app, const char16_t* path);
bool ExportJsonToPath(Recording* app, const char16_t* path);
bool ExportJsonLinesToPath(Recording* app, const char16_t* path);
bool SaveSessionToPath(Recording* app, const char16_t* path);
bool SaveCompactSessionToPath(Recording* app, const char16_t* path);
bool OpenSessionFromPath(Recording* app, const char16_t* path);

// Asks the report's question (report/discard.h) in a message box, Yes/No with No the default.
// True when the action may go ahead: there was nothing to ask, or the user answered Yes.
bool ConfirmDiscardingRows(Recording* app, DiscardReason reason);

} // namespace olv
