// "Summary": a read-only edit control showing the text views/summary builds.
#include "app/win32/shell.h"
#include "app/window_layout.h"
#include "platform/memory.h"
#include "views/summary.h"
#include "views/win32/aux_window.h"

namespace olv {

namespace {

// Consolas, 13 pixels high at 96 DPI, made once for the run; null when it cannot be made (the
// next summary tries again).
HFONT MakeSummaryFont(int dpi) {
    return CreateFontW(-ScaleByDpi(13, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       FIXED_PITCH | FF_MODERN, L"Consolas");
}

} // namespace

void ShowSummaryWindow(AppState* app) {
    char16_t* text = BuildSummaryText(app);
    if (text == nullptr) return;
    HWND window = CreateAuxWindow(app, L"Summary", 720, 640);
    if (window != nullptr) {
        RECT client{};
        GetClientRect(window, &client);
        HWND edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                                    WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE |
                                        ES_READONLY | ES_AUTOVSCROLL,
                                    0, 0, client.right, client.bottom, window, nullptr,
                                    static_cast<HINSTANCE>(app->instance), nullptr);
        if (edit != nullptr) {
            if (app->summaryFont == nullptr) {
                app->summaryFont = MakeSummaryFont(WindowDpi(H(app->mainWindow)));
            }
            // Without Consolas the summary borrows uiFont, which stays the main window's: it is
            // never stored as summaryFont, or the clean-up would delete it twice.
            FontHandle font = app->summaryFont != nullptr ? app->summaryFont : app->uiFont;
            SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
            SetWindowTextW(edit, W(text));
        }
        ShowWindow(window, SW_SHOW);
    }
    FreeBlock(text);
}

} // namespace olv
