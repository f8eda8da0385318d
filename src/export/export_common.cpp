#include "export/export_common.h"

#include "base/format.h"
#include "platform/ui.h"

namespace olv {

bool CommitAndReport(AppState* app, SafeFileWriter* writer, int32_t count,
                     const char16_t* successFormat, const char16_t* failureText) {
    const bool committed = CommitSafeFile(writer);
    LeaveLock(&app->rowsLock);
    if (committed) {
        char16_t text[256];
        FormatText(text, 256, successFormat, count);
        UiMessageBox(app->mainWindow, text, u"Olvetta", kIconInformation, kButtonsOk);
    } else {
        UiMessageBox(app->mainWindow, failureText, u"Olvetta", kIconError, kButtonsOk);
    }
    return committed;
}

bool AskSavePath(AppState* app, const char16_t* filter, const char16_t* defaultExtension,
                 char16_t (&path)[kSafeTargetPathChars]) {
    path[0] = 0;
    return UiSaveFileDialog(app->mainWindow, filter, defaultExtension, kOfnOverwritePrompt, path,
                            kSafeTargetPathChars);
}

void ReportFileNotOpened(AppState* app) {
    UiMessageBox(app->mainWindow, u"Failed to open file.", u"Olvetta", kIconError, kButtonsOk);
}

} // namespace olv
