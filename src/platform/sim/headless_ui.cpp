#include "platform/sim/headless_ui.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "base/text.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/sim/headless_progress.h"

namespace olv {

namespace {

HeadlessUi gModel;

void (*gDestroyHandler)(void*) = nullptr;
void* gDestroyContext = nullptr;
FILE* gEcho = nullptr;

// The part of the model other threads reach: guarded by its own lock.
struct PostedQueue {
    Lock lock;
    HeadlessPostedMessage slots[kHeadlessPostedCapacity];
    uint32_t head;  // oldest
    uint32_t count; // waiting
    uint32_t refused;
    int failNext;
    uint8_t windowAlive;
    PostedQueue() {
        std::memset(static_cast<void*>(this), 0, sizeof(*this));
        InitLock(&lock);
    }
};

PostedQueue& Posted() {
    static PostedQueue queue; // made once, on first use, whichever thread comes first
    return queue;
}

// Wakes a waiter of HeadlessWaitForPost. A poster takes the mutex after it queued its message,
// so a waiter that found none under the mutex is waiting by then and is woken.
struct PostSignal {
    std::mutex mutex;
    std::condition_variable posted;
};

PostSignal& Signal() {
    static PostSignal signal;
    return signal;
}

struct ControlSpec {
    int id;
    HeadlessKind kind;
};

constexpr ControlSpec kControls[16] = {
    {0, kHeadlessWindow},
    {kIdTargetEdit, kHeadlessEdit},
    {kIdBrowseButton, kHeadlessButton},
    {kIdStartButton, kHeadlessButton},
    {kIdStopButton, kHeadlessButton},
    {kIdClearButton, kHeadlessButton},
    {kIdExportCsvButton, kHeadlessButton},
    {kIdEventList, kHeadlessList},
    {kIdFileCheck, kHeadlessCheckBox},
    {kIdRegistryCheck, kHeadlessCheckBox},
    {kIdNetworkCheck, kHeadlessCheckBox},
    {kIdProcessCheck, kHeadlessCheckBox},
    {kIdFilterEdit, kHeadlessEdit},
    {kIdStatusBar, kHeadlessStatusBar},
    {kIdOperationCombo, kHeadlessCombo},
    {kIdSuspiciousCheck, kHeadlessCheckBox},
};

// The model's control behind a handle; null for null, foreign or destroyed handles.
HeadlessControl* Resolve(UiHandle handle) {
    if (handle == nullptr) return nullptr;
    const uintptr_t first = reinterpret_cast<uintptr_t>(&gModel.controls[0]);
    const uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    if (h < first || h >= first + sizeof gModel.controls ||
        (h - first) % sizeof(HeadlessControl) != 0) {
        ++gModel.foreignHandleCalls;
        return nullptr;
    }
    HeadlessControl* c = &gModel.controls[(h - first) / sizeof(HeadlessControl)];
    return c->exists ? c : nullptr;
}

HeadlessControl* ResolveKind(UiHandle handle, HeadlessKind kind) {
    HeadlessControl* c = Resolve(handle);
    return (c != nullptr && c->kind == kind) ? c : nullptr;
}

// Copies text into a buffer of the given capacity; returns true when it had to be cut.
bool CopyCounted(char16_t* buf, size_t capacity, const char16_t* text) {
    CopyBounded(buf, capacity, text);
    return TextLength(text) > capacity - 1;
}

void SetControlText(HeadlessControl* c, const char16_t* text) {
    ++c->textSets;
    if (CopyCounted(c->text, kHeadlessTextChars, text)) ++c->textsCut;
}

const char* IconName(int icon) {
    switch (icon) {
    case kIconError:
        return "error";
    case kIconWarning:
        return "warning";
    case kIconInformation:
        return "information";
    case kIconQuestion:
        return "question";
    default:
        return "message";
    }
}

// Writes text as UTF-8 with line feeds and carriage returns escaped.
void EchoText(FILE* out, const char16_t* text) {
    size_t length = TextLength(text);
    char bytes[1024 * 3 + 1];
    size_t at = 0;
    while (at < length) {
        size_t n = length - at < 1024 ? length - at : 1024;
        // Keep a surrogate pair together.
        if (n > 1 && at + n < length && text[at + n - 1] >= 0xD800 && text[at + n - 1] <= 0xDBFF)
            --n;
        Utf16ToUtf8(text + at, n, bytes, sizeof bytes);
        for (size_t i = 0; bytes[i] != 0; ++i) {
            if (bytes[i] == '\n') {
                std::fputs("\\n", out);
            } else if (bytes[i] == '\r') {
                std::fputs("\\r", out);
            } else {
                std::fputc(bytes[i], out);
            }
        }
        at += n;
    }
}

// Length of a double-NUL-terminated list, the final NUL included, at most capacity - 1.
size_t FilterLength(const char16_t* filter, size_t limit) {
    if (filter == nullptr) return 0;
    size_t i = 0;
    while (i + 1 < limit && !(filter[i] == 0 && filter[i + 1] == 0))
        ++i;
    return i + 1 < limit ? i + 2 : limit;
}

bool FileDialog(bool save, UiHandle owner, const char16_t* filter, const char16_t* defaultExtension,
                uint32_t flags, char16_t* path, size_t capacity) {
    HeadlessDialog& d = gModel.lastDialog;
    std::memset(static_cast<void*>(&d), 0, sizeof d);
    d.save = save ? 1 : 0;
    d.owned = owner != nullptr ? 1 : 0;
    d.flags = flags;
    if (filter != nullptr) {
        size_t n = FilterLength(filter, kHeadlessFilterChars - 2);
        std::memcpy(d.filter, filter, n * sizeof(char16_t));
    }
    CopyBounded(d.defaultExtension, 16, defaultExtension);
    if (path != nullptr && capacity > 0)
        AppendBoundedN(d.initialPath, kHeadlessPathChars, path, capacity);
    ++gModel.dialogCount;

    char16_t answer[kHeadlessPathChars] = {};
    if (gModel.dialogAnswerCount > 0) {
        CopyBounded(answer, kHeadlessPathChars, gModel.dialogAnswers[0]);
        --gModel.dialogAnswerCount;
        std::memmove(gModel.dialogAnswers[0], gModel.dialogAnswers[1],
                     static_cast<size_t>(gModel.dialogAnswerCount) *
                         sizeof gModel.dialogAnswers[0]);
    }
    if (answer[0] == 0) return false; // cancelled
    if (path == nullptr || capacity == 0) return false;
    if (TextLength(answer) > capacity - 1) {
        // The real dialog fails with "buffer too small" rather than cutting the path.
        ++gModel.dialogPathsTooLong;
        path[0] = 0;
        return false;
    }
    CopyBounded(path, capacity, answer);
    return true;
}

} // namespace

// --- model ---

void ResetHeadlessUi() {
    PostedQueue& q = Posted();
    {
        LockGuard guard(&q.lock);
        for (uint32_t i = 0; i < q.count; ++i) {
            const HeadlessPostedMessage& m = q.slots[(q.head + i) % kHeadlessPostedCapacity];
            if (m.message == WM_APP_TRACE_STOPPED && m.lParam != 0) {
                FreeBlock(reinterpret_cast<void*>(m.lParam));
            }
        }
        q.head = 0;
        q.count = 0;
        q.refused = 0;
        q.failNext = 0;
        q.windowAlive = 1;
    }

    std::memset(static_cast<void*>(&gModel), 0, sizeof gModel);
    for (int i = 0; i < 16; ++i) {
        HeadlessControl& c = gModel.controls[i];
        c.id = kControls[i].id;
        c.kind = kControls[i].kind;
        c.exists = 1;
        c.enabled = 1;
        c.check = kUnchecked;
    }
    CopyAscii(gModel.controls[0].text, kHeadlessTextChars, "Olvetta");
    HeadlessControlById(kIdStopButton)->enabled = 0;
    HeadlessControlById(kIdFileCheck)->check = kChecked;
    HeadlessControlById(kIdRegistryCheck)->check = kChecked;
    HeadlessControlById(kIdNetworkCheck)->check = kChecked;
    HeadlessControlById(kIdProcessCheck)->check = kChecked;
    CopyAscii(gModel.combo.items[0], kHeadlessComboChars, "All operations");
    gModel.combo.count = 1;
    gModel.combo.selection = 0;
    gModel.list.lastMadeVisible = -1;
    gModel.list.perPage = kHeadlessPerPage;
    gModel.list.selectedItem = -1;
    gModel.list.sortColumn = -1;
    gModel.list.focusedItem = -1;
    gModel.focusedControl = -1;
    gModel.menuChecks[kCmdAutoScroll - kHeadlessFirstMenuCommand] = 1;
    gModel.defaultAnswer = kAnswerNo;
    gDestroyHandler = nullptr;
    gDestroyContext = nullptr;
    ResetHeadlessProgress();
}

UiHandle HeadlessControlHandle(int id) {
    return HeadlessControlById(id);
}

HeadlessUi* HeadlessModel() {
    return &gModel;
}

HeadlessControl* HeadlessControlById(int id) {
    for (int i = 0; i < 16; ++i) {
        if (kControls[i].id == id) return &gModel.controls[i];
    }
    return nullptr;
}

// --- scripting ---

void HeadlessSetCheck(int id, int state) {
    UiSetCheck(HeadlessControlById(id), state);
}

void HeadlessSetText(int id, const char16_t* text) {
    UiSetText(HeadlessControlById(id), text);
}

void HeadlessSelectCombo(int index) {
    UiComboSetSelection(HeadlessControlById(kIdOperationCombo), index);
}

void HeadlessQueueAnswer(int answer) {
    if (gModel.answerCount < kHeadlessAnswerQueue) gModel.answers[gModel.answerCount++] = answer;
}

void HeadlessSetDefaultAnswer(int answer) {
    gModel.defaultAnswer = answer;
}

void HeadlessQueueDialogPath(const char16_t* path) {
    if (gModel.dialogAnswerCount >= kHeadlessAnswerQueue) return;
    CopyBounded(gModel.dialogAnswers[gModel.dialogAnswerCount++], kHeadlessPathChars, path);
}

void HeadlessQueueDialogCancel() {
    HeadlessQueueDialogPath(u"");
}

void HeadlessSetDialogFileType(uint32_t fileType) {
    gModel.dialogFileType = fileType;
}

void HeadlessQueueShellResult(intptr_t result) {
    if (gModel.shellResultCount < kHeadlessAnswerQueue) {
        gModel.shellResults[gModel.shellResultCount++] = result;
    }
}

void HeadlessSetClipboardFails(bool fails) {
    gModel.clipboardFails = fails ? 1 : 0;
}

void HeadlessSetTimersFail(bool fail) {
    gModel.timersFail = fail ? 1 : 0;
}

void HeadlessFailNextPosts(int count) {
    PostedQueue& q = Posted();
    LockGuard guard(&q.lock);
    q.failNext = count > 0 ? count : 0;
}

FontHandle HeadlessMakeFont() {
    for (int i = 0; i < kHeadlessFonts; ++i) {
        if (gModel.fonts[i].live == 0) {
            gModel.fonts[i].live = 1;
            ++gModel.fontsMade;
            return &gModel.fonts[i];
        }
    }
    return nullptr;
}

void HeadlessSetDestroyHandler(void (*handler)(void* context), void* context) {
    gDestroyHandler = handler;
    gDestroyContext = context;
}

void SetHeadlessMessageBoxEcho(FILE* out) {
    gEcho = out;
}

// --- observing ---

const char16_t* HeadlessText(int id) {
    HeadlessControl* c = HeadlessControlById(id);
    return c != nullptr ? c->text : u"";
}

const char16_t* HeadlessStatusText() {
    return HeadlessText(kIdStatusBar);
}

const char16_t* HeadlessComboItem(int index) {
    if (index < 0 || index >= gModel.combo.count) return nullptr;
    return gModel.combo.items[index];
}

bool HeadlessMenuChecked(int commandId) {
    int i = commandId - kHeadlessFirstMenuCommand;
    return i >= 0 && i < kHeadlessMenuCommands && gModel.menuChecks[i] != 0;
}

uint32_t HeadlessTimerPeriod(uintptr_t id) {
    for (const HeadlessTimer& t : gModel.timers) {
        if (t.active && t.id == id) return t.milliseconds;
    }
    return 0;
}

const HeadlessMessageBox* HeadlessMessageBoxAt(uint32_t ordinal) {
    if (ordinal >= gModel.messageBoxCount) return nullptr;
    if (gModel.messageBoxCount - ordinal > static_cast<uint32_t>(kHeadlessMessageLog))
        return nullptr;
    return &gModel.messageLog[ordinal % kHeadlessMessageLog];
}

const HeadlessMessageBox* HeadlessLastMessageBox() {
    if (gModel.messageBoxCount == 0) return nullptr;
    return HeadlessMessageBoxAt(gModel.messageBoxCount - 1);
}

const HeadlessShellCall* HeadlessLastShellCall() {
    if (gModel.shellCount == 0) return nullptr;
    return &gModel.shellLog[(gModel.shellCount - 1) % kHeadlessShellLog];
}

// --- posted messages ---

uint32_t HeadlessPostedCount() {
    PostedQueue& q = Posted();
    LockGuard guard(&q.lock);
    return q.count;
}

bool HeadlessWaitForPost(uint32_t milliseconds) {
    PostSignal& s = Signal();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.posted.wait_for(lock, std::chrono::milliseconds(milliseconds),
                             [] { return HeadlessPostedCount() > 0; });
}

bool HeadlessTakePostedMessage(HeadlessPostedMessage* out) {
    PostedQueue& q = Posted();
    LockGuard guard(&q.lock);
    if (q.count == 0) return false;
    *out = q.slots[q.head];
    q.head = (q.head + 1) % kHeadlessPostedCapacity;
    --q.count;
    return true;
}

uint32_t HeadlessPostsRefused() {
    PostedQueue& q = Posted();
    LockGuard guard(&q.lock);
    return q.refused;
}

// --- the UI port ---

void UiListSetItemCount(UiHandle list, int count) {
    if (ResolveKind(list, kHeadlessList) == nullptr) return;
    gModel.list.itemCount = count;
    ++gModel.list.itemCountSets;
}

void UiListInvalidate(UiHandle list, bool erase) {
    if (ResolveKind(list, kHeadlessList) == nullptr) return;
    if (erase) {
        ++gModel.list.erasingInvalidations;
    } else {
        ++gModel.list.invalidations;
    }
}

void UiListEnsureVisible(UiHandle list, int index) {
    if (ResolveKind(list, kHeadlessList) == nullptr) return;
    gModel.list.lastMadeVisible = index;
    ++gModel.list.madeVisibleCalls;
    if (index < 0 || index >= gModel.list.itemCount) {
        ++gModel.list.madeVisibleOutOfRange;
        return;
    }
    HeadlessList& l = gModel.list;
    if (index < l.topIndex) l.topIndex = index;
    if (l.perPage > 0 && index >= l.topIndex + l.perPage) l.topIndex = index - l.perPage + 1;
}

bool UiListGetViewState(UiHandle list, ListViewState* state) {
    if (ResolveKind(list, kHeadlessList) == nullptr || state == nullptr) return false;
    state->itemCount = gModel.list.itemCount;
    state->topIndex = gModel.list.topIndex;
    state->perPage = gModel.list.perPage;
    state->selected = gModel.list.selectedItem < gModel.list.itemCount ? gModel.list.selectedItem : -1;
    return true;
}

void UiListSelectItem(UiHandle list, int index) {
    if (ResolveKind(list, kHeadlessList) == nullptr) return;
    gModel.list.selectedItem = index;
    ++gModel.list.selections;
    UiListEnsureVisible(list, index);
}

void UiListSetSortArrow(UiHandle list, int column, int direction) {
    if (ResolveKind(list, kHeadlessList) == nullptr) return;
    gModel.list.sortColumn = direction != 0 ? column : -1;
    gModel.list.sortDirection = direction;
}

int UiListNextSelected(UiHandle list, int after) {
    if (ResolveKind(list, kHeadlessList) == nullptr) return -1;
    const HeadlessList& l = gModel.list;
    for (int i = after < 0 ? 0 : after + 1; i < l.itemCount; ++i) {
        if (l.allSelected != 0 || (i < kHeadlessSelectableItems && l.selected[i] != 0)) return i;
    }
    return -1;
}

int UiListFocusedItem(UiHandle list) {
    if (ResolveKind(list, kHeadlessList) == nullptr) return -1;
    return gModel.list.focusedItem < gModel.list.itemCount ? gModel.list.focusedItem : -1;
}

void UiListSelectAll(UiHandle list) {
    if (ResolveKind(list, kHeadlessList) == nullptr) return;
    gModel.list.allSelected = 1;
}

void UiListSelectOnly(UiHandle list, int index) {
    if (ResolveKind(list, kHeadlessList) == nullptr) return;
    gModel.list.allSelected = 0;
    std::memset(gModel.list.selected, 0, sizeof gModel.list.selected);
    if (index >= 0 && index < kHeadlessSelectableItems) gModel.list.selected[index] = 1;
    gModel.list.focusedItem = index;
    UiListEnsureVisible(list, index);
}

void UiFocusControl(UiHandle control) {
    HeadlessControl* c = Resolve(control);
    if (c != nullptr) gModel.focusedControl = c->id;
}

void HeadlessSelectItem(int index, bool selected) {
    if (index < 0 || index >= kHeadlessSelectableItems) return;
    if (!selected && gModel.list.allSelected != 0) {
        gModel.list.allSelected = 0;
        std::memset(gModel.list.selected, 1, sizeof gModel.list.selected);
    }
    gModel.list.selected[index] = selected ? 1 : 0;
    gModel.list.focusedItem = index;
}

void UiComboReset(UiHandle combo) {
    if (ResolveKind(combo, kHeadlessCombo) == nullptr) return;
    gModel.combo.count = 0;
    gModel.combo.selection = -1;
    ++gModel.combo.resets;
}

void UiComboAdd(UiHandle combo, const char16_t* text) {
    if (ResolveKind(combo, kHeadlessCombo) == nullptr) return;
    HeadlessCombo& c = gModel.combo;
    if (c.count >= kHeadlessComboItems) {
        ++c.itemsRefused;
        return;
    }
    if (CopyCounted(c.items[c.count], kHeadlessComboChars, text)) ++c.itemsCut;
    ++c.count;
}

void UiComboSetSelection(UiHandle combo, int index) {
    if (ResolveKind(combo, kHeadlessCombo) == nullptr) return;
    // As the real control: an index outside the items removes the selection.
    gModel.combo.selection = (index >= 0 && index < gModel.combo.count) ? index : -1;
}

int UiComboSelection(UiHandle combo) {
    if (ResolveKind(combo, kHeadlessCombo) == nullptr) return -1;
    return gModel.combo.selection;
}

bool UiComboItemText(UiHandle combo, int index, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    if (ResolveKind(combo, kHeadlessCombo) == nullptr || index < 0 || index >= gModel.combo.count) {
        return false;
    }
    CopyBounded(out, capacity, gModel.combo.items[index]);
    return true;
}

int UiGetCheck(UiHandle button) {
    HeadlessControl* c = Resolve(button);
    if (c == nullptr || (c->kind != kHeadlessCheckBox && c->kind != kHeadlessButton)) {
        return kUnchecked;
    }
    return c->check;
}

void UiSetCheck(UiHandle button, int state) {
    HeadlessControl* c = Resolve(button);
    if (c == nullptr || (c->kind != kHeadlessCheckBox && c->kind != kHeadlessButton)) return;
    c->check = state;
}

void UiGetText(UiHandle control, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    HeadlessControl* c = Resolve(control);
    CopyBounded(out, capacity, c != nullptr ? c->text : nullptr);
}

void UiSetText(UiHandle control, const char16_t* text) {
    HeadlessControl* c = Resolve(control);
    if (c == nullptr) return;
    SetControlText(c, text);
}

void UiEnable(UiHandle control, bool enabled) {
    HeadlessControl* c = Resolve(control);
    if (c == nullptr) return;
    c->enabled = enabled ? 1 : 0;
}

void UiSetStatusText(UiHandle statusBar, const char16_t* text) {
    HeadlessControl* c = ResolveKind(statusBar, kHeadlessStatusBar);
    if (c == nullptr) return;
    SetControlText(c, text);
}

void UiCheckMenuItem(UiHandle window, int commandId, bool checked) {
    if (ResolveKind(window, kHeadlessWindow) == nullptr) return;
    int i = commandId - kHeadlessFirstMenuCommand;
    if (i < 0 || i >= kHeadlessMenuCommands) {
        ++gModel.unknownMenuItems;
        return;
    }
    gModel.menuChecks[i] = checked ? 1 : 0;
}

void UiDeleteFont(FontHandle font) {
    if (font == nullptr) return;
    for (HeadlessFont& f : gModel.fonts) {
        if (static_cast<void*>(&f) == font) {
            if (f.live) {
                f.live = 0;
                ++gModel.fontsDeleted;
            } else {
                ++gModel.badFontDeletes;
            }
            return;
        }
    }
    ++gModel.badFontDeletes;
}

bool UiSetTimer(UiHandle window, uintptr_t id, uint32_t milliseconds) {
    if (ResolveKind(window, kHeadlessWindow) == nullptr || gModel.timersFail) return false;
    HeadlessTimer* slot = nullptr;
    for (HeadlessTimer& t : gModel.timers) {
        if (t.active && t.id == id) {
            slot = &t; // setting a timer again replaces it
            break;
        }
        if (!t.active && slot == nullptr) slot = &t;
    }
    if (slot == nullptr) return false;
    slot->id = id;
    slot->milliseconds = milliseconds;
    slot->active = 1;
    return true;
}

void UiKillTimer(UiHandle window, uintptr_t id) {
    if (ResolveKind(window, kHeadlessWindow) == nullptr) return;
    for (HeadlessTimer& t : gModel.timers) {
        if (t.active && t.id == id) t.active = 0;
    }
}

bool UiPostMessage(UiHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    PostedQueue& q = Posted();
    {
        LockGuard guard(&q.lock);
        // Only the address is compared here: the rest of the model belongs to the window thread.
        const bool isMain =
            window != nullptr && window == static_cast<UiHandle>(&gModel.controls[0]);
        if (!isMain || !q.windowAlive ||
            q.count >= static_cast<uint32_t>(kHeadlessPostedCapacity)) {
            ++q.refused;
            return false;
        }
        if (q.failNext > 0) {
            --q.failNext;
            ++q.refused;
            return false;
        }
        q.slots[(q.head + q.count) % kHeadlessPostedCapacity] = {message, wParam, lParam};
        ++q.count;
    }
    // After the queue's lock is left: a waiter holds the mutex while it counts under that lock.
    PostSignal& signal = Signal();
    { std::lock_guard<std::mutex> wake(signal.mutex); }
    signal.posted.notify_all();
    return true;
}

bool UiIsWindow(UiHandle window) {
    return Resolve(window) != nullptr;
}

void UiDestroyWindow(UiHandle window) {
    HeadlessControl* c = Resolve(window);
    if (c == nullptr) return;
    if (c->kind != kHeadlessWindow) {
        c->exists = 0;
        return;
    }
    ++gModel.destroyCalls;
    // The window learns of its end while its controls still exist, as with WM_DESTROY.
    if (gDestroyHandler != nullptr) gDestroyHandler(gDestroyContext);
    {
        PostedQueue& q = Posted();
        LockGuard guard(&q.lock);
        q.windowAlive = 0;
    }
    for (HeadlessTimer& t : gModel.timers)
        t.active = 0;
    for (HeadlessControl& each : gModel.controls)
        each.exists = 0;
}

int UiMessageBox(UiHandle owner, const char16_t* text, const char16_t* caption, int icon,
                 int buttons) {
    int answer = kAnswerOk;
    if (buttons != kButtonsOk) {
        if (gModel.answerCount > 0) {
            answer = gModel.answers[0];
            --gModel.answerCount;
            std::memmove(gModel.answers, gModel.answers + 1,
                         static_cast<size_t>(gModel.answerCount) * sizeof(int));
        } else {
            answer = gModel.defaultAnswer;
        }
    }
    HeadlessMessageBox& m = gModel.messageLog[gModel.messageBoxCount % kHeadlessMessageLog];
    m.textCut = CopyCounted(m.text, kHeadlessMessageChars, text) ? 1 : 0;
    if (m.textCut) ++gModel.messageTextsCut;
    CopyBounded(m.caption, kHeadlessCaptionChars, caption);
    m.icon = icon;
    m.buttons = buttons;
    m.answer = answer;
    m.owned = owner != nullptr ? 1 : 0;
    ++gModel.messageBoxCount;

    if (gEcho != nullptr) {
        std::fprintf(gEcho, "[%s] ", IconName(icon));
        EchoText(gEcho, text);
        std::fputc('\n', gEcho);
        std::fflush(gEcho);
    }
    return answer;
}

bool UiSaveFileDialog(UiHandle owner, const char16_t* filter, const char16_t* defaultExtension,
                      uint32_t flags, char16_t* path, size_t capacity) {
    return FileDialog(true, owner, filter, defaultExtension, flags, path, capacity);
}

bool UiOpenFileDialog(UiHandle owner, const char16_t* filter, uint32_t flags, char16_t* path,
                      size_t capacity) {
    return FileDialog(false, owner, filter, nullptr, flags, path, capacity);
}

bool UiSaveFileDialogTyped(UiHandle owner, const char16_t* filter,
                           const char16_t* defaultExtension, uint32_t flags, char16_t* path,
                           size_t capacity, uint32_t* fileType) {
    const uint32_t type = gModel.dialogFileType != 0 ? gModel.dialogFileType : 1;
    gModel.dialogFileType = 0;
    const bool chosen = FileDialog(true, owner, filter, defaultExtension, flags, path, capacity);
    if (chosen && fileType != nullptr) *fileType = type;
    return chosen;
}

bool UiFolderDialog(UiHandle owner, const char16_t*, char16_t* path, size_t capacity) {
    const bool chosen = FileDialog(false, owner, nullptr, nullptr, 0, path, capacity);
    gModel.lastDialog.folder = 1;
    return chosen;
}

intptr_t UiShellExecute(UiHandle owner, const char16_t* verb, const char16_t* file,
                        const char16_t* parameters) {
    intptr_t result = kHeadlessShellSuccess;
    if (gModel.shellResultCount > 0) {
        result = gModel.shellResults[0];
        --gModel.shellResultCount;
        std::memmove(gModel.shellResults, gModel.shellResults + 1,
                     static_cast<size_t>(gModel.shellResultCount) * sizeof(intptr_t));
    }
    HeadlessShellCall& s = gModel.shellLog[gModel.shellCount % kHeadlessShellLog];
    CopyBounded(s.verb, 16, verb);
    CopyBounded(s.file, 260, file);
    CopyBounded(s.parameters, 1100, parameters);
    s.result = result;
    s.owned = owner != nullptr ? 1 : 0;
    ++gModel.shellCount;
    return result;
}

bool UiSetClipboardText(UiHandle owner, const char16_t* text) {
    (void)owner;
    if (gModel.clipboardFails) return false;
    if (CopyCounted(gModel.clipboard, kHeadlessClipboardChars, text)) ++gModel.clipboardCut;
    ++gModel.clipboardSets;
    return true;
}

namespace {
// The model is fresh before main runs, so that a program that never resets it still works.
struct InitialModel {
    InitialModel() { ResetHeadlessUi(); }
} gInitialModel;
} // namespace

} // namespace olv
