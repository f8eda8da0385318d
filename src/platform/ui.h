// The UI port: every window effect the core needs. The Windows shell implements it with the real
// controls; the headless implementation (platform/sim/headless_ui.h) keeps a model of them that
// tests and the replay tool read and script.
//
// The identifiers of the main window's controls, menu commands and context menu, and the
// application's own messages, are defined here, once: they are the contract between the
// application and every implementation of the port, each of which makes controls with these ids.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

using UiHandle = void*; // a window or control; null: none
using FontHandle = void*;
using ModuleHandle = void*;

// Control identifiers of the main window.
enum ControlId : int {
    kIdTargetEdit = 1001,
    kIdBrowseButton = 1002,
    kIdStartButton = 1003,
    kIdStopButton = 1004,
    kIdClearButton = 1005,
    kIdExportCsvButton = 1006,
    kIdEventList = 1007,
    kIdFileCheck = 1008,
    kIdRegistryCheck = 1009,
    kIdNetworkCheck = 1010,
    kIdProcessCheck = 1011,
    kIdFilterEdit = 1012,
    kIdStatusBar = 1013,
    kIdOperationCombo = 1014,
    kIdSuspiciousCheck = 1015,
};

// Menu command identifiers.
enum CommandId : int {
    kCmdExportCsv = 1101,
    kCmdExportJson = 1102,
    kCmdSaveSession = 1103,
    kCmdOpenSession = 1104,
    kCmdExit = 1105,
    kCmdLoadSigmaRules = 1106,
    kCmdExportJsonLines = 1107,
    kCmdLoadYaraRules = 1108,
    kCmdProcessTree = 1110,
    kCmdSummary = 1111,
    kCmdSuspiciousOnly = 1112,
    kCmdAutoScroll = 1113,
    kCmdSigmaRules = 1114,
    kCmdAbout = 1120,
    kCmdCheckRecording = 1121, // Help > Check Recording on This Machine (app/machine_check.h)
    // The Recording and Edit menus and the keys without a menu item (app/keyboard.h).
    kCmdStart = 1150,
    kCmdStop = 1151,
    kCmdClear = 1152,
    kCmdCopyRows = 1153,
    kCmdSelectAllRows = 1154,
    kCmdFind = 1155,
    kCmdFindNext = 1156,
    kCmdFindPrevious = 1157,
    kCmdFocusFilter = 1158,
    kCmdClearFilter = 1159, // Escape in the filter box
    kCmdCloseFind = 1160,   // Escape in the find box
    kCmdRowMenu = 1161,     // Shift+F10 and the context-menu key on the list
    kCmdShowAllRows = 1162, // Escape on the list: ends "rows of one Sigma rule only"
    kCmdScriptLogging = 1163, // Recording > Turn On Script Logging (a check item)
};

// Commands of the event list's context menu.
enum ContextMenuCommand : int {
    kMenuShowInExplorer = 2001,
    kMenuCopyPath = 2002,
    kMenuRulesMatched = 2003,
    // The process conditions (views/process_filter.h), also in the process tree's menu.
    kMenuOnlyProcess = 2010,
    kMenuOnlyProcessTree = 2011,
    kMenuHideProcess = 2012,
    kMenuShowAllProcesses = 2013,
    kMenuCopyCommandLine = 2014, // the process tree's menu only
    kMenuRowDetails = 2015,
    kMenuCopyRows = 2020,
    kMenuCopyCell = 2021,
};

// Notification codes carried in the high word of a command.
constexpr uint32_t kEnChange = 0x0300; // EN_CHANGE
constexpr uint32_t kCbnSelChange = 1;  // CBN_SELCHANGE
constexpr uint32_t kBnClicked = 0;     // BN_CLICKED

// Window messages the core posts and handles.
constexpr uint32_t kWmApp = 0x8000;
constexpr uint32_t WM_APP_TARGET_EXITED = kWmApp + 2;
constexpr uint32_t WM_APP_TRACE_STOPPED = kWmApp + 3;
constexpr uintptr_t TIMER_DRAIN = 1;

