#include "export/export_common.h"

#include "base/format.h"
#include "base/product.h"
#include "platform/ui.h"
#include "record/app_state.h"

namespace olv {

FileOutcome CommitFile(SafeFileWriter* writer) {
    return CommitSafeFile(writer) ? kFileWritten : kFileNotWritten;
}

bool ReportFileOutcome(AppState* app, FileOutcome outcome, int32_t count,
                       const char16_t* successFormat, const char16_t* failureText) {
    if (outcome == kFileWritten) {
        char16_t text[256];
        FormatText(text, 256, successFormat, count);
        UiMessageBox(app->mainWindow, text, kProductName, kIconInformation, kButtonsOk);
        return true;
    }
    UiMessageBox(app->mainWindow, outcome == kFileNotOpened ? u"Failed to open file." : failureText,
                 kProductName, kIconError, kButtonsOk);
    return false;
}

bool AskSavePath(AppState* app, const char16_t* filter, const char16_t* defaultExtension,
                 char16_t (&path)[kSafeTargetPathChars]) {
    path[0] = 0;
    return UiSaveFileDialog(app->mainWindow, filter, defaultExtension, kOfnOverwritePrompt, path,
                            kSafeTargetPathChars);
}

} // namespace olv
