// Command dispatch of the main window (WM_COMMAND). Window thread only.
#pragma once

#include <cstdint>

#include "app/recording_setup.h"

namespace olv {

// What "About Olvetta" shows.
extern const char16_t kAboutText[];

// WM_COMMAND: the control or menu identifier in the low word, the notification in the high word.
void DispatchCommand(Recording* app, uintptr_t wParam);

} // namespace olv
