// The UI port's list window on the real controls: a static line of text above a report list
// view, placed by ComputeListWindowLayout. What it lists and what a double-click does are
// decided in views/ (the Sigma Rules window, views/sigma_texts).
#include "app/list_window_layout.h"
#include "app/window_layout.h"
#include "app/win32/shell.h"
#include "platform/memory.h"
#include "platform/ui.h"

namespace olv {

namespace {

constexpr wchar_t kListWindowClass[] = L"OlvettaListWindow";
constexpr int kHeadlineId = 1;
constexpr int kListId = 2;
bool gListClassRegistered = false;

// What the window keeps: its activation, and the number of columns its items have. A heap block
// of its own, freed with the window.
struct ListWindowState {
    void (*activate)(void* context, int item);
    void* context;
    int columnCount;
};

ListWindowState* StateOf(HWND window) {
    return reinterpret_cast<ListWindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void PlaceChildren(HWND window, int width, int height) {
    ListWindowLayout layout{};
    ComputeListWindowLayout(width, height, WindowDpi(window), &layout);
    MoveWindow(GetDlgItem(window, kHeadlineId), layout.headline.x, layout.headline.y,
               layout.headline.width, layout.headline.height, TRUE);
    MoveWindow(GetDlgItem(window, kListId), layout.list.x, layout.list.y, layout.list.width,
               layout.list.height, TRUE);
}

// WM_DPICHANGED: the columns keep the widths they look to have, then the suggested rectangle,
// whose WM_SIZE places the headline and the list at the new DPI.
void ChangeDpi(HWND window, int dpi, const RECT* suggested) {
    const int before = WindowDpi(window);
    const ListWindowState* state = StateOf(window);
    HWND list = GetDlgItem(window, kListId);
    if (dpi > 0 && dpi != before && state != nullptr && list != nullptr) {
        for (int c = 0; c < state->columnCount; ++c) {
            const int width = static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, c, 0));
            SendMessageW(list, LVM_SETCOLUMNWIDTH, c,
                         MAKELPARAM(RescaleForDpi(width, before, dpi), 0));
        }
    }
    MoveToDpi(window, dpi, suggested);
    RECT client{};
    GetClientRect(window, &client);
    PlaceChildren(window, client.right, client.bottom);
}

LRESULT CALLBACK ListWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        PlaceChildren(window, LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        ListWindowState* state = StateOf(window);
        // LVN_ITEMACTIVATE: a double-click, or Enter on the selected item.
        if (header != nullptr && header->idFrom == kListId && header->code == LVN_ITEMACTIVATE &&
            state != nullptr && state->activate != nullptr) {
            const int item = reinterpret_cast<const NMITEMACTIVATE*>(header)->iItem;
            if (item >= 0) state->activate(state->context, item);
        }
        return 0;
    }
    case WM_DPICHANGED:
        ChangeDpi(window, DpiFromChange(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_NCDESTROY:
        RemovePropW(window, kDpiProperty);
        FreeBlock(StateOf(window));
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return DefWindowProcW(window, message, wParam, lParam);
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND ListOf(UiHandle window) {
    return UiIsListWindow(window) ? GetDlgItem(H(window), kListId) : nullptr;
}

} // namespace

UiHandle UiOpenListWindow(UiHandle owner, ModuleHandle instance, FontHandle font,
                          const UiListWindowSpec* spec) {
    if (spec == nullptr || spec->columnCount <= 0) return nullptr;
    HINSTANCE module = static_cast<HINSTANCE>(instance);
    if (!gListClassRegistered) {
        gListClassRegistered =
            RegisterShellClass(module, kListWindowClass, ListWindowProc, 0, COLOR_3DFACE);
        if (!gListClassRegistered) return nullptr;
    }
    auto* state = AllocRecord<ListWindowState>();
    if (state == nullptr) return nullptr;
    state->activate = spec->activate;
    state->context = spec->context;
    state->columnCount = spec->columnCount;
    const int dpi = WindowDpi(H(owner));
    HWND window = CreateWindowExW(0, kListWindowClass, W(spec->title), WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, ScaleByDpi(spec->width, dpi),
                                  ScaleByDpi(spec->height, dpi), H(owner), nullptr, module, nullptr);
    if (window == nullptr) {
        FreeBlock(state);
        return nullptr;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
    HWND headline = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                                    0, 0, 0, 0, window,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(kHeadlineId)),
                                    module, nullptr);
    HWND list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                                WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL |
                                    LVS_SHOWSELALWAYS,
                                0, 0, 0, 0, window,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListId)), module,
                                nullptr);
    if (headline == nullptr || list == nullptr) {
        DestroyWindow(window); // frees the state
        return nullptr;
    }
    SendMessageW(headline, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SendMessageW(list, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
    for (int c = 0; c < spec->columnCount; ++c) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = const_cast<wchar_t*>(W(spec->headings[c]));
        column.cx = ScaleByDpi(spec->columnWidths[c], dpi);
        column.iSubItem = c;
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c),
                     reinterpret_cast<LPARAM>(&column));
    }
    RECT client{};
    GetClientRect(window, &client);
    PlaceChildren(window, client.right, client.bottom);
    return window;
}

bool UiIsListWindow(UiHandle window) {
    if (window == nullptr || !IsWindow(H(window))) return false;
    // A handle the system gave again to another window is not ours.
    wchar_t name[32] = {};
    GetClassNameW(H(window), name, 32);
    return lstrcmpW(name, kListWindowClass) == 0;
}

void UiListWindowSetHeadline(UiHandle window, const char16_t* text) {
    if (UiIsListWindow(window)) SetDlgItemTextW(H(window), kHeadlineId, W(text));
}

void UiListWindowClear(UiHandle window) {
    HWND list = ListOf(window);
    if (list != nullptr) SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
}

bool UiListWindowAddItem(UiHandle window, const char16_t* const* cells, int count) {
    HWND list = ListOf(window);
    const ListWindowState* state = list != nullptr ? StateOf(H(window)) : nullptr;
    if (state == nullptr || cells == nullptr) return false;
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    item.pszText = const_cast<wchar_t*>(W(count > 0 ? cells[0] : u""));
    const int index =
        static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    if (index < 0) return false;
    for (int c = 1; c < state->columnCount && c < count; ++c) {
        LVITEMW sub{};
        sub.iSubItem = c;
        sub.pszText = const_cast<wchar_t*>(W(cells[c]));
        SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(index),
                     reinterpret_cast<LPARAM>(&sub));
    }
    return true;
}

} // namespace olv
