// Command dispatch: what each control and menu item of the main window does.
#include "app/commands.h"
#include "app/file_commands.h"
#include "app/window_commands.h"

#include "base/product.h"
#include "base/text.h"

#include "app/keyboard.h"
#include "app/lifecycle.h"
#include "app/machine_check.h"
#include "app/sigma_commands.h"
#include "app/yara_commands.h"
#include "app/view_controls.h"
#include "app/window_state.h"
#include "export/exports.h"
#include "platform/ui.h"
#include "views/process_tree.h"
#include "views/row_store.h"
#include "views/sigma_texts.h"
#include "report/view_refresh.h"
#include "app/row_copy.h"
#include "views/copy_rows.h"
#include "report/summary.h"

namespace olv {

const char16_t kAboutText[] =
    u"Olvetta 1.1.0.0\n\nRecords what one program and the processes it starts do while they "
    u"run: processes and DLLs, files, registry, network and DNS, from Event Tracing for "
    u"Windows.";

namespace {

constexpr const char16_t* kCaption = kProductName;

// The dialog gets room for a path longer than a program can be started from, so that such a
// choice is refused with Start's message instead of failing without a word.
void BrowseForTarget(Recording* app) {
    char16_t path[kTargetTextChars] = {};
    static const char16_t kFilter[] = u"Executable (*.exe)\0*.exe\0All Files (*.*)\0*.*\0";
    if (!UiOpenFileDialog(OwnerWindow(app), kFilter, kOfnPathMustExist | kOfnFileMustExist,
                          path, kTargetTextChars)) {
        return;
    }
    if (TextLength(path) >= kTargetPathChars) {
        UiMessageBox(OwnerWindow(app), kPathTooLong, kCaption, kIconError, kButtonsOk);
        return;
    }
    UiSetText(app->window->targetEdit, path);
}

void ShowAbout(Recording* app) {
    UiMessageBox(OwnerWindow(app), kAboutText, kCaption, kIconInformation, kButtonsOk);
}

// A view change made by a menu command or key: set, then shown in the controls.
void SetViewFromCommand(Recording* app, const ViewSpec& view) {
    SetView(app, view);
    ShowViewInControls(app);
}

// Escape in the filter box: the box is emptied and every row the text hid is shown again.
void ClearFilterBox(Recording* app) {
    char16_t text[2] = {};
    UiGetText(app->window->filterEdit, text, 2);
    if (text[0] == 0 && app->view.filter[0] == 0) return;
    ViewSpec view = app->view;
    view.filter[0] = 0;
    SetViewFromCommand(app, view);
}

} // namespace

void DispatchCommand(Recording* app, uintptr_t wParam) {
    if (app->sessionReading != 0 || app->sigmaLoading != 0) return; // the window is busy
    const int id = static_cast<int>(wParam & 0xFFFF);
    const uint32_t code = static_cast<uint32_t>((wParam >> 16) & 0xFFFF);
    switch (id) {
    case kIdBrowseButton:
        BrowseForTarget(app);
        break;
    case kIdStartButton:
        StartMonitoring(app);
        break;
    case kIdStopButton:
        StopMonitoring(app);
        break;
    case kIdClearButton:
        ClearRowsAsked(app);
        break;
    case kIdExportCsvButton:
    case kCmdExportCsv:
        ExportCsv(app);
        break;
    case kIdFileCheck:
    case kIdRegistryCheck:
    case kIdNetworkCheck:
    case kIdProcessCheck:
    case kIdSuspiciousCheck:
        ViewControlChanged(app, id);
        break;
    case kIdFilterEdit:
        if (code == kEnChange) ViewControlChanged(app, id);
        break;
    case kIdOperationCombo:
        if (code == kCbnSelChange) ViewControlChanged(app, id);
        break;
    case kCmdExportJson:
        ExportJson(app);
        break;
    case kCmdExportJsonLines:
        ExportJsonLines(app);
        break;
    case kCmdLoadSigmaRules:
        LoadSigmaRules(app);
        break;
    case kCmdLoadYaraRules:
        LoadYaraRules(app);
        break;
    case kCmdSigmaRules:
        ShowSigmaRulesWindow(app);
        break;
    case kCmdShowAllRows:
        if (CommandAvailable(app, kCmdShowAllRows)) EndSigmaRuleView(app);
        break;
    case kCmdSaveSession:
        SaveSession(app);
        break;
    case kCmdOpenSession:
        OpenSession(app);
        ShowOperationNames(app);
        RefreshViewWindows(app);
        break;
    case kCmdExit:
        if (HandleCloseRequest(app)) UiDestroyWindow(OwnerWindow(app));
        break;
    case kCmdProcessTree:
        ShowProcessTreeWindow(app);
        break;
    case kCmdSummary:
        ShowSummaryWindow(app);
        break;
    case kCmdSuspiciousOnly: {
        ViewSpec view = app->view;
        view.suspiciousOnly = view.suspiciousOnly != 0 ? 0 : 1;
        SetViewFromCommand(app, view);
        break;
    }
    case kCmdScriptLogging:
        // Taken by the next Start; a running recording keeps what it started with.
        app->scriptLogging = app->scriptLogging != 0 ? 0 : 1;
        UiCheckMenuItem(OwnerWindow(app), kCmdScriptLogging, app->scriptLogging != 0);
        break;
    case kCmdAutoScroll:
        app->autoScroll = app->autoScroll != 0 ? 0 : 1;
        UiCheckMenuItem(OwnerWindow(app), kCmdAutoScroll, app->autoScroll != 0);
        break;
    case kCmdAbout:
        ShowAbout(app);
        break;
    case kCmdCheckRecording:
        StartMachineCheck(app);
        break;
    case kCmdStart:
        if (CommandAvailable(app, kCmdStart)) StartMonitoring(app);
        break;
    case kCmdStop:
        StopMonitoring(app);
        break;
    case kCmdClear:
        ClearRowsAsked(app);
        break;
    case kCmdCopyRows:
        CopySelectedRows(app);
        break;
    case kCmdSelectAllRows:
        UiListSelectAll(app->window->eventList);
        break;
    case kCmdFocusFilter:
        UiFocusControl(app->window->filterEdit);
        break;
    case kCmdClearFilter:
        ClearFilterBox(app);
        break;
    default:
        break;
    }
    ShowOperationNames(app); // any command may have taken in, cleared or opened rows
}

} // namespace olv
