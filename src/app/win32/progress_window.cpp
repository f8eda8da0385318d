// The UI port's progress window: a small owned window with a line of text, a progress bar and a
// "Cancel" button, shown while the window thread does a long piece of work (reading a large
// session). It is modeless: the work runs on the window thread and calls UiStepProgress between
// pieces, which lets the waiting messages through, so the windows repaint and Cancel can be
// pressed. The owner is disabled meanwhile, so the user reaches only Cancel; what still arrives
// for the owner (posted commands, the system's close) the application ignores while it is busy.
#include "app/win32/shell.h"
#include "app/window_layout.h"
#include "platform/memory.h"
#include "platform/ui.h"

namespace olv {

static_assert(kIdProgressCancel == IDCANCEL, "Esc and the Cancel button are one command");

namespace {

constexpr wchar_t kProgressClass[] = L"OlvettaProgressWindow";

// Client area and controls, in 96-DPI pixels.
constexpr int kClientWidth = 380;
constexpr int kClientHeight = 108;
constexpr int kMargin = 12;

// Messages handled in one step at most: a step must return to the work even if something keeps
// posting.
constexpr int kMostMessagesPerStep = 512;

struct ProgressState {
    HWND owner;
    BOOL ownerWasEnabled;
    bool cancelled;
    uint32_t total;
};

ProgressState* StateOf(HWND window) {
    return reinterpret_cast<ProgressState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void AskToCancel(HWND window) {
    ProgressState* state = StateOf(window);
    if (state == nullptr || state->cancelled) return;
    state->cancelled = true;
    EnableWindow(GetDlgItem(window, kIdProgressCancel), FALSE); // pressed: the work stops next
}

LRESULT CALLBACK ProgressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == kIdProgressCancel) AskToCancel(window);
        return 0;
    case WM_CLOSE: // the caption's close box asks what Cancel asks; the work ends the window
        AskToCancel(window);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND MakeChild(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, int id,
               int x, int y, int width, int height, int dpi, HFONT font) {
    HWND child =
        CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, ScaleByDpi(x, dpi),
                        ScaleByDpi(y, dpi), ScaleByDpi(width, dpi), ScaleByDpi(height, dpi), parent,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    if (child != nullptr) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return child;
}

// The owner's controls share the program's font; the stock one when the owner has none.
HFONT OwnerFont(HWND owner) {
    HWND child = owner != nullptr ? GetWindow(owner, GW_CHILD) : nullptr;
    HFONT font =
        child != nullptr ? reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)) : nullptr;
    return font != nullptr ? font : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

} // namespace

UiHandle UiBeginProgress(UiHandle owner, const char16_t* title, uint32_t total) {
    HWND ownerWindow = H(owner);
    HINSTANCE instance =
        ownerWindow != nullptr
            ? reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(ownerWindow, GWLP_HINSTANCE))
            : GetModuleHandleW(nullptr);
    if (!RegisterShellClass(instance, kProgressClass, ProgressProc, 0, COLOR_BTNFACE)) {
        return nullptr;
    }
    ProgressState* state = AllocRecord<ProgressState>();
    if (state == nullptr) return nullptr;
    state->owner = ownerWindow;
    state->total = total;

    // The window around the client area, centred over the owner and kept on its screen.
    const int dpi = WindowDpi(ownerWindow);
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    RECT frame{0, 0, ScaleByDpi(kClientWidth, dpi), ScaleByDpi(kClientHeight, dpi)};
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_DLGMODALFRAME);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT around{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (ownerWindow != nullptr) GetWindowRect(ownerWindow, &around);
    int x = around.left + (around.right - around.left - width) / 2;
    int y = around.top + (around.bottom - around.top - height) / 2;
    x = x < 0 ? 0 : x;
    y = y < 0 ? 0 : y;

    HWND window = CreateWindowExW(WS_EX_DLGMODALFRAME, kProgressClass, W(title), style, x, y, width,
                                  height, ownerWindow, nullptr, instance, nullptr);
    if (window == nullptr) {
        FreeBlock(state);
        return nullptr;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));

    const HFONT font = OwnerFont(ownerWindow);
    const int inner = kClientWidth - 2 * kMargin;
    MakeChild(window, L"STATIC", L"", SS_LEFT | SS_NOPREFIX, kIdProgressText, kMargin, kMargin,
              inner, 18, dpi, font);
    HWND bar = MakeChild(window, PROGRESS_CLASSW, L"", 0, kIdProgressBar, kMargin, 36, inner, 18,
                         dpi, font);
    MakeChild(window, L"BUTTON", L"Cancel", WS_TABSTOP | BS_DEFPUSHBUTTON, kIdProgressCancel,
              kClientWidth - kMargin - 88, 68, 88, 28, dpi, font);
    // Total and done are row counts: at most 2,147,483,647, which the 32-bit range holds.
    SendMessageW(bar, PBM_SETRANGE32, 0,
                 static_cast<LPARAM>(total > 0x7FFFFFFF ? 0x7FFFFFFF : total));

    ShowWindow(window, SW_SHOW);
    // Disabled after the window shows, so that activation passes to it rather than elsewhere.
    state->ownerWasEnabled = ownerWindow != nullptr && IsWindowEnabled(ownerWindow);
    if (ownerWindow != nullptr) EnableWindow(ownerWindow, FALSE);
    UpdateWindow(window);
    return window;
}

bool UiStepProgress(UiHandle progress, uint32_t done, const char16_t* text) {
    HWND window = H(progress);
    ProgressState* state = window != nullptr ? StateOf(window) : nullptr;
    if (state == nullptr) return false;
    // The owner's window is disabled and may see no message of its own while the work runs:
    // what the work changed so far (the status text, rows read) is drawn with each step.
    ApplyOwnerViewChanges(window);
    SendMessageW(GetDlgItem(window, kIdProgressBar), PBM_SETPOS,
                 static_cast<WPARAM>(done > 0x7FFFFFFF ? 0x7FFFFFFF : done), 0);
    SetDlgItemTextW(window, kIdProgressText, W(text));

    MSG msg;
    for (int handled = 0;
         handled < kMostMessagesPerStep && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
         ++handled) {
        if (msg.message == WM_QUIT) {
            // The program is ending: leave the quit for the message loop and stop the work.
            PostQuitMessage(static_cast<int>(msg.wParam));
            state->cancelled = true;
            break;
        }
        if (IsDialogMessageW(window, &msg)) continue; // Esc, Enter and Tab on the progress window
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return state->cancelled;
}

void UiEndProgress(UiHandle progress) {
    HWND window = H(progress);
    ProgressState* state = window != nullptr ? StateOf(window) : nullptr;
    if (state == nullptr) return;
    // The owner first, so that it is the window activated when this one goes.
    if (state->owner != nullptr && state->ownerWasEnabled) EnableWindow(state->owner, TRUE);
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    DestroyWindow(window);
    FreeBlock(state);
}

} // namespace olv
