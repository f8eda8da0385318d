// The end every file command shares: commit under the row store's lock, then tell the user.
#pragma once

#include <cstdint>

#include "app/app_state.h"
#include "export/safe_file.h"

namespace olv {

// Commits the writer, leaves rowsLock (held by the caller since before the file was opened) and
// shows successFormat filled with count (information icon) or failureText (error icon), caption
// "Olvetta". Returns whether the target now holds the new file.
bool CommitAndReport(AppState* app, SafeFileWriter* writer, int32_t count,
                     const char16_t* successFormat, const char16_t* failureText);
// The save dialog of a file command (owner the main window, OFN_OVERWRITEPROMPT, a file name of
// at most 259 characters starting empty); false when cancelled.
bool AskSavePath(AppState* app, const char16_t* filter, const char16_t* defaultExtension,
                 char16_t (&path)[kSafeTargetPathChars]);
// "Failed to open file." with an error icon.
void ReportFileNotOpened(AppState* app);

} // namespace olv
