#include "app/window_commands.h"

#include <iterator>

#include "app/window_state.h"
#include "base/product.h"
#include "base/text.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "report/summary.h"
#include "views/process_filter.h"
#include "views/process_tree.h"
#include "views/row_details.h"
#include "views/sigma_rows.h"
#include "views/sigma_texts.h"
#include "views/view_texts.h"

namespace olv {

namespace {

ModuleHandle ModuleOf(const Recording* app) {
    return app->window != nullptr ? app->window->instance : nullptr;
}

FontHandle UiFontOf(const Recording* app) {
    return app->window != nullptr ? app->window->uiFont : nullptr;
}

void CommandFromSigmaRules(void* context, int command) {
    RunSigmaRulesCommand(static_cast<Recording*>(context), command);
}

} // namespace

void ShowSummaryWindow(Recording* app) {
    if (app->window == nullptr) return;
    char16_t* text = BuildSummaryText(app);
    if (text == nullptr) return;
    char16_t title[320];
    ViewWindowTitle(app, u"Summary", title, 320);
    UiHandle window =
        UiOpenTextWindow(OwnerWindow(app), ModuleOf(app), title, 720, 640, SummaryFont(app), text);
    if (window != nullptr) UiShowViewWindow(window);
    FreeBlock(text);
}

void ShowProcessTreeWindow(Recording* app) {
    if (app->window == nullptr) return;
    char16_t title[320];
    ViewWindowTitle(app, u"Process Tree", title, 320);
    UiHandle window =
        UiOpenTreeWindow(OwnerWindow(app), ModuleOf(app), title, 560, 600, UiFontOf(app));
    if (window == nullptr) return;
    FillProcessTreeWindow(app, window);
    UiShowViewWindow(window);
}

void ShowSigmaRulesWindow(Recording* app) {
    if (app->window == nullptr || RaiseSigmaRulesWindow(app) != nullptr) return;
    UiListWindowSpec spec{};
    if (!SigmaRulesWindowSpec(app, &spec)) return; // memory refused: the command ends silently
    spec.command = CommandFromSigmaRules;
    AdoptSigmaRulesWindow(app,
                          UiOpenListWindow(OwnerWindow(app), ModuleOf(app), UiFontOf(app), &spec));
}

void RunSigmaRulesCommand(Recording* app, int command) {
    if (command != kRulesCommandCopy) {
        SigmaRulesWindowCommand(app, command);
        return;
    }
    size_t length = 0;
    char16_t* text = SigmaRulesSelectionText(app, &length);
    if (text != nullptr && app->sigma != nullptr) UiSetClipboardText(app->sigma->rulesWindow, text);
    FreeBlock(text);
}

void ShowRowDetailsWindow(Recording* app, int32_t item) {
    if (app->window == nullptr) return;
    const size_t chars = RowDetailsChars(app, item);
    char16_t* text = static_cast<char16_t*>(AllocZeroed(chars * sizeof(char16_t)));
    if (text == nullptr) return;
    if (BuildRowDetails(app, item, text, chars)) {
        char16_t title[160];
        RowDetailsTitle(app, item, title, 160);
        UiHandle window = UiOpenDetailsWindow(OwnerWindow(app), ModuleOf(app), title, 640, 480,
                                              UiFontOf(app), text);
        if (window != nullptr) UiShowViewWindow(window);
    }
    FreeBlock(text);
}

void ShowRulesMatched(Recording* app, int item) {
    if (app->window == nullptr) return;
    auto* text = static_cast<char16_t*>(AllocZeroed(kRulesMatchedChars * sizeof(char16_t)));
    if (text == nullptr) return;
    if (ComposeRulesMatchedText(app, item, text, kRulesMatchedChars)) {
        // A details window: Copy takes the whole text, Escape closes it.
        UiHandle window = UiOpenDetailsWindow(OwnerWindow(app), ModuleOf(app), u"Rules Matched",
                                              720, 360, SummaryFont(app), text);
        if (window != nullptr) UiShowViewWindow(window);
    }
    FreeBlock(text);
}

bool RunProcessMenuCommand(Recording* app, int command, int32_t rowIndex) {
    if (command != kMenuCopyCommandLine) return RunProcessCommand(app, command, rowIndex);
    if (app->window == nullptr) return false;
    char16_t line[kPathChars];
    return ProcessCommandLine(app, rowIndex, line, kPathChars) &&
           UiSetClipboardText(OwnerWindow(app), line);
}

void RunContextMenuCommand(Recording* app, const char16_t* path, int command) {
    if (app->window == nullptr || TextIsEmpty(path)) return;
    if (command == kMenuCopyPath) {
        UiSetClipboardText(OwnerWindow(app), path);
    } else if (command == kMenuShowInExplorer) {
        char16_t parameter[kExplorerParameterChars];
        char16_t refusal[kPathChars + 256];
        const ExplorerVerdict verdict = DecideShowInExplorer(
            path, parameter, kExplorerParameterChars, refusal, std::size(refusal));
        if (verdict == ExplorerVerdict::kShow) {
            UiShellExecute(OwnerWindow(app), u"open", u"explorer.exe", parameter);
        } else if (verdict != ExplorerVerdict::kEmpty) {
            UiMessageBox(OwnerWindow(app), refusal, kProductName, kIconWarning, kButtonsOk);
        }
    }
}

void RunListMenuCommand(Recording* app, int command, int32_t item, const char16_t* path) {
    switch (command) {
    case kMenuRowDetails:
        ShowRowDetailsWindow(app, item);
        break;
    case kMenuRulesMatched:
        ShowRulesMatched(app, item);
        break;
    case kMenuOnlyProcess:
    case kMenuOnlyProcessTree:
    case kMenuHideProcess:
    case kMenuShowAllProcesses:
        RunProcessCommand(app, command, ShownRowIndex(app, item));
        break;
    default:
        RunContextMenuCommand(app, path, command);
        break;
    }
}

} // namespace olv
