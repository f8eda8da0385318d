// The program's entry steps, the main window's class, creation and router, and the message loop.
#include <winsock2.h>

#include "app/win32/shell.h"
#include "base/text.h"
#include "capture/script_logging.h"
#include "app/sigma_commands.h"
#include "app/yara_commands.h"
#include "app/view_changes.h"
#include "app/window_layout.h"
#include "base/product.h"

namespace olv {

namespace {

constexpr wchar_t kWindowClass[] = L"OlvettaWindow";

// Stores the Recording with the window on WM_NCCREATE (so mainWindow is set before WM_CREATE)
// and hands every later message to the main window's handler.
LRESULT CALLBACK RouteMainMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Recording* app = nullptr;
    if (message == WM_NCCREATE) {
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        app = static_cast<Recording*>(create->lpCreateParams);
        app->window->mainWindow = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));
    } else {
        app = reinterpret_cast<Recording*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (app == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    const LRESULT result = HandleMainMessage(app, window, message, wParam, lParam);
    // Every operation and tick ends in a message this window handled: what it changed is drawn
    // here, once for all its changes.
    ApplyWindowViewChanges(app);
    return result;
}

int SystemDpi() {
    HDC screen = GetDC(nullptr);
    if (screen == nullptr) return 96;
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

// The work area of the monitor the window is made on (the primary one, which holds the point
// 0,0); the whole primary screen when the monitor cannot be asked.
ScreenRect PrimaryWorkArea() {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    HMONITOR monitor = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    if (monitor != nullptr && GetMonitorInfoW(monitor, &info)) {
        return {info.rcWork.left, info.rcWork.top, info.rcWork.right, info.rcWork.bottom};
    }
    return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

} // namespace

int WindowDpi(HWND window) {
    // The manifest declares the process per-monitor aware: each window has its monitor's DPI.
    // A child and an owned window go by their top-level window's; the DPI a WM_DPICHANGED gave
    // is kept with the window, then what the system says (GetDpiForWindow, Windows 10 1607 and
    // later), then the system's DPI.
    HWND root = window != nullptr ? GetAncestor(window, GA_ROOT) : nullptr;
    if (root == nullptr) return SystemDpi();
    const int kept = static_cast<int>(reinterpret_cast<intptr_t>(GetPropW(root, kDpiProperty)));
    if (kept > 0) return kept;
    using DpiForWindow = UINT(WINAPI*)(HWND);
    static const DpiForWindow ask = [] {
        HMODULE user = GetModuleHandleW(L"user32.dll");
        FARPROC found = user != nullptr ? GetProcAddress(user, "GetDpiForWindow") : nullptr;
        // Through a function type without arguments, as a FARPROC is converted without a warning.
        return reinterpret_cast<DpiForWindow>(reinterpret_cast<void (*)()>(found));
    }();
    const UINT dpi = ask != nullptr ? ask(root) : 0;
    return dpi > 0 ? static_cast<int>(dpi) : SystemDpi();
}

bool RegisterShellClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure, UINT style,
                        int backgroundColour) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = style;
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(backgroundColour + 1));
    wc.lpszClassName = name;
    // A class left registered by an earlier window of this process (the tests make several)
    // is the same class.
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

Recording* OwnerRecording(HWND window) {
    HWND owner = window != nullptr ? GetWindow(window, GW_OWNER) : nullptr;
    if (owner == nullptr || GetWindowLongPtrW(owner, GWLP_WNDPROC) !=
                                reinterpret_cast<LONG_PTR>(&RouteMainMessage)) {
        return nullptr;
    }
    return reinterpret_cast<Recording*>(GetWindowLongPtrW(owner, GWLP_USERDATA));
}

void ApplyOwnerViewChanges(HWND window) {
    Recording* app = OwnerRecording(window);
    if (app != nullptr) ApplyWindowViewChanges(app);
}

bool CreateMainWindow(Recording* app, HINSTANCE instance, int showCommand, const wchar_t* title) {
    if (!MakeMainWindow(app)) return false;
    app->window->instance = instance;
    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);

    if (!RegisterShellClass(instance, kWindowClass, RouteMainMessage, CS_HREDRAW | CS_VREDRAW,
                            COLOR_BTNFACE)) {
        return false;
    }

    int width = 0, height = 0;
    InitialWindowSize(SystemDpi(), &width, &height);
    const ScreenRect place = FitWindowToWorkArea(PrimaryWorkArea(), width, height);
    HWND window = CreateWindowExW(WS_EX_ACCEPTFILES, kWindowClass, title,
                                  WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, place.left, place.top,
                                  place.right - place.left, place.bottom - place.top, nullptr,
                                  nullptr, instance, app);
    if (window == nullptr) return false;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return true;
}

int RunMessageLoop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (TranslateShellMessage(&msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

int RunProgram(HINSTANCE instance, int showCommand, const ProgramOptions& options) {
    HANDLE mutex = nullptr;
    if (options.mutexName != nullptr) {
        mutex = CreateMutexW(nullptr, TRUE, options.mutexName);
        const DWORD error = GetLastError();
        if (mutex == nullptr) {
            wchar_t text[400];
            wsprintfW(text,
                      L"The check that stops a second copy running could not be made (error "
                      L"%lu).\n\nWithout it two copies could fight over the one kernel trace "
                      L"session, and neither would record what it claims to.",
                      error);
            MessageBoxW(nullptr, text, W(kProductName), MB_ICONERROR);
            return 0;
        }
        if (error == ERROR_ALREADY_EXISTS) {
            MessageBoxW(nullptr,
                        L"Olvetta is already running on this computer.\n\nWindows has only one "
                        L"kernel trace session, so a second copy would take it from the first "
                        L"and leave that one recording nothing.",
                        W(kProductName), MB_ICONWARNING);
            CloseHandle(mutex);
            return 0;
        }
    }

    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa); // only formats addresses; a failure changes nothing

    // The one Recording of the run; static because it is large for a stack.
    static Recording app;
    InitRecording(&app);
    app.readFacts = options.readFacts ? 1 : 0;
    // The script logging policy a recorder ended without its Stop left on goes back now (the
    // real system only: the stand-in tools have no policy of their own).
    if (options.readFacts) RestoreScriptLogging(nullptr);
    if (!CreateMainWindow(&app, instance, showCommand, options.title)) {
        MessageBoxW(nullptr, L"Failed to create window.", L"Error", MB_ICONERROR);
        WSACleanup();
        CleanUpRecording(&app);
        if (mutex != nullptr) {
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        }
        return 1;
    }
    // The "rules" folder beside the program, loaded when it exists (a path the buffer cut is not
    // the program's, and is not used).
    wchar_t self[1024] = {};
    const DWORD selfLength = GetModuleFileNameW(nullptr, self, 1024);
    if (selfLength > 0 && selfLength < 1024) {
        LoadRulesBesideProgram(&app, reinterpret_cast<const char16_t*>(self));
        LoadYaraRulesBesideProgram(&app, reinterpret_cast<const char16_t*>(self));
        CopyBounded(app.window->programPath, 1024, reinterpret_cast<const char16_t*>(self));
    }
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD tempLength = GetTempPathW(MAX_PATH + 1, temp);
    if (tempLength > 0 && tempLength < 260)
        CopyBounded(app.window->tempFolder, 260, reinterpret_cast<const char16_t*>(temp));
    if (options.afterCreate != nullptr) options.afterCreate(&app, options.context);
    const int result = RunMessageLoop();

    WSACleanup();
    if (mutex != nullptr) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    CleanUpRecording(&app);
    return result;
}

} // namespace olv
