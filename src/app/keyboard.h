// The main window's keyboard: which key does what, given the control that has the focus. The
// Windows shell asks CommandForKey for every key pressed in the main window or the find window
// before anything else sees it; a key that gives a command goes no further, every other key goes
// on to the focused control and the dialog-style navigation (Tab, Shift+Tab, arrows within a
// group, Alt + access key).
//
// Keys never take a text box's own editing keys: in the path, filter and find boxes Ctrl+X,
// Ctrl+C, Ctrl+V, Ctrl+A and Ctrl+Z edit text. Ctrl+A and Ctrl+C act on rows only while the list
// has the focus; Ctrl+X clears the recording only while no text box has it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/recording_setup.h"

namespace olv {

// Where the keyboard focus is, as far as the keys care.
enum FocusKind : uint8_t {
    kFocusOther,     // a button, a check box, the combo box, the window itself
    kFocusPathBox,   // targetEdit
    kFocusFilterBox, // filterEdit
    kFocusFindBox,   // the find window's text box
    kFocusList,      // eventList
};

// Modifier keys held, as bits.
enum KeyModifier : uint32_t { kModNone = 0, kModCtrl = 1, kModShift = 2, kModAlt = 4 };

// Virtual-key codes (the Windows values; the shell asserts that they agree). Letters and digits
// are their upper-case ASCII codes.
constexpr uint32_t kVkTab = 0x09;
constexpr uint32_t kVkReturn = 0x0D;
constexpr uint32_t kVkEscape = 0x1B;
constexpr uint32_t kVkApps = 0x5D; // the context-menu key
constexpr uint32_t kVkF3 = 0x72;
constexpr uint32_t kVkF5 = 0x74;
constexpr uint32_t kVkF10 = 0x79;

// Where a binding applies.
enum KeyScope : uint8_t {
    kScopeAnywhere,      // every focus
    kScopeNotInTextBox,  // not in the path, filter or find box (the key edits text there)
    kScopeList,          // only while the list has the focus
    kScopePathBox,
    kScopeFilterBox,
    kScopeFindBox,
};

struct KeyBinding {
    uint32_t key;       // virtual-key code
    uint32_t modifiers; // exactly these are held
    KeyScope scope;
    int command;        // CommandId the key sends to the main window
};
extern const KeyBinding kKeyBindings[];
extern const size_t kKeyBindingCount;

// The command a key pressed with these modifiers gives where the focus is; 0 when the key is
// the focused control's own (or nobody's) and must go on to it.
int CommandForKey(FocusKind focus, uint32_t key, uint32_t modifiers);

// The keys of a list window's list (the Sigma Rules window): Ctrl+C copies the selected lines,
// Ctrl+A selects every line, Ctrl+F and Ctrl+L go to the search box, Shift+F10 and the menu key
// open the menu at the focused line. Enter (activation) is the list's own. Any other key is the
// list's.
enum ListKeyAction : int {
    kListKeyNone = 0,
    kListKeyCopy,
    kListKeySelectAll,
    kListKeySearch,
    kListKeyMenu,
};
int ListWindowKeyAction(uint32_t key, uint32_t modifiers);

// Tab and Escape in a list window, which is no dialog: Tab and Shift+Tab go round the search box,
// the "Show" choice and the list (from any other control, such as the headline, Tab starts at
// the search box and Shift+Tab at the list). Escape in a search box that holds text clears it,
// so the whole list is back with one key; otherwise Escape closes the window, as it closes the
// other windows that are read and left. While the choice's drop-down is open Escape is the
// choice's own (it closes the drop-down).
enum ListWindowPart : uint8_t { kListPartOther, kListPartSearch, kListPartChoice, kListPartList };
enum ListWindowMove : int {
    kListMoveNone = 0, // the key goes on to the control
    kListMoveToSearch,
    kListMoveToChoice,
    kListMoveToList,
    kListMoveClearSearch,
    kListMoveClose,
};
int ListWindowNavigation(ListWindowPart part, uint32_t key, uint32_t modifiers, bool searchEmpty,
                         bool choiceOpen);

// Whether a key that gives no command goes straight to the focused control instead of through
// the dialog-style navigation: Enter on the list, which the navigation would otherwise take as
// "press the default button", so that the list reports it (NM_RETURN) and a row can be opened.
bool KeyBypassesNavigation(FocusKind focus, uint32_t key, uint32_t modifiers);

// Which kind of control handle is, for this Recording (the find box included).
FocusKind FocusKindOf(const Recording* app, UiHandle focus);

// The key of a binding as a menu shows it after a tab: "F5", "Shift+F5", "Ctrl+E".
void KeyName(const KeyBinding& binding, char16_t* out, size_t capacity);

// The access key of a control or menu text: the character after the first single "&", upper-
// cased for ASCII letters ("S&top" gives 'T'); 0 when the text has none ("&&" is a literal &).
char16_t AccessKeyOf(const char16_t* text);

// Whether a command can be given now: Start only while no recording runs, Stop only while one
// does. Menus grey out what cannot be given, and keys for it do nothing.
bool CommandAvailable(const Recording* app, int command);

// The find window: a small tool window owned by the main window. Its controls, in Tab order,
// with positions in 96-DPI pixels inside a client area of kFindClientWidth x kFindClientHeight.
enum FindControlId : int {
    kIdFindLabel = 1201,
    kIdFindText = 1202,
    kIdFindMatchCase = 1203,
    kIdFindUp = 1204,
    kIdFindDown = 1205,
    kIdFindNextButton = 1206,
    kIdFindCloseButton = 1207,
    kIdFindMessage = 1208,
};
enum FindControlKind : uint8_t {
    kFindStatic,
    kFindEdit,
    kFindCheck,
    kFindRadio,
    kFindButton,
    kFindDefaultButton,
};
struct FindWindowControl {
    int id;
    FindControlKind kind;
    const char16_t* text;
    bool group; // starts a group (WS_GROUP)
    int x, y, width, height;
};
constexpr int kFindControlCount = 8;
constexpr int kFindClientWidth = 380;
constexpr int kFindClientHeight = 112;
extern const FindWindowControl kFindControls[kFindControlCount];
extern const char16_t kFindTitle[];

} // namespace olv
