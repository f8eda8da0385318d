// The main window's message handler: each message goes to the portable handler that decides
// what it means.

#include "app/lifecycle.h"
#include <initializer_list>

#include "app/win32/shell.h"
#include "app/window_layout.h"
#include "platform/memory.h"
#include "views/view_texts.h"

namespace olv {

namespace {

// The longest name DragQueryFileW may report (the system's own path limit).
constexpr UINT kLongestDroppedName = 32767;

// WM_DROPFILES: the first file's whole name, so a name too long to start from is refused by the
// portable handler rather than cut here. The drop is always finished.
void HandleDrop(Recording* app, HDROP drop) {
    const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
    if (length > 0 && length <= kLongestDroppedName) {
        char16_t* name = static_cast<char16_t*>(AllocZeroed((length + 1) * sizeof(char16_t)));
        if (name != nullptr && DragQueryFileW(drop, 0, W(name), length + 1) == length) {
            HandleDroppedFile(app, name);
        }
        FreeBlock(name);
    }
    DragFinish(drop);
}

void SetMinimumSize(Recording* app, MINMAXINFO* info) {
    const int dpi = WindowDpi(H(OwnerWindow(app)));
    RECT status{};
    if (app->window != nullptr && app->window->statusBar != nullptr)
        GetWindowRect(H(app->window->statusBar), &status);
    RECT frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, TRUE, WS_EX_ACCEPTFILES);
    int width = 0, height = 0;
    MinimumWindowSize(dpi, status.bottom - status.top, frame.right - frame.left,
                      frame.bottom - frame.top, &width, &height);
    info->ptMinTrackSize.x = width;
    info->ptMinTrackSize.y = height;
}

} // namespace

bool AllowDropsFromUnelevated(HWND window) {
    // An elevated window does not receive drops from a normal Explorer unless it lets the drop
    // messages through its message filter: WM_DROPFILES, WM_COPYDATA and WM_COPYGLOBALDATA.
    constexpr UINT kCopyGlobalData = 0x0049;
    bool allowed = true;
    for (UINT message : {UINT{WM_DROPFILES}, UINT{WM_COPYDATA}, kCopyGlobalData}) {
        allowed = ChangeWindowMessageFilterEx(window, message, MSGFLT_ALLOW, nullptr) != FALSE &&
                  allowed;
    }
    return allowed;
}

LRESULT HandleMainMessage(Recording* app, HWND window, UINT message, WPARAM wParam,
                          LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        BuildMainWindowContents(app);
        AllowDropsFromUnelevated(window);
        UpdateStatusBar(app);
        return 0;
    case WM_CLOSE:
        // Not DefWindowProcW: the user may keep the window when rows would be lost.
        if (HandleCloseRequest(app)) DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        HandleDestroy(app);
        RemovePropW(window, kDpiProperty);
        PostQuitMessage(0);
        return 0;
    case WM_DPICHANGED: // moved to a monitor of another DPI, or the monitor's DPI changed
        HandleMainDpiChange(app, DpiFromChange(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_SIZE:
        LayOutMainWindow(app, LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_GETMINMAXINFO:
        SetMinimumSize(app, reinterpret_cast<MINMAXINFO*>(lParam));
        return 0;
    case WM_NOTIFY:
        return HandleListNotify(app, reinterpret_cast<const NMHDR*>(lParam));
    case WM_COMMAND:
        if (!HandleShellCommand(app, wParam)) DispatchCommand(app, wParam);
        return 0;
    case WM_ACTIVATE:
        RememberFocus(app, wParam);
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_SETFOCUS:
        RestoreFocus(app);
        return 0;
    case WM_INITMENUPOPUP:
        EnableMenuCommands(app, reinterpret_cast<HMENU>(wParam));
        return 0;
    case WM_CONTEXTMENU:
        // From the keyboard (-1): the row menu at the focused row; a click has its NM_RCLICK.
        if (lParam != -1 || reinterpret_cast<HWND>(wParam) != H(app->window->eventList))
            return DefWindowProcW(window, message, wParam, lParam);
        ShowRowMenuAtFocus(app);
        return 0;
    case WM_TIMER:
        HandleTimerTick(app, wParam);
        return 0;
    case WM_DROPFILES:
        HandleDrop(app, reinterpret_cast<HDROP>(wParam));
        return 0;
    default:
        if (HandlePostedMessage(app, message, wParam, lParam)) return 0;
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace olv
