// ViewPort: the few handles of a window that the core uses to open its own windows, message boxes
// and dialogs, given to it by the window when its controls are made. The event list and the
// status bar are not among them: the core reports their changes (record/view_changes.h) and the
// window draws them. A run without a window (the console program) leaves every one null, and the
// UI port does nothing with a null handle.
#pragma once

#include "platform/ui.h"

namespace olv {

struct ViewPort {
    UiHandle mainWindow;   // the owner of every message box, dialog and window the core opens
    ModuleHandle instance; // the module the core's windows are made from
    FontHandle uiFont;     // the window's font (the window makes it, and makes it anew per DPI)
    // The fixed-pitch font of the summary and the tables, made by the core on first use; while
    // it cannot be made, uiFont serves. Released with the Recording.
    FontHandle summaryFont;
};

} // namespace olv
