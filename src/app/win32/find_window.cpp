// The find window: a text box, "Match case", Up/Down, "Find Next" and "Close". It is made once and
// hidden when closed, so its text and choices stay for the next Ctrl+F and for F3. Its keys reach
// TranslateShellMessage like the main window's; what a search finds is decided in
// views/find_rows.
#include "app/keyboard.h"
#include "app/view_changes.h"
#include "app/win32/shell.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "views/find_rows.h"

namespace olv {

namespace {

constexpr wchar_t kFindClass[] = L"OlvettaFind";

Recording* AppOf(HWND window) {
    return reinterpret_cast<Recording*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

DWORD StyleOf(const FindWindowControl& spec) {
    DWORD style = WS_CHILD | WS_VISIBLE | (spec.group ? WS_GROUP : 0);
    switch (spec.kind) {
    case kFindStatic:
        return style;
    case kFindEdit:
        return style | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL;
    case kFindCheck:
        return style | WS_TABSTOP | BS_AUTOCHECKBOX;
    case kFindRadio:
        return style | (spec.group ? WS_TABSTOP : 0) | BS_AUTORADIOBUTTON;
    case kFindButton:
        return style | WS_TABSTOP | BS_PUSHBUTTON;
    case kFindDefaultButton:
        return style | WS_TABSTOP | BS_DEFPUSHBUTTON;
    }
    return style;
}

const wchar_t* ClassOfKind(FindControlKind kind) {
    return kind == kFindStatic ? L"STATIC" : kind == kFindEdit ? L"EDIT" : L"BUTTON";
}

// The window's choices into the window's FindState, so F3 repeats them after the window is
// closed.
void ReadFindChoices(Recording* app) {
    FindState& find = app->window->find;
    HWND window = H(find.window);
    if (window == nullptr) return;
    GetDlgItemTextW(window, kIdFindText, W(find.text), static_cast<int>(kFindTextChars));
    find.matchCase = IsDlgButtonChecked(window, kIdFindMatchCase) == BST_CHECKED ? 1 : 0;
    find.upward = IsDlgButtonChecked(window, kIdFindUp) == BST_CHECKED ? 1 : 0;
}

LRESULT CALLBACK FindWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Recording* app = AppOf(window);
    switch (message) {
    case WM_COMMAND:
        // The buttons send their commands on to the main window, where the keys send them too.
        if (app != nullptr && LOWORD(wParam) == kIdFindNextButton) {
            SendMessageW(H(OwnerWindow(app)), WM_COMMAND, kCmdFindNext, 0);
        } else if (app != nullptr && (LOWORD(wParam) == kIdFindCloseButton || LOWORD(wParam) == IDCANCEL)) {
            SendMessageW(H(OwnerWindow(app)), WM_COMMAND, kCmdCloseFind, 0);
        }
        return 0;
    case WM_CLOSE:
        if (app != nullptr) SendMessageW(H(OwnerWindow(app)), WM_COMMAND, kCmdCloseFind, 0);
        return 0;
    case WM_DESTROY:
        if (app != nullptr && app->window != nullptr && app->window->find.window == window) {
            app->window->find.window = nullptr;
            app->window->find.textEdit = nullptr;
        }
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND MakeFindWindow(Recording* app) {
    HINSTANCE instance = static_cast<HINSTANCE>(app->window->instance);
    if (!RegisterShellClass(instance, kFindClass, FindWindowProc, 0, COLOR_BTNFACE)) return nullptr;
    HWND owner = H(OwnerWindow(app));
    const int dpi = WindowDpi(owner);
    RECT frame{0, 0, ScaleByDpi(kFindClientWidth, dpi), ScaleByDpi(kFindClientHeight, dpi)};
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_TOOLWINDOW);
    // Near the top right of the main window, over the list's first rows.
    RECT main{};
    GetWindowRect(owner, &main);
    const int width = frame.right - frame.left;
    const int x = main.right - width - ScaleByDpi(24, dpi);
    const int y = main.top + ScaleByDpi(120, dpi);
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, kFindClass, W(kFindTitle), style, x > 0 ? x : 0,
                                  y > 0 ? y : 0, width, frame.bottom - frame.top, owner, nullptr,
                                  instance, nullptr);
    if (window == nullptr) return nullptr;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));
    for (const FindWindowControl& spec : kFindControls) {
        HWND control = CreateWindowExW(
            0, ClassOfKind(spec.kind), W(spec.text), StyleOf(spec), ScaleByDpi(spec.x, dpi),
            ScaleByDpi(spec.y, dpi), ScaleByDpi(spec.width, dpi), ScaleByDpi(spec.height, dpi),
            window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), instance, nullptr);
        if (control != nullptr) {
            SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(app->window->uiFont), TRUE);
        }
    }
    SendDlgItemMessageW(window, kIdFindText, EM_SETLIMITTEXT, kFindTextChars - 1, 0);
    FindState& find = app->window->find;
    SetDlgItemTextW(window, kIdFindText, W(find.text));
    CheckDlgButton(window, kIdFindMatchCase, find.matchCase != 0 ? BST_CHECKED : BST_UNCHECKED);
    CheckRadioButton(window, kIdFindUp, kIdFindDown, find.upward != 0 ? kIdFindUp : kIdFindDown);
    find.window = window;
    find.textEdit = GetDlgItem(window, kIdFindText);
    return window;
}

} // namespace

