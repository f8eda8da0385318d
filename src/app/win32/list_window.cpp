// The UI port's list window on the real controls: a static headline, a search box and a choice
// above a virtual report list view (LVS_OWNERDATA: the list asks for the cells it draws), placed
// by ComputeListWindowLayout. What it lists, in which order, and what its keys, menu and clicks
// do are decided in views/ (the Sigma Rules window, views/sigma_texts) and app/keyboard.
#include "app/keyboard.h"
#include "app/list_window_layout.h"
#include "app/window_layout.h"
#include "app/win32/aux_window.h"
#include "app/win32/shell.h"
#include "base/text.h"
#include "platform/memory.h"
#include "platform/ui.h"

namespace olv {

namespace {

constexpr wchar_t kListWindowClass[] = L"OlvettaListWindow";
constexpr int kHeadlineId = kIdListHeadline;
constexpr int kListId = kIdListLines;
constexpr int kSearchLabelId = 3;
constexpr int kSearchId = kIdListSearch;
constexpr int kChoiceLabelId = 5;
constexpr int kChoiceId = kIdListChoice;
constexpr int kMenuBase = 100; // menu item k has the id kMenuBase + k
constexpr size_t kCellChars = 1024;
constexpr size_t kSearchChars = 256;
bool gListClassRegistered = false;

// What the window keeps: the UiListWindowSpec callbacks, and a buffer for the texts the list asks for. A
// heap block of its own, freed with the window.
struct ListWindowState {
    UiListWindowSpec spec;
    // The list keeps no copy of a text it is given (LVN_GETDISPINFO): the buffers live on, and
    // two of them alternate so an answer stays intact while the list asks for the next.
    char16_t cells[2][kCellChars];
    int nextCell;
    char16_t tip[kCellChars];
    int headlineHeight; // measured for the current width, in pixels
};

ListWindowState* StateOf(HWND window) {
    return reinterpret_cast<ListWindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// The height the headline's text needs, wrapped at its width, in the window's font.
int MeasureHeadline(HWND window, int width) {
    HWND headline = GetDlgItem(window, kHeadlineId);
    const int length = GetWindowTextLengthW(headline);
    if (headline == nullptr || length <= 0 || width <= 0) return 0;
    auto* text = static_cast<wchar_t*>(AllocZeroed((static_cast<size_t>(length) + 1) * sizeof(wchar_t)));
    if (text == nullptr) return 0;
    GetWindowTextW(headline, text, length + 1);
    HDC dc = GetDC(headline);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(headline, WM_GETFONT, 0, 0)));
    RECT r{0, 0, width, 0};
    DrawTextW(dc, text, length, &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EDITCONTROL);
    SelectObject(dc, old);
    ReleaseDC(headline, dc);
    FreeBlock(text);
    return r.bottom - r.top;
}

void Move(HWND window, int id, const ControlRect& r) {
    MoveWindow(GetDlgItem(window, id), r.x, r.y, r.width, r.height, FALSE);
}

// Lays every control out for the client size, the headline measured at its width, and repaints
// the whole client: a control moved without it keeps the old picture (maximise showed the
// headline twice, restore cut it).
void PlaceChildren(HWND window, int width, int height) {
    const int dpi = WindowDpi(window);
    ListWindowState* state = StateOf(window);
    const int measured = MeasureHeadline(window, ListWindowHeadlineWidth(width, dpi));
    if (state != nullptr) state->headlineHeight = measured;
    ListWindowLayout layout{};
    ComputeListWindowLayout(width, height, dpi, measured, &layout);
    Move(window, kHeadlineId, layout.headline);
    Move(window, kSearchLabelId, layout.searchLabel);
    Move(window, kSearchId, layout.search);
    Move(window, kChoiceLabelId, layout.choiceLabel);
    Move(window, kChoiceId, layout.choice);
    Move(window, kListId, layout.list);
    RedrawWindow(window, nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void PlaceForClient(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    PlaceChildren(window, client.right, client.bottom);
}

// WM_DPICHANGED: the columns keep the widths they look to have, then the suggested rectangle,
// whose WM_SIZE places the controls at the new DPI.
void ChangeDpi(HWND window, int dpi, const RECT* suggested) {
    const int before = WindowDpi(window);
    const ListWindowState* state = StateOf(window);
    HWND list = GetDlgItem(window, kListId);
    if (dpi > 0 && dpi != before && state != nullptr && list != nullptr) {
        for (int c = 0; c < state->spec.columnCount; ++c) {
            const int width = static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, c, 0));
            SendMessageW(list, LVM_SETCOLUMNWIDTH, c,
                         MAKELPARAM(RescaleForDpi(width, before, dpi), 0));
        }
    }
    MoveToDpi(window, dpi, suggested);
    PlaceForClient(window);
}

const char16_t* CellText(ListWindowState* state, int line, int column, char16_t* out) {
    out[0] = 0;
    if (state->spec.cell != nullptr) state->spec.cell(state->spec.context, line, column, out, kCellChars);
    return out;
}

void AnswerDisplayText(ListWindowState* state, NMLVDISPINFOW* info) {
    if ((info->item.mask & LVIF_TEXT) == 0) return;
    char16_t* buffer = state->cells[state->nextCell];
    state->nextCell ^= 1;
    info->item.pszText = W(const_cast<char16_t*>(CellText(state, info->item.iItem, info->item.iSubItem, buffer)));
}

// LVN_GETINFOTIP: the whole text of the cell under the pointer when its column cuts it.
void AnswerInfoTip(ListWindowState* state, NMLVGETINFOTIPW* tip) {
    if (tip->pszText == nullptr || tip->cchTextMax <= 0) return;
    const int column = InfoTipColumn(tip);
    tip->pszText[0] = 0;
    CellText(state, tip->iItem, column, state->tip);
    OfferInfoTipWhenCut(tip, column, state->tip);
}

int FocusedLine(HWND list) {
    return static_cast<int>(
        SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
}

// The window's menu at a screen point; its choice goes to the UiListWindowSpec command (or activation).
void ShowMenu(HWND window, POINT at) {
    ListWindowState* state = StateOf(window);
    if (state == nullptr || state->spec.menuCount <= 0) return;
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) return;
    for (int k = 0; k < state->spec.menuCount; ++k) {
        AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(kMenuBase + k), W(state->spec.menu[k].text));
    }
    const int chosen = static_cast<int>(TrackPopupMenu(
        menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, window, nullptr));
    DestroyMenu(menu);
    const int k = chosen - kMenuBase;
    if (chosen == 0 || k < 0 || k >= state->spec.menuCount) return;
    const int command = state->spec.menu[k].command;
    HWND list = GetDlgItem(window, kListId);
    if (command == kListWindowActivate) {
        const int line = FocusedLine(list);
        if (line >= 0 && state->spec.activate != nullptr) state->spec.activate(state->spec.context, line);
    } else if (state->spec.command != nullptr) {
        state->spec.command(state->spec.context, command);
    }
}

