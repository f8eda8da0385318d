// The View menu's windows and the row details on the real controls: the UI port's tree, text and
// details windows, and the process tree's commands. What they hold (the tree's placement, the
// summary's and details' texts, the titles, the commands' effects) is decided in views/.
#include <algorithm>

#include "app/win32/aux_window.h"
#include "app/win32/shell.h"
#include "app/window_commands.h"
#include "app/window_layout.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "views/process_filter.h"
#include "views/process_tree.h"

namespace olv {

namespace {

// The aux window with one child of class className filling its client area; null when either
// cannot be made.
HWND OpenFilledWindow(UiHandle owner, ModuleHandle instance, const char16_t* title, int width,
                      int height, const wchar_t* className, DWORD style, FontHandle font,
                      int kind) {
    HINSTANCE module = static_cast<HINSTANCE>(instance);
    HWND window = CreateAuxWindow(H(owner), module, W(title), width, height, kind);
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

HTREEITEM NextItem(HWND tree, HTREEITEM item, UINT relation) {
    return reinterpret_cast<HTREEITEM>(
        SendMessageW(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
}

intptr_t ItemTag(HWND tree, HTREEITEM item) {
    if (item == nullptr) return -1;
    TVITEMW data{};
    data.mask = TVIF_PARAM | TVIF_HANDLE;
    data.hItem = item;
    if (!SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data))) return -1;
    return static_cast<intptr_t>(data.lParam);
}

// Every item in display order (parents before children), each once.
template <typename Visit> void ForEachItem(HWND tree, Visit visit) {
    HTREEITEM item = NextItem(tree, nullptr, TVGN_ROOT);
    while (item != nullptr) {
        visit(item);
        HTREEITEM next = NextItem(tree, item, TVGN_CHILD);
        if (next == nullptr) {
            for (HTREEITEM up = item; up != nullptr && next == nullptr;
                 up = NextItem(tree, up, TVGN_PARENT)) {
                next = NextItem(tree, up, TVGN_NEXT);
            }
        }
        item = next;
    }
}

// What a refill of a tree keeps: the tags of the expanded items (sorted), of the selection and of
// the first visible item. Window thread only; one refill at a time.
struct TreePlace {
    intptr_t expanded[kProcessTreeNodes];
    int count;
    intptr_t selected;
    intptr_t firstVisible;
    bool hadItems;
};
TreePlace gPlace;

HTREEITEM ItemAtCursor(HWND tree) {
    TVHITTESTINFO hit{};
    GetCursorPos(&hit.pt);
    ScreenToClient(tree, &hit.pt);
    HTREEITEM item = reinterpret_cast<HTREEITEM>(
        SendMessageW(tree, TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
    return (hit.flags & TVHT_ONITEM) != 0 ? item : nullptr;
}

Recording* OwnerApp(HWND window) {
    HWND owner = GetWindow(window, GW_OWNER);
    if (owner == nullptr) return nullptr;
    return reinterpret_cast<Recording*>(GetWindowLongPtrW(owner, GWLP_USERDATA));
}

// The tree's menu for item, at the screen point at.
void ShowTreeMenu(Recording* app, HWND window, HWND tree, HTREEITEM item, POINT at) {
    const intptr_t tag = ItemTag(tree, item);
    if (tag < 0) return;
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) return;
    for (const ProcessMenuEntry& entry : kProcessMenu)
        AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(entry.command), W(entry.text));
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kMenuCopyCommandLine, L"Copy Command Line");
    const int command = static_cast<int>(
        TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_RETURNCMD, at.x, at.y, 0, window, nullptr));
    DestroyMenu(menu);
    if (command != 0) RunProcessMenuCommand(app, command, static_cast<int32_t>(tag));
}

} // namespace

