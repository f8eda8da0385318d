// The window class the process tree and summary windows share: one child filling the client
// area, closed by its system menu.
#pragma once

#include <windows.h>

namespace olv {

// Registers "OlvettaAuxWindow" once for the run; a failed registration is tried again on the
// next call. False while it is not registered.
bool RegisterAuxWindowClass(HINSTANCE instance);
LRESULT CALLBACK AuxWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// A top-level window of that class owned by owner, at the system's default position, width x
// height in 96-DPI pixels scaled to the screen; null when it cannot be made.
HWND CreateAuxWindow(HWND owner, HINSTANCE instance, const wchar_t* title, int width, int height);

} // namespace olv