// The menu from the keyboard: below the focused line's start, a little in.
void ShowMenuAtFocus(HWND window) {
    HWND list = GetDlgItem(window, kListId);
    const int line = FocusedLine(list);
    RECT r{};
    POINT at{0, 0};
    if (line >= 0) {
        SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(line), FALSE);
        r.left = LVIR_BOUNDS;
        SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(line), reinterpret_cast<LPARAM>(&r));
        at = POINT{r.left + (r.bottom - r.top), r.bottom};
    }
    ClientToScreen(list, &at);
    ShowMenu(window, at);
}

uint32_t HeldModifiers() {
    uint32_t held = kModNone;
    if (GetKeyState(VK_CONTROL) < 0) held |= kModCtrl;
    if (GetKeyState(VK_SHIFT) < 0) held |= kModShift;
    if (GetKeyState(VK_MENU) < 0) held |= kModAlt;
    return held;
}

void HandleListKey(HWND window, ListWindowState* state, UINT key) {
    HWND list = GetDlgItem(window, kListId);
    switch (ListWindowKeyAction(key, HeldModifiers())) {
    case kListKeyCopy:
        if (state->spec.command != nullptr) state->spec.command(state->spec.context, kListWindowCopy);
        break;
    case kListKeySelectAll: {
        LVITEMW item{};
        item.stateMask = LVIS_SELECTED;
        item.state = LVIS_SELECTED;
        SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
        break;
    }
    case kListKeySearch:
        SetFocus(GetDlgItem(window, kSearchId));
        SendDlgItemMessageW(window, kSearchId, EM_SETSEL, 0, -1);
        break;
    case kListKeyMenu:
        ShowMenuAtFocus(window);
        break;
    default:
        break;
    }
}

LRESULT HandleNotify(HWND window, const NMHDR* header) {
    ListWindowState* state = StateOf(window);
    if (header == nullptr || header->idFrom != kListId || state == nullptr) return 0;
    NMHDR* h = const_cast<NMHDR*>(header);
    switch (header->code) {
    case LVN_GETDISPINFOW:
        AnswerDisplayText(state, reinterpret_cast<NMLVDISPINFOW*>(h));
        return 0;
    case LVN_GETINFOTIPW:
        AnswerInfoTip(state, reinterpret_cast<NMLVGETINFOTIPW*>(h));
        return 0;
    case LVN_ITEMACTIVATE: { // a double-click, or Enter on the focused line
        const int line = FocusedLine(header->hwndFrom);
        if (line >= 0 && state->spec.activate != nullptr) state->spec.activate(state->spec.context, line);
        return 0;
    }
    case LVN_COLUMNCLICK:
        if (state->spec.sort != nullptr) {
            state->spec.sort(state->spec.context, reinterpret_cast<const NMLISTVIEW*>(header)->iSubItem);
        }
        return 0;
    case LVN_KEYDOWN:
        HandleListKey(window, state, reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey);
        return 0;
    case NM_RCLICK: {
        POINT at{};
        GetCursorPos(&at);
        ShowMenu(window, at);
        return 0;
    }
    default:
        return 0;
    }
}

