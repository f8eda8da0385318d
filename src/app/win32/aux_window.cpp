#include "app/win32/aux_window.h"

#include "app/win32/shell.h"
#include "app/window_layout.h"

namespace olv {

namespace {

constexpr wchar_t kAuxClass[] = L"OlvettaAuxWindow";
bool gAuxRegistered = false;

} // namespace

LRESULT CALLBACK AuxWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE: {
        if (AuxWindowKind(window) == kViewDetails) {
            LayOutDetailsWindow(window, LOWORD(lParam), HIWORD(lParam));
            return 0;
        }
        HWND child = GetWindow(window, GW_CHILD);
        if (child != nullptr) MoveWindow(child, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        return 0;
    }
    case WM_SETFOCUS: {
        // The keyboard works in the window at once: the tree takes Enter, the text Ctrl+C.
        HWND child = GetWindow(window, GW_CHILD);
        if (child != nullptr) SetFocus(child);
        return 0;
    }
    case WM_NOTIFY:
        if (AuxWindowKind(window) == kViewTree) {
            // The tree's commands change the main window's view (a process condition).
            const LRESULT result = HandleTreeNotify(window, reinterpret_cast<const NMHDR*>(lParam));
            ApplyOwnerViewChanges(window);
            return result;
        }
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kIdDetailsCopy && AuxWindowKind(window) == kViewDetails) {
            CopyDetailsText(window);
        }
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DPICHANGED: // its WM_SIZE places the child at the new size
        MoveToDpi(window, DpiFromChange(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_DESTROY:
        RemovePropW(window, kViewKindProperty);
        RemovePropW(window, kDpiProperty);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

namespace {

struct OwnedCount {
    HWND owner;
    int shown;
};

BOOL CALLBACK CountOwned(HWND window, LPARAM context) {
    auto* count = reinterpret_cast<OwnedCount*>(context);
    // Tool windows (find, progress) sit over the main window by design; they do not count.
    if (GetWindow(window, GW_OWNER) == count->owner && IsWindowVisible(window) &&
        (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) == 0) {
        ++count->shown;
    }
    return TRUE;
}

} // namespace

RECT PlaceOwnedWindow(HWND owner, int width, int height) {
    RECT main{};
    if (owner == nullptr || !GetWindowRect(owner, &main)) main = RECT{0, 0, 0, 0};
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    RECT work{0, 0, 0, 0};
    if (GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
        work = monitor.rcWork;
    }
    OwnedCount count{owner, 0};
    EnumThreadWindows(GetCurrentThreadId(), CountOwned, reinterpret_cast<LPARAM>(&count));
    const ScreenRect placed =
        PlaceAuxWindow({main.left, main.top, main.right, main.bottom},
                       {work.left, work.top, work.right, work.bottom}, width, height, count.shown,
                       ScaleByDpi(24, WindowDpi(owner)));
    return RECT{placed.left, placed.top, placed.right, placed.bottom};
}

bool RegisterAuxWindowClass(HINSTANCE instance) {
    if (gAuxRegistered) return true;
    gAuxRegistered = RegisterShellClass(instance, kAuxClass, AuxWindowProc, 0, COLOR_3DFACE);
    return gAuxRegistered;
}

HWND CreateAuxWindow(HWND owner, HINSTANCE instance, const wchar_t* title, int width, int height,
                     int kind) {
    if (!RegisterAuxWindowClass(instance)) return nullptr;
    const int dpi = WindowDpi(owner);
    const RECT at = PlaceOwnedWindow(owner, ScaleByDpi(width, dpi), ScaleByDpi(height, dpi));
    HWND window = CreateWindowExW(0, kAuxClass, title, WS_OVERLAPPEDWINDOW, at.left, at.top,
                                  at.right - at.left, at.bottom - at.top, owner, nullptr, instance,
                                  nullptr);
    if (window != nullptr) {
        SetPropW(window, kViewKindProperty, reinterpret_cast<HANDLE>(static_cast<intptr_t>(kind)));
    }
    return window;
}

int AuxWindowKind(HWND window) {
    return static_cast<int>(reinterpret_cast<intptr_t>(GetPropW(window, kViewKindProperty)));
}

} // namespace olv
