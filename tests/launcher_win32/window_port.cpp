// The two window calls the launcher's watcher makes, as the system answers them. This suite
// links the real launched-program code without the rest of the window shell, so it brings its
// own: a message posted to a real window of the test's thread.
#include <windows.h>

#include "platform/ui.h"

namespace olv {

bool UiPostMessage(UiHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return PostMessageW(static_cast<HWND>(window), message, wParam, lParam) != FALSE;
}

bool UiIsWindow(UiHandle window) {
    return IsWindow(static_cast<HWND>(window)) != FALSE;
}

} // namespace olv