void HandleCommand(HWND window, WPARAM wParam) {
    ListWindowState* state = StateOf(window);
    if (state == nullptr) return;
    if (LOWORD(wParam) == kSearchId && HIWORD(wParam) == EN_CHANGE && state->spec.search != nullptr) {
        char16_t text[kSearchChars] = {};
        GetDlgItemTextW(window, kSearchId, W(text), static_cast<int>(kSearchChars));
        state->spec.search(state->spec.context, text);
    } else if (LOWORD(wParam) == kChoiceId && HIWORD(wParam) == CBN_SELCHANGE &&
               state->spec.choose != nullptr) {
        const int choice = static_cast<int>(SendDlgItemMessageW(window, kChoiceId, CB_GETCURSEL, 0, 0));
        if (choice >= 0) state->spec.choose(state->spec.context, choice);
    }
}

LRESULT CALLBACK ListWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        PlaceChildren(window, LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_NOTIFY: {
        // A line's command may change the main window's view: drawn before the next message.
        const LRESULT result = HandleNotify(window, reinterpret_cast<const NMHDR*>(lParam));
        ApplyOwnerViewChanges(window);
        return result;
    }
    case WM_COMMAND:
        HandleCommand(window, wParam);
        ApplyOwnerViewChanges(window);
        return 0;
    case WM_SETFOCUS: // the list has the keys when the window is activated
        SetFocus(GetDlgItem(window, kListId));
        return 0;
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

HWND MakeChild(HWND window, HINSTANCE module, DWORD exStyle, const wchar_t* className,
               const wchar_t* text, DWORD style, int id, HFONT font) {
    HWND child = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                                 window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), module,
                                 nullptr);
    if (child != nullptr) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return child;
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
    state->spec = *spec;
    const int dpi = WindowDpi(H(owner));
    const RECT at = PlaceOwnedWindow(H(owner), ScaleByDpi(spec->width, dpi), ScaleByDpi(spec->height, dpi));
    HWND window = CreateWindowExW(0, kListWindowClass, W(spec->title), WS_OVERLAPPEDWINDOW, at.left,
                                  at.top, at.right - at.left, at.bottom - at.top, H(owner), nullptr,
                                  module, nullptr);
    if (window == nullptr) {
        FreeBlock(state);
        return nullptr;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
    HFONT hfont = static_cast<HFONT>(font);
    // A read-only edit rather than a static control: it wraps at the width it draws (Wine's
    // static control wraps a few pixels wider, cutting a letter), and its text can be selected.
    HWND headline = MakeChild(window, module, 0, L"EDIT", L"", ES_MULTILINE | ES_READONLY,
                              kHeadlineId, hfont);
    HWND searchLabel = MakeChild(window, module, 0, L"STATIC", L"&Search:", SS_LEFT, kSearchLabelId, hfont);
    HWND search = MakeChild(window, module, WS_EX_CLIENTEDGE, L"EDIT", L"",
                            WS_TABSTOP | ES_AUTOHSCROLL, kSearchId, hfont);
    HWND choiceLabel = MakeChild(window, module, 0, L"STATIC", L"S&how:", SS_RIGHT, kChoiceLabelId, hfont);
    HWND choice = MakeChild(window, module, 0, WC_COMBOBOXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST,
                            kChoiceId, hfont);
    // LVS_OWNERDATA: the list holds no texts; it asks for each cell it draws (LVN_GETDISPINFO).
    HWND list = MakeChild(window, module, WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                          WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, kListId, hfont);
    if (headline == nullptr || searchLabel == nullptr || search == nullptr || choiceLabel == nullptr ||
        choice == nullptr || list == nullptr) {
        DestroyWindow(window); // frees the state
        return nullptr;
    }
    // Cue banners need the comctl32 v6 manifest; without it the box is simply empty.
    SendMessageW(headline, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, 0);
    SendMessageW(search, EM_SETCUEBANNER, TRUE,
                 reinterpret_cast<LPARAM>(L"title, file, id, level, category or reason"));
    for (int k = 0; k < spec->choiceCount; ++k)
        SendMessageW(choice, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(spec->choices[k])));
    SendMessageW(choice, CB_SETCURSEL, 0, 0);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER | LVS_EX_INFOTIP);
    for (int c = 0; c < spec->columnCount; ++c) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = const_cast<wchar_t*>(W(spec->headings[c]));
        column.cx = ScaleByDpi(spec->columnWidths[c], dpi);
        column.iSubItem = c;
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c),
                     reinterpret_cast<LPARAM>(&column));
    }
    PlaceForClient(window);
    return window;
}

