// The headless UI: the UI port (platform/ui.h) against an in-memory model of the main window and
// its controls. Tests and the replay tool script it (check states, texts, answers of message
// boxes and dialogs, failures) and read what the core did to it (item counts, invalidations,
// status text, message boxes shown, posted messages, timers, menu check marks).
//
// A UiHandle given out by the model is a pointer to one of its HeadlessControl records. There is
// one process-wide model. Everything except the posted-message queue belongs to the window
// thread; UiPostMessage and the posted-message functions may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/ui.h"

namespace olv {

constexpr size_t kHeadlessTextChars = 1024;    // text of one control (edit, status bar, window)
constexpr int kHeadlessComboItems = 256;       // items the combo box holds
constexpr size_t kHeadlessComboChars = 64;     // characters per combo item, terminator included
constexpr int kHeadlessMessageLog = 64;        // message boxes kept (the most recent ones)
constexpr size_t kHeadlessMessageChars = 8700; // text of a logged message box
constexpr size_t kHeadlessCaptionChars = 64;
constexpr int kHeadlessPostedCapacity = 1024; // posted messages waiting; more are refused
constexpr int kHeadlessAnswerQueue = 32;      // scripted answers of each kind waiting
constexpr size_t kHeadlessPathChars = 1024;   // scripted dialog paths
constexpr size_t kHeadlessFilterChars = 256;  // dialog filter kept (double-NUL list)
constexpr int kHeadlessTimers = 8;
constexpr int kHeadlessPerPage = 20; // items the headless list shows at a time
constexpr int kHeadlessFonts = 8;
constexpr int kHeadlessShellLog = 16;
constexpr size_t kHeadlessClipboardChars = 4096;
constexpr int kHeadlessFirstMenuCommand = 1100;
constexpr int kHeadlessMenuCommands = 64; // command ids 1100 to 1163
constexpr intptr_t kHeadlessShellSuccess = 42;
constexpr int kHeadlessSelectableItems = 4096; // items whose selection the model keeps

enum HeadlessKind : uint8_t {
    kHeadlessWindow,
    kHeadlessEdit,
    kHeadlessButton,
    kHeadlessCheckBox,
    kHeadlessCombo,
    kHeadlessList,
    kHeadlessStatusBar,
};

// One window or control. The main window has id 0.
struct HeadlessControl {
    int id;
    HeadlessKind kind;
    uint8_t exists;  // cleared when the main window is destroyed
    uint8_t enabled; // UiEnable
    int check;       // CheckState (check boxes)
    char16_t text[kHeadlessTextChars];
    uint32_t textSets; // UiSetText / UiSetStatusText calls
    uint32_t textsCut; // texts that did not fit and were cut
};

// The event list (owner-data list view).
struct HeadlessList {
    int itemCount;
    uint32_t itemCountSets;
    uint32_t invalidations;        // repaint without erasing
    uint32_t erasingInvalidations; // repaint with erasing
    int lastMadeVisible;           // index of the last UiListEnsureVisible; -1: none yet
    uint32_t madeVisibleCalls;
    uint32_t madeVisibleOutOfRange; // UiListEnsureVisible for an index outside the item count
    // The view, as UiListGetViewState reports it: tests scroll and select by setting these.
    // UiListEnsureVisible and UiListSelectItem move topIndex as the real list scrolls.
    int topIndex;
    int perPage; // kHeadlessPerPage after a reset
    int selectedItem; // the first selected item; -1: none
    uint32_t selections; // UiListSelectItem calls
    int sortColumn;      // the column with a sort arrow, -1: none
    int sortDirection;   // 1 up, -1 down
    int focusedItem;                // -1: none
    uint8_t allSelected;            // every item, also those past kHeadlessSelectableItems
    uint8_t selected[kHeadlessSelectableItems];
};

// The operation combo box.
struct HeadlessCombo {
    char16_t items[kHeadlessComboItems][kHeadlessComboChars];
    int count;
    int selection; // -1: none
    uint32_t resets;
    uint32_t itemsRefused; // adds beyond kHeadlessComboItems, not stored
    uint32_t itemsCut;     // items longer than kHeadlessComboChars - 1, stored cut
};

struct HeadlessMessageBox {
    char16_t text[kHeadlessMessageChars];
    char16_t caption[kHeadlessCaptionChars];
    int icon;    // MessageIcon
    int buttons; // MessageButtons
    int answer;  // what UiMessageBox returned
    uint8_t owned;
    uint8_t textCut; // the text did not fit kHeadlessMessageChars and is cut here
};

struct HeadlessPostedMessage {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

struct HeadlessTimer {
    uintptr_t id;
    uint32_t milliseconds;
    uint8_t active;
};

// The last file dialog shown.
struct HeadlessDialog {
    uint8_t save;   // 1: save dialog, 0: open dialog
    uint8_t folder; // 1: the folder picker (save 0; filter and extension empty)
    uint8_t owned;
    uint32_t flags;
    char16_t filter[kHeadlessFilterChars]; // NUL-separated, ends with two NULs (cut when long)
    char16_t defaultExtension[16];
    char16_t initialPath[kHeadlessPathChars]; // what the caller put into the path buffer
};

struct HeadlessShellCall {
    char16_t verb[16];
    char16_t file[260];
    char16_t parameters[1100];
    intptr_t result;
    uint8_t owned;
};

struct HeadlessFont {
    uint8_t live;
};

// The model. Read it through HeadlessModel(); change it through the functions below.
struct HeadlessUi {
    HeadlessControl controls[16]; // [0] the main window, then the controls of ControlId
    HeadlessList list;
    HeadlessCombo combo;
    uint8_t menuChecks[kHeadlessMenuCommands]; // by command id - kHeadlessFirstMenuCommand
    uint32_t unknownMenuItems;                 // UiCheckMenuItem for ids outside that range
    HeadlessTimer timers[kHeadlessTimers];
    uint8_t timersFail;
    HeadlessFont fonts[kHeadlessFonts];
    uint32_t fontsMade;
    uint32_t fontsDeleted;
    uint32_t badFontDeletes;     // a font deleted twice, or a font the model never made
    uint32_t foreignHandleCalls; // calls with a non-null handle that is not one of the model's
    uint32_t destroyCalls;       // UiDestroyWindow of the main window while it existed

