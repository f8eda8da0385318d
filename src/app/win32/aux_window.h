// The window class the process tree, summary and row details windows share: a child filling
// the client area (the details window: its text above a Copy button), closed by its system menu.
// Each window is marked with its kind, so that the open trees and summaries can be found again
// and the tree's notifications reach the process commands.
#pragma once

#include <windows.h>

namespace olv {

// The kind of an auxiliary window (ViewWindowKind of platform/ui.h, or kViewDetails), kept as a
// window property.
constexpr wchar_t kViewKindProperty[] = L"OlvettaViewKind";
constexpr int kViewDetails = 3;
// The details window's Copy button.
constexpr int kIdDetailsCopy = 3001;

// Registers "OlvettaAuxWindow" once for the run; a failed registration is tried again on the
// next call. False while it is not registered.
bool RegisterAuxWindowClass(HINSTANCE instance);
LRESULT CALLBACK AuxWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Where a window of width x height (pixels) owned by owner opens: PlaceAuxWindow for the owner's
// rectangle, its monitor's work area and the windows it owns that are shown already.
RECT PlaceOwnedWindow(HWND owner, int width, int height);
// A top-level window of that class owned by owner, placed by PlaceOwnedWindow, width x height in
// 96-DPI pixels scaled to the screen, marked with kind; null when it cannot be made.
HWND CreateAuxWindow(HWND owner, HINSTANCE instance, const wchar_t* title, int width, int height,
                     int kind);
// The kind a window was marked with; 0 for any other window.
int AuxWindowKind(HWND window);

// The process tree's notifications (double-click, Enter, right-click, the menu key), answered
// with the process commands of the main window's Recording (view_windows.cpp).
LRESULT HandleTreeNotify(HWND window, const NMHDR* header);
// The details window: places the text and the Copy button; copies the text.
void LayOutDetailsWindow(HWND window, int width, int height);
void CopyDetailsText(HWND window);

} // namespace olv
