// MainWindow: what only the main window uses, beside the AppState the core works on. The window
// code reaches it through AppState::window; the core never reads it, and a run without a window
// (the console program) has none.
#pragma once

#include <cstdint>

#include "record/app_state.h"

namespace olv {

struct MainWindow {
    // How far the operation combo box follows AppState::operationNames: the names it offers
    // (after "All operations") and the list's clear count when it was last filled.
    int32_t comboNames;
    uint32_t comboNamesCleared;
};

// Makes app->window (all zero) when it has none; false when it cannot be made.
bool MakeMainWindow(AppState* app);
// Frees app->window, if any, and clears it.
void FreeMainWindow(AppState* app);

} // namespace olv