    // Message boxes: the last kHeadlessMessageLog are kept; messageBoxCount counts all.
    HeadlessMessageBox messageLog[kHeadlessMessageLog];
    uint32_t messageBoxCount;
    uint32_t messageTextsCut;
    int answers[kHeadlessAnswerQueue];
    int answerCount;
    int defaultAnswer; // for Yes/No boxes when no answer is queued; initially kAnswerNo

    // File dialogs: each shown dialog takes the next scripted answer (a path, or cancel when
    // the path is empty); with none queued the dialog is cancelled.
    char16_t dialogAnswers[kHeadlessAnswerQueue][kHeadlessPathChars];
    int dialogAnswerCount;
    uint32_t dialogCount;
    uint32_t dialogPathsTooLong; // answers that did not fit the caller's buffer (dialog failed)
    uint32_t dialogFileType;     // the type the next typed save dialog reports (0: the first)
    HeadlessDialog lastDialog;

    // Shell executes: the last kHeadlessShellLog are kept; shellCount counts all.
    HeadlessShellCall shellLog[kHeadlessShellLog];
    uint32_t shellCount;
    intptr_t shellResults[kHeadlessAnswerQueue];
    int shellResultCount; // with none queued a call returns kHeadlessShellSuccess

    char16_t clipboard[kHeadlessClipboardChars];
    uint32_t clipboardSets;
    uint32_t clipboardCut;
    uint8_t clipboardFails;
    int focusedControl; // id of the control UiFocusControl last focused; -1: none
};

// A fresh model: every control exists and is enabled (except "Stop"), the four category boxes
// are checked and "Suspicious" is not, the combo box holds "All operations" selected, texts are
// empty (the main window's is "Olvetta"), the "Auto-scroll" menu item is checked, no message, no
// posted message (a WM_APP_TRACE_STOPPED text still queued is freed), no timer, no script.
void ResetHeadlessUi();
// The handle of the model's control id (0: the main window); null for any other id. Give it to
// WireControls (app/window_layout.h) to hand a Recording the model's controls.
UiHandle HeadlessControlHandle(int id);
HeadlessUi* HeadlessModel();
// 0: the main window; else a ControlId. Null for any other id.
HeadlessControl* HeadlessControlById(int id);

// --- scripting ---
void HeadlessSetCheck(int id, int state);
void HeadlessSetText(int id, const char16_t* text);
void HeadlessSelectCombo(int index); // as UiComboSetSelection
// Selects (or deselects) list item index, as a click with Ctrl would; the focus moves to it.
void HeadlessSelectItem(int index, bool selected);
// Answer for the next Yes/No message box (OK boxes take no answer and return kAnswerOk).
void HeadlessQueueAnswer(int answer);
void HeadlessSetDefaultAnswer(int answer);
// Next file dialog or folder picker: OK with this path. HeadlessQueueDialogCancel: the next one is cancelled.
void HeadlessQueueDialogPath(const char16_t* path);
void HeadlessQueueDialogCancel();
// The file type (1 for the filter's first) that the next typed save dialog reports as chosen.
void HeadlessSetDialogFileType(uint32_t fileType);
// Result of the next UiShellExecute (32 or less is a failure).
void HeadlessQueueShellResult(intptr_t result);
void HeadlessSetClipboardFails(bool fails);
void HeadlessSetTimersFail(bool fail);
// The next count calls of UiPostMessage fail (any thread).
void HeadlessFailNextPosts(int count);
// A font handle that UiDeleteFont accepts once; null when kHeadlessFonts are live.
FontHandle HeadlessMakeFont();
// Called by UiDestroyWindow on the main window before its controls go, as WM_DESTROY would be.
void HeadlessSetDestroyHandler(void (*handler)(void* context), void* context);
// Prints every message box from now on as one line "[error] text" (also [warning],
// [information], [question]), line feeds written as the two characters \n and carriage returns
// as \r. Null switches printing off. Survives ResetHeadlessUi.
void SetHeadlessMessageBoxEcho(FILE* out);

// --- observing ---
const char16_t* HeadlessText(int id); // "" for an unknown id
const char16_t* HeadlessStatusText();
const char16_t* HeadlessComboItem(int index); // null outside the items
bool HeadlessMenuChecked(int commandId);
uint32_t HeadlessTimerPeriod(uintptr_t id); // 0 when that timer is not set
// Message box number ordinal (0 = the first shown since the reset); null when it was never shown
// or has left the log.
const HeadlessMessageBox* HeadlessMessageBoxAt(uint32_t ordinal);
const HeadlessMessageBox* HeadlessLastMessageBox(); // null when none
const HeadlessShellCall* HeadlessLastShellCall();   // null when none

// --- posted messages (any thread) ---
uint32_t HeadlessPostedCount();
// Waits until a posted message waits to be taken; false when none came within the time.
bool HeadlessWaitForPost(uint32_t milliseconds);
// Takes the oldest posted message; false when none waits. The taker owns what lParam carries.
bool HeadlessTakePostedMessage(HeadlessPostedMessage* out);
uint32_t HeadlessPostsRefused(); // posts that failed (scripted, queue full, no window)

} // namespace olv
