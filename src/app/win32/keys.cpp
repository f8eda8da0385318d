// The keyboard of the main window and the find window: every key first goes to CommandForKey
// (app/keyboard.h), which decides from the focused control whether it is a command; the rest goes
// to dialog-style navigation (Tab, Shift+Tab, arrows within a group, Alt + access key, Enter on a
// button) and then to the focused control. The keyboard focus is kept across deactivation.
// Escape closes a details window; a list window has its own Tab and Escape.
#include "app/keyboard.h"
#include "app/win32/aux_window.h"
#include "app/win32/shell.h"

namespace olv {

static_assert(kVkReturn == VK_RETURN && kVkEscape == VK_ESCAPE && kVkApps == VK_APPS);
static_assert(kVkF3 == VK_F3 && kVkF5 == VK_F5 && kVkF10 == VK_F10);

namespace {

// The key whose press gave a command: its release is taken too, so that no window sees half a
// key (the release of Shift+F10 or of the menu key would open a second menu).
WPARAM gTakenKey = 0;
// The control that had the focus when the main window was last deactivated.
HWND gSavedFocus = nullptr;

bool IsClass(HWND window, const wchar_t* name) {
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    return lstrcmpW(className, name) == 0;
}

// The Recording of a message's window: that of the main window or the find window it is in.
Recording* AppOfMessage(const MSG* msg, HWND* root) {
    if (msg->hwnd == nullptr) return nullptr;
    *root = GetAncestor(msg->hwnd, GA_ROOT);
    if (*root == nullptr) return nullptr;
    if (!IsClass(*root, L"OlvettaWindow") && !IsClass(*root, L"OlvettaFind")) return nullptr;
    return reinterpret_cast<Recording*>(GetWindowLongPtrW(*root, GWLP_USERDATA));
}

uint32_t HeldModifiers() {
    uint32_t held = kModNone;
    if ((GetKeyState(VK_CONTROL) & 0x8000) != 0) held |= kModCtrl;
    if ((GetKeyState(VK_SHIFT) & 0x8000) != 0) held |= kModShift;
    if ((GetKeyState(VK_MENU) & 0x8000) != 0) held |= kModAlt;
    return held;
}

} // namespace

bool TranslateShellMessage(MSG* msg) {
    // A details window (a row's details, Rules Matched) is read and left: Escape closes it.
    if (msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE && msg->hwnd != nullptr) {
        HWND top = GetAncestor(msg->hwnd, GA_ROOT);
        if (top != nullptr && AuxWindowKind(top) == kViewDetails) {
            PostMessageW(top, WM_CLOSE, 0, 0);
            return true;
        }
    }
    if ((msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN) && msg->hwnd != nullptr) {
        HWND top = GetAncestor(msg->hwnd, GA_ROOT);
        if (top != nullptr && UiIsListWindow(top) && TranslateListWindowKey(top, msg)) return true;
    }
    HWND root = nullptr;
    Recording* app = AppOfMessage(msg, &root);
    if (app == nullptr) return false;
    const UINT m = msg->message;
    if (m == WM_KEYDOWN || m == WM_SYSKEYDOWN) {
        const FocusKind focus = FocusKindOf(app, GetFocus());
        const int command =
            CommandForKey(focus, static_cast<uint32_t>(msg->wParam), HeldModifiers());
        if (command != 0) {
            gTakenKey = msg->wParam;
            SendMessageW(H(OwnerWindow(app)), WM_COMMAND, MAKEWPARAM(command, 0), 0);
            return true;
        }
        if (KeyBypassesNavigation(focus, static_cast<uint32_t>(msg->wParam), HeldModifiers()))
            return false;
    } else if ((m == WM_KEYUP || m == WM_SYSKEYUP) && gTakenKey != 0 && msg->wParam == gTakenKey) {
        gTakenKey = 0;
        return true;
    }
    return IsDialogMessageW(root, msg) != FALSE;
}

void RememberFocus(Recording* app, WPARAM activation) {
    if (LOWORD(activation) != WA_INACTIVE) return;
    HWND focus = GetFocus();
    if (focus != nullptr && IsChild(H(OwnerWindow(app)), focus)) gSavedFocus = focus;
}

void RestoreFocus(Recording* app) {
    HWND main = H(OwnerWindow(app));
    HWND target = gSavedFocus;
    // The first time, and whenever the control went away or was disabled, the path box (or,
    // while a recording disables it, the list) takes the focus.
    if (target == nullptr || !IsChild(main, target) || !IsWindowEnabled(target)) {
        target = H(app->window->targetEdit);
        if (target == nullptr || !IsWindowEnabled(target)) target = H(app->window->eventList);
    }
    if (target != nullptr) SetFocus(target);
}

bool HandleShellCommand(Recording* app, WPARAM wParam) {
    switch (LOWORD(wParam)) {
    case kCmdFind:
        OpenFindWindow(app);
        return true;
    case kCmdFindNext:
    case kCmdFindPrevious:
        FindFromShell(app, LOWORD(wParam) == kCmdFindPrevious);
        return true;
    case kCmdCloseFind:
        CloseFindWindow(app);
        return true;
    case kCmdRowMenu:
        ShowRowMenuAtFocus(app);
        return true;
    default:
        return false;
    }
}

void EnableMenuCommands(Recording* app, HMENU popup) {
    const int count = GetMenuItemCount(popup);
    for (int i = 0; i < count; ++i) {
        const UINT id = GetMenuItemID(popup, i);
        if (id == 0 || id == static_cast<UINT>(-1)) continue;
        EnableMenuItem(popup, i,
                       MF_BYPOSITION | (CommandAvailable(app, static_cast<int>(id)) ? MF_ENABLED : MF_GRAYED));
    }
}

} // namespace olv