// Check box states (BST_*).
enum CheckState : int { kUnchecked = 0, kChecked = 1, kIndeterminate = 2 };

// Message box kinds and answers.
enum MessageIcon : int { kIconError, kIconWarning, kIconInformation, kIconQuestion };
enum MessageButtons : int { kButtonsOk, kButtonsYesNoDefaultNo };
enum MessageAnswer : int { kAnswerOk = 1, kAnswerCancel = 2, kAnswerYes = 6, kAnswerNo = 7 };

// --- list view (owner data) ---
// Sets the item count without invalidating the whole list and without scrolling.
void UiListSetItemCount(UiHandle list, int count);
void UiListInvalidate(UiHandle list, bool erase);
void UiListEnsureVisible(UiHandle list, int index);
// What auto-scroll needs of the list: items, the top item, items on a page, the first selected
// item (-1: none). False when the list cannot say (no list).
struct ListViewState {
    int32_t itemCount;
    int32_t topIndex;
    int32_t perPage;
    int32_t selected;
};
bool UiListGetViewState(UiHandle list, ListViewState* state);
// Selects and focuses only item index and brings it into view.
void UiListSelectItem(UiHandle list, int index);
// The header's sort arrow: on column, 1 up (ascending), -1 down (descending); every other
// column, and direction 0, without one.
void UiListSetSortArrow(UiHandle list, int column, int direction);
// The next selected item after index (-1: from the start); -1 when there is none.
int UiListNextSelected(UiHandle list, int after);
// The item with the focus rectangle; -1 when none.
int UiListFocusedItem(UiHandle list);
void UiListSelectAll(UiHandle list);
// Selects and focuses index alone and scrolls it into view.
void UiListSelectOnly(UiHandle list, int index);
// Gives control the keyboard focus; an edit box's text is selected, ready to be typed over.
void UiFocusControl(UiHandle control);

// --- combo box ---
void UiComboReset(UiHandle combo);
void UiComboAdd(UiHandle combo, const char16_t* text);
void UiComboSetSelection(UiHandle combo, int index);
int UiComboSelection(UiHandle combo); // -1: none
// Text of item index into out (capacity in characters); false when there is no such item.
bool UiComboItemText(UiHandle combo, int index, char16_t* out, size_t capacity);

// --- buttons, check boxes, edits ---
int UiGetCheck(UiHandle button); // CheckState; a missing control reads kUnchecked
void UiSetCheck(UiHandle button, int state);
// Text of an edit control, cut at capacity - 1 and terminated; empty for a missing control.
void UiGetText(UiHandle control, char16_t* out, size_t capacity);
void UiSetText(UiHandle control, const char16_t* text);
void UiEnable(UiHandle control, bool enabled);

// --- status bar, menu ---
void UiSetStatusText(UiHandle statusBar, const char16_t* text);
void UiCheckMenuItem(UiHandle window, int commandId, bool checked);

// --- fonts ---
void UiDeleteFont(FontHandle font); // safe with null

