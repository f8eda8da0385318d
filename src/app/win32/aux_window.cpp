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
            return HandleTreeNotify(window, reinterpret_cast<const NMHDR*>(lParam));
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

bool RegisterAuxWindowClass(HINSTANCE instance) {
    if (gAuxRegistered) return true;
    gAuxRegistered = RegisterShellClass(instance, kAuxClass, AuxWindowProc, 0, COLOR_3DFACE);
    return gAuxRegistered;
}

HWND CreateAuxWindow(HWND owner, HINSTANCE instance, const wchar_t* title, int width, int height,
                     int kind) {
    if (!RegisterAuxWindowClass(instance)) return nullptr;
    const int dpi = WindowDpi(owner);
    HWND window = CreateWindowExW(0, kAuxClass, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, ScaleByDpi(width, dpi), ScaleByDpi(height, dpi),
                                  owner, nullptr, instance, nullptr);
    if (window != nullptr) {
        SetPropW(window, kViewKindProperty, reinterpret_cast<HANDLE>(static_cast<intptr_t>(kind)));
    }
    return window;
}

int AuxWindowKind(HWND window) {
    return static_cast<int>(reinterpret_cast<intptr_t>(GetPropW(window, kViewKindProperty)));
}

} // namespace olv
