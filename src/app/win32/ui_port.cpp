// The UI port on the real controls: each function is one call of the system, with the handle
// and text converted at that line.

#include "app/win32/shell.h"

#include <shlobj.h>

#include "base/text.h"
#include "platform/memory.h"
#include "platform/ui.h"

namespace olv {

static_assert(kOfnOverwritePrompt == OFN_OVERWRITEPROMPT && kOfnPathMustExist == OFN_PATHMUSTEXIST &&
              kOfnFileMustExist == OFN_FILEMUSTEXIST);
static_assert(kAnswerOk == IDOK && kAnswerCancel == IDCANCEL && kAnswerYes == IDYES &&
              kAnswerNo == IDNO);
static_assert(kEnChange == EN_CHANGE && kCbnSelChange == CBN_SELCHANGE && kBnClicked == BN_CLICKED);
static_assert(kChecked == BST_CHECKED && kUnchecked == BST_UNCHECKED);
static_assert(kWmApp == WM_APP);

namespace {

UINT IconStyle(int icon) {
    switch (icon) {
    case kIconError:
        return MB_ICONERROR;
    case kIconWarning:
        return MB_ICONWARNING;
    case kIconQuestion:
        return MB_ICONQUESTION;
    default:
        return MB_ICONINFORMATION;
    }
}

bool RunFileDialog(bool save, UiHandle owner, const char16_t* filter,
                   const char16_t* defaultExtension, uint32_t flags, char16_t* path,
                   size_t capacity, uint32_t* fileType = nullptr) {
    if (path == nullptr || capacity == 0 || capacity > 0xFFFF) return false;
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = H(owner);
    dialog.lpstrFilter = W(filter);
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = W(path);
    dialog.nMaxFile = static_cast<DWORD>(capacity);
    dialog.Flags = flags;
    dialog.lpstrDefExt = W(defaultExtension);
    const bool chosen = (save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog)) != FALSE;
    if (chosen && fileType != nullptr) *fileType = dialog.nFilterIndex;
    return chosen;
}

// The folder picker starts at the folder given, when there is one.
int CALLBACK StartFolderPicker(HWND dialog, UINT message, LPARAM, LPARAM start) {
    if (message == BFFM_INITIALIZED && start != 0) {
        SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, start);
    }
    return 0;
}

} // namespace

