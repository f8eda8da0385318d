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
        HWND child = GetWindow(window, GW_CHILD);
        if (child != nullptr) MoveWindow(child, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        return 0;
    }
    case WM_CLOSE:
        DestroyWindow(window);
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

HWND CreateAuxWindow(HWND owner, HINSTANCE instance, const wchar_t* title, int width, int height) {
    if (!RegisterAuxWindowClass(instance)) return nullptr;
    const int dpi = WindowDpi(owner);
    return CreateWindowExW(0, kAuxClass, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                           ScaleByDpi(width, dpi), ScaleByDpi(height, dpi), owner, nullptr,
                           instance, nullptr);
}

} // namespace olv