// --- main window ---
bool UiSetTimer(UiHandle window, uintptr_t id, uint32_t milliseconds);
void UiKillTimer(UiHandle window, uintptr_t id);
// PostMessageW; false when the message could not be posted.
bool UiPostMessage(UiHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
bool UiIsWindow(UiHandle window);
void UiDestroyWindow(UiHandle window);

// --- message boxes and dialogs ---
// owner may be null (no owner). Returns the answer (kAnswerOk for an OK box).
int UiMessageBox(UiHandle owner, const char16_t* text, const char16_t* caption, int icon,
                 int buttons);
// Save and open dialogs. filter is a double-NUL-terminated list of (description, pattern) pairs,
// as OPENFILENAMEW takes it; defaultExtension may be null. flags are the OFN_* bits the caller
// wants. On OK the chosen path is in path (capacity characters) and true is returned.
constexpr uint32_t kOfnOverwritePrompt = 0x00000002;
constexpr uint32_t kOfnPathMustExist = 0x00000800;
constexpr uint32_t kOfnFileMustExist = 0x00001000;
bool UiSaveFileDialog(UiHandle owner, const char16_t* filter, const char16_t* defaultExtension,
                      uint32_t flags, char16_t* path, size_t capacity);
bool UiOpenFileDialog(UiHandle owner, const char16_t* filter, uint32_t flags, char16_t* path,
                      size_t capacity);
// The save dialog of a filter with several file types: on OK also the type the user chose, 1 for
// the filter's first pair.
bool UiSaveFileDialogTyped(UiHandle owner, const char16_t* filter,
                           const char16_t* defaultExtension, uint32_t flags, char16_t* path,
                           size_t capacity, uint32_t* fileType);
// A folder picker titled by prompt, starting at the folder in path (when not empty). On OK the
// chosen folder is in path (capacity characters) and true is returned; a folder whose path does
// not fit, or a choice that is no folder of the file system, gives false.
bool UiFolderDialog(UiHandle owner, const char16_t* prompt, char16_t* path, size_t capacity);

// --- the View menu's windows ---
// A top-level window owned by owner, titled title, width x height (96-DPI pixels), whose client
// area one child fills. Null when it cannot be made (the command then ends silently); it shows
// once UiShowViewWindow is called and lives until the user closes it.
UiHandle UiOpenTreeWindow(UiHandle owner, ModuleHandle instance, const char16_t* title, int width,
                          int height, FontHandle font);
// Inserts an item as the last child of parentItem (null: a root item), carrying tag (the node's
// start row, which the window's commands act on); returns the new item, null when the insertion
// failed.
void* UiTreeInsert(UiHandle treeWindow, void* parentItem, const char16_t* text,
                   intptr_t tag = -1);
// A refill of the tree: Begin keeps the tags of the expanded items and of the selected one, and
// empties the tree without repainting; End expands the items with those tags again (every root
// item one level when the tree had no items), selects the kept one and repaints.
void UiTreeBeginRefresh(UiHandle treeWindow);
void UiTreeEndRefresh(UiHandle treeWindow);
// Expands every root item one level.
void UiTreeExpandRoots(UiHandle treeWindow);
// A read-only, multi-line text window (lines wrap, vertical scrolling).
UiHandle UiOpenTextWindow(UiHandle owner, ModuleHandle instance, const char16_t* title, int width,
                          int height, FontHandle font, const char16_t* text);
void UiShowViewWindow(UiHandle window);
// A top-level window owned by owner: a line of text (the headline), a search box and a choice
// of what to show, above a list of lines in columns (a virtual report list view: the window asks
// cell() for the texts of the lines it draws, so a count change costs nothing per line). Null
// when it cannot be made. It shows once UiShowViewWindow is called and lives until the user
// closes it. What each callback means is decided by the caller:
//   cell      the text of column of line, into out (capacity characters, terminated)
//   activate  a double-click or Enter on line
//   sort      a click on the heading of column
//   search    the search box's text changed (the whole text)
//   choose    another choice was taken (its index)
//   command   a menu item (a command of its menu), or kListWindowCopy for Ctrl+C
// The menu (right-click, Shift+F10, the menu key) lists menuCount items, each a text and the
// command it gives; an item whose command is kListWindowActivate activates the focused line.
// The list window's controls (child ids).
constexpr int kIdListHeadline = 1;
constexpr int kIdListLines = 2;
constexpr int kIdListSearch = 4;
constexpr int kIdListChoice = 6;
constexpr int kListWindowActivate = 0;
constexpr int kListWindowCopy = 1; // Ctrl+C in the list gives this command
struct UiListMenuItem {
    const char16_t* text;
    int command;
};
struct UiListWindowSpec {
    const char16_t* title;
    int width; // 96-DPI pixels
    int height;
    const char16_t* const* headings;
    const int* columnWidths; // 96-DPI pixels
    int columnCount;
    const char16_t* const* choices; // the "Show" box's items
    int choiceCount;
    const UiListMenuItem* menu;
    int menuCount;
    void* context;
    void (*cell)(void* context, int line, int column, char16_t* out, size_t capacity);
    void (*activate)(void* context, int line);
    void (*sort)(void* context, int column);
    void (*search)(void* context, const char16_t* text);
    void (*choose)(void* context, int choice);
    void (*command)(void* context, int command);
};
UiHandle UiOpenListWindow(UiHandle owner, ModuleHandle instance, FontHandle font,
                          const UiListWindowSpec* spec);
// True while window is a list window made by UiOpenListWindow that the user has not closed.
bool UiIsListWindow(UiHandle window);
// The headline; the window lays itself out again for its height.
void UiListWindowSetHeadline(UiHandle window, const char16_t* text);
// The number of lines; every line is asked for again. The selection is cleared.
void UiListWindowSetLineCount(UiHandle window, int count);
// Every shown line is asked for again (counts changed); the selection stays.
void UiListWindowRedraw(UiHandle window);
// The next selected line after line (-1: from the start); -1 when there is none.
int UiListWindowNextSelected(UiHandle window, int after);
// The line with the focus; -1 when none.
int UiListWindowFocusedLine(UiHandle window);
// Selects and focuses line alone and scrolls it into view.
void UiListWindowSelectLine(UiHandle window, int line);
// The heading's sort arrow: on column, 1 up, -1 down; direction 0 removes it.
void UiListWindowSetSortArrow(UiHandle window, int column, int direction);
void UiSetWindowTitle(UiHandle window, const char16_t* title);
// Replaces the text of a text window, keeping its scroll position.
void UiReplaceWindowText(UiHandle textWindow, const char16_t* text);
// The open tree (kViewTree) or summary (kViewSummary) windows, at most capacity into out;
// returns how many were written.
enum ViewWindowKind : int { kViewTree = 1, kViewSummary = 2 };
int UiOpenViewWindows(int kind, UiHandle* out, int capacity);
// A row's details: a read-only, selectable multi-line text with both scroll bars, and a "&Copy"
// button that puts the whole text on the clipboard.
UiHandle UiOpenDetailsWindow(UiHandle owner, ModuleHandle instance, const char16_t* title,
                             int width, int height, FontHandle font, const char16_t* text);
// The summary's fixed-pitch font ("Consolas", 13 pixels high at 96 DPI); null when it cannot be
// made.
FontHandle UiMakeSummaryFont();

// --- progress of a long operation on the window thread ---
// A small window owned by owner, titled title, with a progress bar for total steps, a line of
// text and a "Cancel" button (control id kIdProgressCancel); owner is disabled while it is
// shown, so the user can reach only Cancel. Null when it cannot be made: the operation then runs
// without progress and cannot be cancelled. Every function accepts null.
constexpr int kIdProgressCancel = 2; // IDCANCEL: Esc presses it too
constexpr int kIdProgressText = 2101;
constexpr int kIdProgressBar = 2102;
UiHandle UiBeginProgress(UiHandle owner, const char16_t* title, uint32_t total);
// Shows done of total and text, then handles the messages waiting for this thread (the window
// repaints, the user may press Cancel; commands for the owner arrive too, and the application
// ignores them while it is busy). True when the user has asked to cancel.
bool UiStepProgress(UiHandle progress, uint32_t done, const char16_t* text);
// Enables the owner again and removes the window.
void UiEndProgress(UiHandle progress);

// --- shell ---
// ShellExecuteW(owner, verb, file, parameters, null, SW_SHOWNORMAL); returns its result value
// (above 32 is success).
intptr_t UiShellExecute(UiHandle owner, const char16_t* verb, const char16_t* file,
                        const char16_t* parameters);
// Puts text on the clipboard as Unicode text; false when the clipboard or memory refused.
bool UiSetClipboardText(UiHandle owner, const char16_t* text);
} // namespace olv
