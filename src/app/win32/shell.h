// The Windows shell of the main window: what the entry, the window procedure and the control
// code share. Each function is a thin translation between window messages and the portable
// handlers of app/ and views/, which make every decision.
#pragma once

#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include "app/recording_setup.h"
#include "app/window_state.h"

namespace olv {

static_assert(sizeof(wchar_t) == 2, "UTF-16 text is passed to the system as wchar_t");

// char16_t text at the API boundary, and back.
inline const wchar_t* W(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
inline wchar_t* W(char16_t* text) {
    return reinterpret_cast<wchar_t*>(text);
}
inline HWND H(UiHandle handle) {
    return static_cast<HWND>(handle);
}

// How a program built on the shell runs: Olvetta.exe and the demonstration differ only here.
struct ProgramOptions {
    const wchar_t* title;     // the main window's title
    const wchar_t* mutexName; // the single-instance mutex; null: no check
    // Called once the main window exists and before the message loop; may be null.
    void (*afterCreate)(Recording* app, void* context);
    void* context;
    // Facts of the rows' files, tokens and registry values are read from this machine; the
    // demonstration's rows name files of another machine: it reads its scenario's facts.
    bool readFacts;
};

// The program's entry steps: single-instance check, sockets, Recording, window, message loop,
// clean-up. Returns the process exit code.
int RunProgram(HINSTANCE instance, int showCommand, const ProgramOptions& options);

// Registers a window class of the program (standard application icon and arrow cursor, the given
// style and background colour index); a class this process registered before counts as
// registered. False when it is not registered.
bool RegisterShellClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure, UINT style,
                        int backgroundColour);

// Registers the main window class and creates the window for app, centred on the primary
// screen; false when either fails.
bool CreateMainWindow(Recording* app, HINSTANCE instance, int showCommand, const wchar_t* title);
// Runs GetMessageW, the shell's keys (TranslateShellMessage), TranslateMessage and
// DispatchMessageW until WM_QUIT; returns its wParam.
int RunMessageLoop();

// The Recording of the main window that owns window (a window the core opened); null when its
// owner is not the program's main window.
Recording* OwnerRecording(HWND window);
// Draws what the core changed (app/view_changes.h) on the main window that owns window: called
// by the windows the core opens after a message that may have run an operation.
void ApplyOwnerViewChanges(HWND window);

// The main window's message handler (the router calls it once the Recording is known).
LRESULT HandleMainMessage(Recording* app, HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// WM_CREATE: menu, font, controls, cue banners, check boxes, combo box, columns, status bar.
void BuildMainWindowContents(Recording* app);
// WM_SIZE: docks the status bar and places every control for a client of width x height.
void LayOutMainWindow(Recording* app, int width, int height);
// The window's DPI: that of its top-level window's monitor (the last WM_DPICHANGED's, else the
// system's answer), the system DPI where the system cannot say; 96 when nothing can be read.
int WindowDpi(HWND window);
// LVN_GETINFOTIP of a report list: the column of the cell under the pointer (0 when the pointer
// is not on tip's line).
int InfoTipColumn(const NMLVGETINFOTIPW* tip);
// Gives text as the tip when the column cuts it, as drawn in the list; no tip otherwise.
void OfferInfoTipWhenCut(NMLVGETINFOTIPW* tip, int column, const char16_t* text);
// Whether the column cuts text as the list draws it.
bool InfoTipTextIsCut(const NMLVGETINFOTIPW* tip, int column, const char16_t* text);
// The window property that keeps the DPI a top-level window was moved to (WM_DPICHANGED).
constexpr wchar_t kDpiProperty[] = L"OlvettaDpi";
// WM_DPICHANGED of a top-level window: keeps dpi with it (0: not a DPI, kept as it was) and puts
// it at the suggested rectangle, whose WM_SIZE lays it out at the new DPI.
void MoveToDpi(HWND window, int dpi, const RECT* suggested);
// WM_DPICHANGED of the main window: its font, columns and layout for the new DPI.
void HandleMainDpiChange(Recording* app, int dpi, const RECT* suggested);
// Lets files dropped from unelevated programs reach the (elevated) window.
bool AllowDropsFromUnelevated(HWND window);

// WM_NOTIFY of the main window: the event list's notifications.
LRESULT HandleListNotify(Recording* app, const NMHDR* header);
// The row menu at the list's focused row (Shift+F10, the menu key, WM_CONTEXTMENU from the
// keyboard); nothing when no row has the focus.
void ShowRowMenuAtFocus(Recording* app);

// Keys of the main window and the find window (keys.cpp): true when the message was handled
// (a key that gave a command, or dialog-style navigation); the message loop then neither
// translates nor dispatches it.
bool TranslateShellMessage(MSG* msg);
// Tab, Shift+Tab and Escape in a list window (root is that window; ListWindowNavigation decides):
// true when the key was taken.
bool TranslateListWindowKey(HWND root, const MSG* msg);
// WM_ACTIVATE: remembers the focused control when the window is deactivated.
void RememberFocus(Recording* app, WPARAM activation);
// WM_SETFOCUS of the main window: gives the focus to the remembered control (first the path box).
void RestoreFocus(Recording* app);
// The commands only the shell carries out (the find window, the row menu); false for others.
bool HandleShellCommand(Recording* app, WPARAM wParam);
// WM_INITMENUPOPUP: greys the items whose command cannot be given now.
void EnableMenuCommands(Recording* app, HMENU popup);

// The find window (find_window.cpp), made on first use and hidden when closed.
void OpenFindWindow(Recording* app);
void CloseFindWindow(Recording* app);
// Find Next (reverse: Previous) with the window's text and choices; F3 without a text opens it.
void FindFromShell(Recording* app, bool reverse);

} // namespace olv