bool TranslateListWindowKey(HWND root, const MSG* msg) {
    if (msg->message != WM_KEYDOWN) return false;
    HWND search = GetDlgItem(root, kSearchId);
    HWND choice = GetDlgItem(root, kChoiceId);
    HWND list = GetDlgItem(root, kListId);
    // The message's window is the focused control (or a part of it, such as a header).
    ListWindowPart part = kListPartOther;
    if (msg->hwnd == search || IsChild(search, msg->hwnd)) part = kListPartSearch;
    else if (msg->hwnd == choice || IsChild(choice, msg->hwnd)) part = kListPartChoice;
    else if (msg->hwnd == list || IsChild(list, msg->hwnd)) part = kListPartList;
    const bool searchEmpty = GetWindowTextLengthW(search) == 0;
    const bool choiceOpen = SendMessageW(choice, CB_GETDROPPEDSTATE, 0, 0) != 0;
    switch (ListWindowNavigation(part, static_cast<uint32_t>(msg->wParam), HeldModifiers(),
                                 searchEmpty, choiceOpen)) {
    case kListMoveToSearch:
        SetFocus(search);
        SendMessageW(search, EM_SETSEL, 0, -1);
        return true;
    case kListMoveToChoice:
        SetFocus(choice);
        return true;
    case kListMoveToList:
        SetFocus(list);
        // A list without a focused line shows no trace of the focus: the first line takes it
        // (not the selection), so the arrows start there and the user sees where Tab went.
        if (FocusedLine(list) < 0 && SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) > 0) {
            LVITEMW item{};
            item.stateMask = LVIS_FOCUSED;
            item.state = LVIS_FOCUSED;
            SendMessageW(list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&item));
        }
        return true;
    case kListMoveClearSearch:
        SetWindowTextW(search, L""); // EN_CHANGE shows every line again
        return true;
    case kListMoveClose:
        PostMessageW(root, WM_CLOSE, 0, 0);
        return true;
    default:
        return false;
    }
}

bool UiIsListWindow(UiHandle window) {
    if (window == nullptr || !IsWindow(H(window))) return false;
    // A handle the system gave again to another window is not ours.
    wchar_t name[32] = {};
    GetClassNameW(H(window), name, 32);
    return lstrcmpW(name, kListWindowClass) == 0;
}

void UiListWindowSetHeadline(UiHandle window, const char16_t* text) {
    if (!UiIsListWindow(window)) return;
    // The same text again changes nothing (and sets off no layout).
    wchar_t now[1400] = {};
    GetDlgItemTextW(H(window), kHeadlineId, now, 1400);
    if (lstrcmpW(now, W(text)) == 0) return;
    SetDlgItemTextW(H(window), kHeadlineId, W(text));
    PlaceForClient(H(window)); // the text may need another number of lines
}

void UiListWindowSetLineCount(UiHandle window, int count) {
    HWND list = ListOf(window);
    if (list == nullptr) return;
    LVITEMW none{};
    none.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
    SendMessageW(list, LVM_SETITEMCOUNT, static_cast<WPARAM>(count < 0 ? 0 : count), 0);
    InvalidateRect(list, nullptr, TRUE);
}

void UiListWindowRedraw(UiHandle window) {
    HWND list = ListOf(window);
    if (list != nullptr) InvalidateRect(list, nullptr, FALSE);
}

int UiListWindowNextSelected(UiHandle window, int after) {
    HWND list = ListOf(window);
    if (list == nullptr) return -1;
    return static_cast<int>(
        SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(after), LVNI_SELECTED));
}

int UiListWindowFocusedLine(UiHandle window) {
    HWND list = ListOf(window);
    return list != nullptr ? FocusedLine(list) : -1;
}

void UiListWindowSelectLine(UiHandle window, int line) {
    HWND list = ListOf(window);
    if (list == nullptr || line < 0) return;
    LVITEMW none{};
    none.stateMask = LVIS_SELECTED;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(line), reinterpret_cast<LPARAM>(&item));
    SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(line), FALSE);
}

void UiListWindowSetSortArrow(UiHandle window, int column, int direction) {
    HWND list = ListOf(window);
    if (list != nullptr) UiListSetSortArrow(list, column, direction);
}

} // namespace olv
