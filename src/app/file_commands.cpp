#include "app/file_commands.h"

#include "app/outcome_box.h"
#include "app/window_state.h"
#include "base/product.h"
#include "export/exports.h"
#include "export/safe_file.h"
#include "platform/ui.h"
#include "record/recording.h"

namespace olv {

namespace {

const char16_t kSessionFilter[] = u"Olvetta Session (*.ols)\0*.ols\0";
// Saving offers the compact form as the second type; the first stays the default.
const char16_t kSessionSaveFilter[] =
    u"Olvetta Session (*.ols)\0*.ols\0Olvetta Compact Session (*.ols)\0*.ols\0";
constexpr uint32_t kCompactFileType = 2;
const char16_t kStopFirst[] = u"Stop monitoring before opening a session.";

// The save dialog of a file command (OFN_OVERWRITEPROMPT, a file name of at most
// kSafeTargetPathChars - 1 characters starting empty); false when cancelled.
bool AskSavePath(Recording* app, const char16_t* filter, const char16_t* defaultExtension,
                 char16_t (&path)[kSafeTargetPathChars]) {
    path[0] = 0;
    return UiSaveFileDialog(OwnerWindow(app), filter, defaultExtension, kOfnOverwritePrompt, path,
                            kSafeTargetPathChars);
}

} // namespace

void ExportCsv(Recording* app) {
    static const char16_t kFilter[] = u"CSV (*.csv)\0*.csv\0Text (*.txt)\0*.txt\0";
    char16_t path[kSafeTargetPathChars];
    if (!AskSavePath(app, kFilter, u"csv", path)) return;
    ExportCsvToPath(app, path);
}

void ExportJson(Recording* app) {
    static const char16_t kFilter[] = u"JSON (*.json)\0*.json\0";
    char16_t path[kSafeTargetPathChars];
    if (!AskSavePath(app, kFilter, u"json", path)) return;
    ExportJsonToPath(app, path);
}

void ExportJsonLines(Recording* app) {
    static const char16_t kFilter[] = u"JSON Lines (*.jsonl)\0*.jsonl\0";
    char16_t path[kSafeTargetPathChars];
    if (!AskSavePath(app, kFilter, u"jsonl", path)) return;
    ExportJsonLinesToPath(app, path);
}

void SaveSession(Recording* app) {
    char16_t path[kSafeTargetPathChars] = {};
    uint32_t type = 1;
    if (!UiSaveFileDialogTyped(OwnerWindow(app), kSessionSaveFilter, u"ols", kOfnOverwritePrompt,
                               path, kSafeTargetPathChars, &type)) {
        return;
    }
    if (type == kCompactFileType) {
        SaveCompactSessionToPath(app, path);
    } else {
        SaveSessionToPath(app, path);
    }
}

void OpenSession(Recording* app) {
    if (app->recording != 0) {
        UiMessageBox(OwnerWindow(app), kStopFirst, kProductName, kIconWarning, kButtonsOk);
        return;
    }
    char16_t path[kSafeTargetPathChars] = {};
    if (!UiOpenFileDialog(OwnerWindow(app), kSessionFilter, kOfnPathMustExist | kOfnFileMustExist,
                          path, kSafeTargetPathChars)) {
        return;
    }
    if (!ConfirmDiscardingRows(app, kDiscardByOpen)) return;
    OpenSessionFromPath(app, path);
}

bool ExportCsvToPath(Recording* app, const char16_t* path) {
    return ShowOutcome(OwnerWindow(app), ExportCsvFile(app, path));
}

bool ExportJsonToPath(Recording* app, const char16_t* path) {
    return ShowOutcome(OwnerWindow(app), ExportJsonFile(app, path));
}

bool ExportJsonLinesToPath(Recording* app, const char16_t* path) {
    return ShowOutcome(OwnerWindow(app), ExportJsonLinesFile(app, path));
}

bool SaveSessionToPath(Recording* app, const char16_t* path) {
    return ShowOutcome(OwnerWindow(app), SaveSessionFile(app, path));
}

bool SaveCompactSessionToPath(Recording* app, const char16_t* path) {
    return ShowOutcome(OwnerWindow(app), SaveCompactSessionFile(app, path));
}

bool OpenSessionFromPath(Recording* app, const char16_t* path) {
    const Progress progress = WindowProgress(OwnerWindow(app));
    return ShowOutcome(OwnerWindow(app), OpenSessionFile(app, path, &progress));
}

bool ConfirmDiscardingRows(Recording* app, DiscardReason reason) {
    char16_t question[kDiscardQuestionChars];
    if (!DiscardQuestion(app, reason, question, kDiscardQuestionChars)) return true;
    return UiMessageBox(OwnerWindow(app), question, kProductName, kIconWarning,
                        kButtonsYesNoDefaultNo) == kAnswerYes;
}

} // namespace olv