LRESULT HandleTreeNotify(HWND window, const NMHDR* header) {
    Recording* app = OwnerApp(window);
    if (app == nullptr || header == nullptr) return 0;
    HWND tree = header->hwndFrom;
    switch (header->code) {
    case NM_DBLCLK: {
        const intptr_t tag = ItemTag(tree, ItemAtCursor(tree));
        if (tag < 0) return 0;
        RunProcessCommand(app, kMenuOnlyProcessTree, static_cast<int32_t>(tag));
        return TRUE; // not also expanded or collapsed
    }
    case TVN_KEYDOWN: {
        const WORD key = reinterpret_cast<const NMTVKEYDOWN*>(header)->wVKey;
        HTREEITEM item = NextItem(tree, nullptr, TVGN_CARET);
        if (key == VK_RETURN) {
            const intptr_t tag = ItemTag(tree, item);
            if (tag >= 0) RunProcessCommand(app, kMenuOnlyProcessTree, static_cast<int32_t>(tag));
            return TRUE;
        }
        if (key == VK_APPS || (key == VK_F10 && GetKeyState(VK_SHIFT) < 0)) {
            RECT box{};
            *reinterpret_cast<HTREEITEM*>(&box) = item;
            if (item != nullptr &&
                SendMessageW(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&box))) {
                POINT at{box.left, box.bottom};
                ClientToScreen(tree, &at);
                ShowTreeMenu(app, window, tree, item, at);
            }
            return TRUE;
        }
        return 0;
    }
    case NM_RCLICK: {
        HTREEITEM item = ItemAtCursor(tree);
        if (item == nullptr) return 0;
        POINT at{};
        GetCursorPos(&at);
        ShowTreeMenu(app, window, tree, item, at);
        return TRUE;
    }
    default:
        return 0;
    }
}

UiHandle UiOpenTreeWindow(UiHandle owner, ModuleHandle instance, const char16_t* title, int width,
                          int height, FontHandle font) {
    return OpenFilledWindow(owner, instance, title, width, height, WC_TREEVIEWW,
                            TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS,
                            font, kViewTree);
}