void OpenFindWindow(Recording* app) {
    HWND window = H(app->window->find.window);
    if (window == nullptr) window = MakeFindWindow(app);
    if (window == nullptr) return;
    SetDlgItemTextW(window, kIdFindMessage, L"");
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    UiFocusControl(app->window->find.textEdit);
}

void CloseFindWindow(Recording* app) {
    HWND window = H(app->window->find.window);
    if (window == nullptr) return;
    ReadFindChoices(app);
    ShowWindow(window, SW_HIDE);
    SetForegroundWindow(H(OwnerWindow(app)));
    SetFocus(H(app->window->eventList));
}

namespace {

// The find window never covers the row it found: it moves below or above it (KeepFindWindowOffRow).
void KeepOffFoundRow(Recording* app, HWND window) {
    HWND list = H(app->window->eventList);
    const int item = UiListFocusedItem(app->window->eventList);
    if (list == nullptr || item < 0) return;
    RECT row{};
    row.left = LVIR_BOUNDS;
    if (!SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&row)))
        return;
    MapWindowPoints(list, nullptr, reinterpret_cast<POINT*>(&row), 2);
    RECT find{};
    GetWindowRect(window, &find);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    RECT work{0, 0, 0, 0};
    if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) {
        work = monitor.rcWork;
    }
    const ScreenRect placed = KeepFindWindowOffRow({find.left, find.top, find.right, find.bottom},
                                                   {row.left, row.top, row.right, row.bottom},
                                                   {work.left, work.top, work.right, work.bottom});
    if (placed.left != find.left || placed.top != find.top) {
        SetWindowPos(window, nullptr, placed.left, placed.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

} // namespace

void FindFromShell(Recording* app, bool reverse) {
    ReadFindChoices(app);
    if (app->window->find.text[0] == 0) {
        // Nothing to repeat yet: F3 asks for the text, as Ctrl+F does.
        OpenFindWindow(app);
        return;
    }
    char16_t message[300];
    const FindState& find = app->window->find;
    const FindOutcome outcome =
        FindNextRow(app, find.text, find.matchCase != 0, find.upward != 0, reverse,
                    UiListFocusedItem(app->window->eventList), message, 300);
    // The row found is selected now: the find window is placed off it below.
    ApplyWindowViewChanges(app);
    HWND window = H(app->window->find.window);
    if (window == nullptr && outcome != kFindFound) window = MakeFindWindow(app);
    if (window == nullptr) return;
    SetDlgItemTextW(window, kIdFindMessage, W(message));
    // A message is shown even when F3 came from the list, without taking the focus from it.
    if (!IsWindowVisible(window) && outcome != kFindFound) ShowWindow(window, SW_SHOWNOACTIVATE);
    if (outcome == kFindFound && IsWindowVisible(window)) KeepOffFoundRow(app, window);
}

} // namespace olv
