// MainWindow: what only the main window uses, beside the Recording the core works on. The window
// code reaches it through Recording::window; the core never reads it, and a run without a window
// (the console program) has none.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui.h"

#include "record/recording.h"
#include "views/find_rows.h"

namespace olv {

struct MachineCheck; // app/machine_check.h

// The find window and what was last searched for (views/find_rows.h). F3 repeats the search also
// after the window was closed.
struct FindState {
    UiHandle window;   // the find window; null until it is first opened
    UiHandle textEdit; // its text box (the keys treat it as a text box)
    char16_t text[kFindTextChars];
    uint8_t matchCase;
    uint8_t upward; // the window's direction: up means towards the first row
};

struct MainWindow {
    // The main window: the owner of every message box, dialog and window the application opens.
    UiHandle mainWindow;
    ModuleHandle instance; // the module the view windows are made from
    FontHandle uiFont;     // the window's font (made anew per DPI), released with the window
    // The fixed-pitch font of the summary and the tables, made on first use and released with the
    // window; while it cannot be made, uiFont serves.
    FontHandle summaryFont;

    // The controls, one field each (app/window_layout.h). The core never draws on the event list
    // or the status bar: it reports its changes (Recording::changes), which the window draws
    // there (app/view_changes.h).
    UiHandle targetEdit;
    UiHandle browseButton;
    UiHandle startButton;
    UiHandle stopButton;
    UiHandle clearButton;
    UiHandle exportCsvButton;
    UiHandle eventList;
    UiHandle fileCheck;
    UiHandle registryCheck;
    UiHandle networkCheck;
    UiHandle processCheck;
    UiHandle suspiciousCheck;
    UiHandle filterEdit;
    UiHandle operationCombo;
    UiHandle statusBar;

    FindState find;
    // "Check Recording on This Machine" (app/machine_check.h): the check under way, else null.
    MachineCheck* machineCheck;
    // This program's file (the check's helper is the program itself) and the user's temporary
    // folder; set by the shell at start, empty when unknown.
    char16_t programPath[1024];
    char16_t tempFolder[260];
    // How far the operation combo box follows Recording::operationNames: the names it offers
    // (after "All operations") and the list's clear count when it was last filled.
    int32_t comboNames;
    uint32_t comboNamesCleared;
};

// The main window as the owner of a box or window; null without one (the console program).
UiHandle OwnerWindow(const Recording* app);
// The font of the summary and the tables: summaryFont, made on first use, else uiFont (which is
// never stored as summaryFont: the clean-up would delete it twice). Null without a window.
FontHandle SummaryFont(Recording* app);

// Makes app->window (all zero) when it has none; false when it cannot be made.
bool MakeMainWindow(Recording* app);
// Frees app->window, if any, and clears it.
void FreeMainWindow(Recording* app);

} // namespace olv