void UiListSetItemCount(UiHandle list, int count) {
    // Neither repaint every item nor scroll: the view rebuild invalidates when it must, and
    // auto-scroll decides about scrolling.
    if (list != nullptr) {
        SendMessageW(H(list), LVM_SETITEMCOUNT, static_cast<WPARAM>(count),
                     LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
    }
}

void UiListInvalidate(UiHandle list, bool erase) {
    if (list != nullptr) InvalidateRect(H(list), nullptr, erase ? TRUE : FALSE);
}

void UiListEnsureVisible(UiHandle list, int index) {
    if (list != nullptr) SendMessageW(H(list), LVM_ENSUREVISIBLE, static_cast<WPARAM>(index), FALSE);
}

bool UiListGetViewState(UiHandle list, ListViewState* state) {
    if (list == nullptr || state == nullptr) return false;
    state->itemCount = static_cast<int32_t>(SendMessageW(H(list), LVM_GETITEMCOUNT, 0, 0));
    state->topIndex = static_cast<int32_t>(SendMessageW(H(list), LVM_GETTOPINDEX, 0, 0));
    state->perPage = static_cast<int32_t>(SendMessageW(H(list), LVM_GETCOUNTPERPAGE, 0, 0));
    state->selected = static_cast<int32_t>(
        SendMessageW(H(list), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    return true;
}

void UiListSelectItem(UiHandle list, int index) {
    if (list == nullptr) return;
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = 0; // item -1: every item loses selection and focus first
    SendMessageW(H(list), LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
    if (index < 0) return;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(H(list), LVM_SETITEMSTATE, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(&item));
    SendMessageW(H(list), LVM_ENSUREVISIBLE, static_cast<WPARAM>(index), FALSE);
}

void UiListSetSortArrow(UiHandle list, int column, int direction) {
    if (list == nullptr) return;
    HWND header = reinterpret_cast<HWND>(SendMessageW(H(list), LVM_GETHEADER, 0, 0));
    if (header == nullptr) return;
    const int columns = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < columns; ++i) {
        HDITEMW item{};
        item.mask = HDI_FORMAT;
        if (!SendMessageW(header, HDM_GETITEMW, static_cast<WPARAM>(i),
                          reinterpret_cast<LPARAM>(&item))) {
            continue;
        }
        item.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
        if (i == column && direction > 0) item.fmt |= HDF_SORTUP;
        if (i == column && direction < 0) item.fmt |= HDF_SORTDOWN;
        SendMessageW(header, HDM_SETITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    }
}

int UiListNextSelected(UiHandle list, int after) {
    if (list == nullptr) return -1;
    return static_cast<int>(
        SendMessageW(H(list), LVM_GETNEXTITEM, static_cast<WPARAM>(after), LVNI_SELECTED));
}

int UiListFocusedItem(UiHandle list) {
    if (list == nullptr) return -1;
    return static_cast<int>(SendMessageW(H(list), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
}

void UiListSelectAll(UiHandle list) {
    if (list == nullptr) return;
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED;
    state.state = LVIS_SELECTED;
    // Item -1: every item (an owner-data list keeps the selection as ranges, so this is cheap).
    SendMessageW(H(list), LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&state));
}

void UiListSelectOnly(UiHandle list, int index) {
    if (list == nullptr) return;
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED;
    state.state = 0;
    SendMessageW(H(list), LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&state));
    if (index < 0) return;
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(H(list), LVM_SETITEMSTATE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&state));
    SendMessageW(H(list), LVM_SETSELECTIONMARK, 0, index);
    SendMessageW(H(list), LVM_ENSUREVISIBLE, static_cast<WPARAM>(index), FALSE);
}

void UiFocusControl(UiHandle control) {
    if (control == nullptr) return;
    SetFocus(H(control));
    // An edit box's text is selected, so typing replaces it.
    wchar_t className[16] = {};
    GetClassNameW(H(control), className, 16);
    if (lstrcmpiW(className, L"Edit") == 0) SendMessageW(H(control), EM_SETSEL, 0, -1);
}

void UiComboReset(UiHandle combo) {
    if (combo != nullptr) SendMessageW(H(combo), CB_RESETCONTENT, 0, 0);
}

void UiComboAdd(UiHandle combo, const char16_t* text) {
    if (combo != nullptr) SendMessageW(H(combo), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(text)));
}

void UiComboSetSelection(UiHandle combo, int index) {
    if (combo != nullptr) SendMessageW(H(combo), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int UiComboSelection(UiHandle combo) {
    if (combo == nullptr) return -1;
    const LRESULT index = SendMessageW(H(combo), CB_GETCURSEL, 0, 0);
    return index == CB_ERR ? -1 : static_cast<int>(index);
}

bool UiComboItemText(UiHandle combo, int index, char16_t* out, size_t capacity) {
    if (combo == nullptr || out == nullptr || capacity == 0) return false;
    out[0] = 0;
    // CB_GETLBTEXT takes no buffer size: ask the length first, and read a longer item through a
    // block of its own size before cutting it.
    const LRESULT length = SendMessageW(H(combo), CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length < 0) return false;
    const size_t needed = static_cast<size_t>(length) + 1;
    if (needed <= capacity) {
        return SendMessageW(H(combo), CB_GETLBTEXT, static_cast<WPARAM>(index),
                            reinterpret_cast<LPARAM>(W(out))) != CB_ERR;
    }
    char16_t* whole = static_cast<char16_t*>(AllocZeroed(needed * sizeof(char16_t)));
    if (whole == nullptr) return false;
    const bool read = SendMessageW(H(combo), CB_GETLBTEXT, static_cast<WPARAM>(index),
                                   reinterpret_cast<LPARAM>(W(whole))) != CB_ERR;
    if (read) CopyBounded(out, capacity, whole);
    FreeBlock(whole);
    return read;
}

int UiGetCheck(UiHandle button) {
    if (button == nullptr) return kUnchecked;
    return static_cast<int>(SendMessageW(H(button), BM_GETCHECK, 0, 0));
}

void UiSetCheck(UiHandle button, int state) {
    if (button != nullptr) SendMessageW(H(button), BM_SETCHECK, static_cast<WPARAM>(state), 0);
}

void UiGetText(UiHandle control, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    if (control == nullptr) return;
    const int limit = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity);
    GetWindowTextW(H(control), W(out), limit); // cut at capacity - 1 and terminated
    out[capacity - 1] = 0;
}

void UiSetText(UiHandle control, const char16_t* text) {
    if (control != nullptr) SetWindowTextW(H(control), W(text));
}

void UiEnable(UiHandle control, bool enabled) {
    if (control != nullptr) EnableWindow(H(control), enabled ? TRUE : FALSE);
}

void UiSetStatusText(UiHandle statusBar, const char16_t* text) {
    if (statusBar == nullptr) return;
    SendMessageW(H(statusBar), SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(W(text)));
    // SBT_TOOLTIPS: the status bar shows this as a tooltip when the part cuts the text.
    SendMessageW(H(statusBar), SB_SETTIPTEXTW, 0, reinterpret_cast<LPARAM>(W(text)));
}

void UiCheckMenuItem(UiHandle window, int commandId, bool checked) {
    HMENU menu = window != nullptr ? GetMenu(H(window)) : nullptr;
    if (menu != nullptr) {
        CheckMenuItem(menu, static_cast<UINT>(commandId),
                      MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
    }
}

void UiDeleteFont(FontHandle font) {
    if (font != nullptr) DeleteObject(static_cast<HGDIOBJ>(font));
}

bool UiSetTimer(UiHandle window, uintptr_t id, uint32_t milliseconds) {
    return window != nullptr && SetTimer(H(window), id, milliseconds, nullptr) != 0;
}

void UiKillTimer(UiHandle window, uintptr_t id) {
    if (window != nullptr) KillTimer(H(window), id);
}

bool UiPostMessage(UiHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return PostMessageW(H(window), message, wParam, lParam) != FALSE;
}

bool UiIsWindow(UiHandle window) {
    return window != nullptr && IsWindow(H(window)) != FALSE;
}

void UiDestroyWindow(UiHandle window) {
    if (window != nullptr) DestroyWindow(H(window));
}

int UiMessageBox(UiHandle owner, const char16_t* text, const char16_t* caption, int icon,
                 int buttons) {
    const UINT style = IconStyle(icon) |
                       (buttons == kButtonsYesNoDefaultNo ? MB_YESNO | MB_DEFBUTTON2 : MB_OK);
    return MessageBoxW(H(owner), W(text), W(caption), style);
}

bool UiSaveFileDialog(UiHandle owner, const char16_t* filter, const char16_t* defaultExtension,
                      uint32_t flags, char16_t* path, size_t capacity) {
    return RunFileDialog(true, owner, filter, defaultExtension, flags, path, capacity);
}

bool UiOpenFileDialog(UiHandle owner, const char16_t* filter, uint32_t flags, char16_t* path,
                      size_t capacity) {
    return RunFileDialog(false, owner, filter, nullptr, flags, path, capacity);
}

bool UiSaveFileDialogTyped(UiHandle owner, const char16_t* filter,
                           const char16_t* defaultExtension, uint32_t flags, char16_t* path,
                           size_t capacity, uint32_t* fileType) {
    return RunFileDialog(true, owner, filter, defaultExtension, flags, path, capacity, fileType);
}

bool UiFolderDialog(UiHandle owner, const char16_t* prompt, char16_t* path, size_t capacity) {
    if (path == nullptr || capacity == 0 || capacity > 0xFFFF) return false;
    // The resizable picker needs COM on this thread; a thread already in COM keeps its mode
    // (RPC_E_CHANGED_MODE), and the picker then falls back to what that mode allows.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    BROWSEINFOW info{};
    info.hwndOwner = H(owner);
    info.lpszTitle = W(prompt);
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_NONEWFOLDERBUTTON;
    info.lpfn = StartFolderPicker;
    info.lParam = path[0] != 0 ? reinterpret_cast<LPARAM>(W(path)) : 0;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
    bool found = false;
    if (chosen != nullptr) {
        // Fails rather than cutting a path longer than the buffer.
        found = SHGetPathFromIDListEx(chosen, W(path), static_cast<DWORD>(capacity),
                                      GPFIDL_DEFAULT) != FALSE;
        CoTaskMemFree(chosen);
        if (!found) path[0] = 0;
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return found;
}

intptr_t UiShellExecute(UiHandle owner, const char16_t* verb, const char16_t* file,
                        const char16_t* parameters) {
    return reinterpret_cast<intptr_t>(
        ShellExecuteW(H(owner), W(verb), W(file), W(parameters), nullptr, SW_SHOWNORMAL));
}

bool UiSetClipboardText(UiHandle owner, const char16_t* text) {
    if (!OpenClipboard(H(owner))) return false;
    EmptyClipboard();
    const size_t bytes = (TextLength(text) + 1) * sizeof(char16_t);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool set = false;
    if (block != nullptr) {
        void* data = GlobalLock(block);
        if (data != nullptr) {
            CopyMemory(data, text != nullptr ? static_cast<const void*>(text) : L"", bytes);
            GlobalUnlock(block);
            set = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
        }
        // The clipboard owns the block only once SetClipboardData accepted it.
        if (!set) GlobalFree(block);
    }
    CloseClipboard();
    return set;
}

} // namespace olv
