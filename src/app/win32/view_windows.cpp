// The View menu's windows on the real controls: the UI port's tree and text windows. What they
// hold (the tree's placement, the summary's text and font) is decided in views/.
#include "app/win32/shell.h"
#include "app/window_layout.h"
#include "platform/ui.h"
#include "app/win32/aux_window.h"

namespace olv {

namespace {

// The aux window with one child of class className filling its client area; null when either
// cannot be made.
HWND OpenFilledWindow(UiHandle owner, ModuleHandle instance, const char16_t* title, int width,
                      int height, const wchar_t* className, DWORD style, FontHandle font) {
    HINSTANCE module = static_cast<HINSTANCE>(instance);
    HWND window = CreateAuxWindow(H(owner), module, W(title), width, height);
    if (window == nullptr) return nullptr;
    RECT client{};
    GetClientRect(window, &client);
    HWND child = CreateWindowExW(WS_EX_CLIENTEDGE, className, L"", WS_CHILD | WS_VISIBLE | style, 0,
                                 0, client.right, client.bottom, window, nullptr, module, nullptr);
    if (child == nullptr) {
        DestroyWindow(window);
        return nullptr;
    }
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return window;
}

HWND Child(UiHandle window) {
    return window != nullptr ? GetWindow(H(window), GW_CHILD) : nullptr;
}

} // namespace

UiHandle UiOpenTreeWindow(UiHandle owner, ModuleHandle instance, const char16_t* title, int width,
                          int height, FontHandle font) {
    return OpenFilledWindow(owner, instance, title, width, height, WC_TREEVIEWW,
                            TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT, font);
}

void* UiTreeInsert(UiHandle treeWindow, void* parentItem, const char16_t* text) {
    TVINSERTSTRUCTW insert{};
    insert.hParent = parentItem != nullptr ? static_cast<HTREEITEM>(parentItem) : TVI_ROOT;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT;
    insert.item.pszText = const_cast<wchar_t*>(W(text));
    return reinterpret_cast<void*>(
        SendMessageW(Child(treeWindow), TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
}

void UiTreeExpandRoots(UiHandle treeWindow) {
    HWND tree = Child(treeWindow);
    HTREEITEM root = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
    while (root != nullptr) {
        SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(root));
        root = reinterpret_cast<HTREEITEM>(
            SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(root)));
    }
}

UiHandle UiOpenTextWindow(UiHandle owner, ModuleHandle instance, const char16_t* title, int width,
                          int height, FontHandle font, const char16_t* text) {
    // No horizontal scrolling: long lines wrap.
    HWND window = OpenFilledWindow(owner, instance, title, width, height, L"EDIT",
                                   WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, font);
    if (window != nullptr) SetWindowTextW(Child(window), W(text));
    return window;
}

void UiShowViewWindow(UiHandle window) {
    if (window != nullptr) ShowWindow(H(window), SW_SHOW);
}

FontHandle UiMakeSummaryFont() {
    const int dpi = WindowDpi(nullptr);
    return CreateFontW(-ScaleByDpi(13, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       FIXED_PITCH | FF_MODERN, L"Consolas");
}

} // namespace olv