void* UiTreeInsert(UiHandle treeWindow, void* parentItem, const char16_t* text, intptr_t tag) {
    TVINSERTSTRUCTW insert{};
    insert.hParent = parentItem != nullptr ? static_cast<HTREEITEM>(parentItem) : TVI_ROOT;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM;
    insert.item.pszText = const_cast<wchar_t*>(W(text));
    insert.item.lParam = static_cast<LPARAM>(tag);
    return reinterpret_cast<void*>(
        SendMessageW(Child(treeWindow), TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
}

void UiTreeExpandRoots(UiHandle treeWindow) {
    HWND tree = Child(treeWindow);
    for (HTREEITEM root = NextItem(tree, nullptr, TVGN_ROOT); root != nullptr;
         root = NextItem(tree, root, TVGN_NEXT)) {
        SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(root));
    }
}

void UiTreeBeginRefresh(UiHandle treeWindow) {
    HWND tree = Child(treeWindow);
    gPlace.count = 0;
    gPlace.hadItems = NextItem(tree, nullptr, TVGN_ROOT) != nullptr;
    gPlace.selected = ItemTag(tree, NextItem(tree, nullptr, TVGN_CARET));
    gPlace.firstVisible = ItemTag(tree, NextItem(tree, nullptr, TVGN_FIRSTVISIBLE));
    ForEachItem(tree, [&](HTREEITEM item) {
        const UINT state = static_cast<UINT>(
            SendMessageW(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_EXPANDED));
        if ((state & TVIS_EXPANDED) != 0 && gPlace.count < kProcessTreeNodes) {
            gPlace.expanded[gPlace.count++] = ItemTag(tree, item);
        }
    });
    std::sort(gPlace.expanded, gPlace.expanded + gPlace.count);
    SendMessageW(tree, WM_SETREDRAW, FALSE, 0);
    SendMessageW(tree, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
}

void UiTreeEndRefresh(UiHandle treeWindow) {
    HWND tree = Child(treeWindow);
    if (!gPlace.hadItems) {
        UiTreeExpandRoots(treeWindow);
    } else {
        HTREEITEM selected = nullptr;
        HTREEITEM firstVisible = nullptr;
        ForEachItem(tree, [&](HTREEITEM item) {
            const intptr_t tag = ItemTag(tree, item);
            if (std::binary_search(gPlace.expanded, gPlace.expanded + gPlace.count, tag)) {
                SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
            }
            if (tag == gPlace.selected) selected = item;
            if (tag == gPlace.firstVisible) firstVisible = item;
        });
        if (selected != nullptr) {
            SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(selected));
        }
        if (firstVisible != nullptr) {
            SendMessageW(tree, TVM_SELECTITEM, TVGN_FIRSTVISIBLE,
                         reinterpret_cast<LPARAM>(firstVisible));
        }
    }
    SendMessageW(tree, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(tree, nullptr, TRUE);
}

UiHandle UiOpenTextWindow(UiHandle owner, ModuleHandle instance, const char16_t* title, int width,
                          int height, FontHandle font, const char16_t* text) {
    // No horizontal scrolling: long lines wrap.
    HWND window = OpenFilledWindow(owner, instance, title, width, height, L"EDIT",
                                   WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, font,
                                   kViewSummary);
    if (window != nullptr) SetWindowTextW(Child(window), W(text));
    return window;
}

void UiReplaceWindowText(UiHandle textWindow, const char16_t* text) {
    HWND edit = Child(textWindow);
    if (edit == nullptr) return;
    const LRESULT line = SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0);
    SendMessageW(edit, WM_SETREDRAW, FALSE, 0);
    SetWindowTextW(edit, W(text));
    SendMessageW(edit, EM_LINESCROLL, 0, line);
    SendMessageW(edit, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(edit, nullptr, TRUE);
}

void UiSetWindowTitle(UiHandle window, const char16_t* title) {
    if (window != nullptr) SetWindowTextW(H(window), W(title));
}

int UiOpenViewWindows(int kind, UiHandle* out, int capacity) {
    struct Search {
        int kind;
        UiHandle* out;
        int capacity;
        int count;
    } search{kind, out, capacity, 0};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM context) -> BOOL {
            Search* s = reinterpret_cast<Search*>(context);
            if (s->count < s->capacity && AuxWindowKind(window) == s->kind) {
                s->out[s->count++] = window;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.count;
}

UiHandle UiOpenDetailsWindow(UiHandle owner, ModuleHandle instance, const char16_t* title,
                             int width, int height, FontHandle font, const char16_t* text) {
    // The text wraps (no horizontal scrolling), so a long path is read whole without scrolling.
    HWND window = OpenFilledWindow(
        owner, instance, title, width, height, L"EDIT",
        WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, font, kViewDetails);
    if (window == nullptr) return nullptr;
    HWND copy = CreateWindowExW(
        0, L"BUTTON", L"&Copy", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0,
        window, reinterpret_cast<HMENU>(static_cast<intptr_t>(kIdDetailsCopy)),
        static_cast<HINSTANCE>(instance), nullptr);
    if (copy == nullptr) {
        DestroyWindow(window);
        return nullptr;
    }
    SendMessageW(copy, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SetWindowTextW(Child(window), W(text));
    RECT client{};
    GetClientRect(window, &client);
    LayOutDetailsWindow(window, client.right, client.bottom);
    return window;
}

void LayOutDetailsWindow(HWND window, int width, int height) {
    const int dpi = WindowDpi(window);
    const int margin = ScaleByDpi(8, dpi);
    const int buttonWidth = ScaleByDpi(90, dpi);
    const int buttonHeight = ScaleByDpi(26, dpi);
    const int strip = buttonHeight + 2 * margin;
    HWND text = GetWindow(window, GW_CHILD);
    HWND copy = GetDlgItem(window, kIdDetailsCopy);
    if (text != nullptr) MoveWindow(text, 0, 0, width, std::max(0, height - strip), TRUE);
    if (copy != nullptr) {
        MoveWindow(copy, std::max(0, width - margin - buttonWidth),
                   std::max(0, height - strip) + margin, buttonWidth, buttonHeight, TRUE);
    }
}

void CopyDetailsText(HWND window) {
    HWND text = GetWindow(window, GW_CHILD);
    const int length = GetWindowTextLengthW(text);
    if (length <= 0) return;
    char16_t* copy = static_cast<char16_t*>(AllocZeroed((static_cast<size_t>(length) + 1) * 2));
    if (copy == nullptr) return;
    GetWindowTextW(text, W(copy), length + 1);
    UiSetClipboardText(window, copy);
    FreeBlock(copy);
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
