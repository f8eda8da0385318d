#include "views/row_store.h"

#include <cstring>

#include "app/app_state.h"
#include "base/atomic.h"
#include "base/format.h"
#include "base/note_text.h"
#include "base/text.h"
#include "capture/event_queue.h"
#include "platform/memory.h"
#include "views/view_texts.h"

namespace olv {

namespace {

constexpr size_t kComboTextChars = 256;
constexpr size_t kFilterChars = 256;
constexpr size_t kRestrictionChars = 400;

// The state of the view's controls, read once for a whole scan so that the per-row test touches
// no window. Equal to reading the controls for every row, since nothing else runs on the window
// thread during a scan.
struct ViewControls {
    uint8_t suspiciousOnly;
    uint8_t categoryOn[4]; // File, Registry, Network, Process: box in the checked state
    uint8_t anyOperation;  // combo selection is index 0 or none
    char16_t operation[kComboTextChars];
    char16_t filter[kFilterChars]; // folded to lower case; empty: no text filter
    size_t filterLength;
};

void ReadViewTests(AppState* app, ViewControls* v) {
    v->suspiciousOnly = app->suspiciousOnly != 0 ? 1 : 0;
    v->categoryOn[0] = UiGetCheck(app->fileCheck) == kChecked;
    v->categoryOn[1] = UiGetCheck(app->registryCheck) == kChecked;
    v->categoryOn[2] = UiGetCheck(app->networkCheck) == kChecked;
    v->categoryOn[3] = UiGetCheck(app->processCheck) == kChecked;
    const int selection = UiComboSelection(app->operationCombo);
    v->anyOperation = selection <= 0 ? 1 : 0;
    v->operation[0] = 0;
    if (!v->anyOperation &&
        !UiComboItemText(app->operationCombo, selection, v->operation, kComboTextChars)) {
        v->operation[0] = 0;
    }
}

void ReadTextFilter(AppState* app, ViewControls* v) {
    UiGetText(app->filterEdit, v->filter, kFilterChars);
    size_t n = 0;
    for (; n < kFilterChars - 1 && v->filter[n] != 0; ++n)
        v->filter[n] = FoldAscii(v->filter[n]);
    v->filter[n] = 0;
    v->filterLength = n;
}

void ReadViewControls(AppState* app, ViewControls* v) {
    ReadViewTests(app, v);
    ReadTextFilter(app, v);
}

// Exact comparison of a fixed-length row field with a terminated text.
bool FieldEquals(const char16_t* field, size_t fieldChars, const char16_t* text) {
    size_t i = 0;
    for (; i < fieldChars && field[i] != 0; ++i) {
        if (field[i] != text[i]) return false;
    }
    return text[i] == 0;
}

// Whether a fixed-length row field contains the lower-case needle (length n, at least 1),
// comparing after folding A to Z. Never reads past the field, terminated or not.
bool FieldContains(const char16_t* field, size_t fieldChars, const char16_t* needle, size_t n) {
    const char16_t first = needle[0];
    for (size_t i = 0; i + n <= fieldChars && field[i] != 0; ++i) {
        if (FoldAscii(field[i]) != first) continue;
        size_t j = 1;
        // A terminator in the field folds to 0 and never equals a needle character.
        while (j < n && FoldAscii(field[i + j]) == needle[j])
            ++j;
        if (j == n) return true;
    }
    return false;
}

bool PassesViewTests(const ViewControls* v, const EventRow* row) {
    if (v->suspiciousOnly && row->severity == 0) return false;
    if (row->category < 4 && !v->categoryOn[row->category]) return false;
    if (v->anyOperation) return true;
    return FieldEquals(row->operation, kOperationChars, v->operation);
}

bool MatchesTextFilter(const ViewControls* v, const EventRow* row) {
    if (v->filterLength == 0) return true;
    return FieldContains(row->operation, kOperationChars, v->filter, v->filterLength) ||
           FieldContains(row->path, kPathChars, v->filter, v->filterLength) ||
           FieldContains(row->detail, kDetailChars, v->filter, v->filterLength) ||
           FieldContains(row->result, kResultChars, v->filter, v->filterLength);
}

// Rows are 3256 bytes apart and the view reads only a few cache lines of each, which the
// hardware does not predict; asking for them a few rows ahead more than halves a full scan.
constexpr int32_t kScanAhead = 8;

inline void PrefetchSearchedFields(const EventRow* row) {
    __builtin_prefetch(row->operation);
    __builtin_prefetch(row->path);
    __builtin_prefetch(row->detail);
    __builtin_prefetch(row->result);
}

bool InView(const ViewControls* v, const EventRow* row) {
    return PassesViewTests(v, row) && MatchesTextFilter(v, row);
}

// The growth rule shared by both arrays. Returns the new block or null when refused or not
// needed; *capacity changes only with a new block.
void* Grow(void* block, int32_t* capacity, int32_t inUse, int64_t needed, size_t elementSize) {
    if (needed <= 0 || needed <= *capacity) return nullptr;
    int64_t newCapacity = *capacity == 0 ? kFirstRowCapacity : *capacity;
    while (newCapacity < needed)
        newCapacity *= 2;
    if (newCapacity > INT32_MAX) return nullptr;
    void* grown = AllocZeroed(static_cast<size_t>(newCapacity) * elementSize);
    if (grown == nullptr) return nullptr;
    if (block != nullptr && inUse > 0) {
        std::memcpy(grown, block, static_cast<size_t>(inUse) * elementSize);
    }
    FreeBlock(block);
    *capacity = static_cast<int32_t>(newCapacity);
    return grown;
}

void GrowRows(AppState* app, int64_t needed) {
    void* grown = Grow(app->rows, &app->rowCapacity, app->rowCount, needed, sizeof(EventRow));
    if (grown != nullptr) app->rows = static_cast<EventRow*>(grown);
}

void GrowShownRows(AppState* app, int64_t needed) {
    void* grown =
        Grow(app->shownRows, &app->shownCapacity, app->shownCount, needed, sizeof(int32_t));
    if (grown != nullptr) app->shownRows = static_cast<int32_t*>(grown);
}

// Makes room for one more row; false when the store cannot grow.
bool RoomForRow(AppState* app) {
    GrowRows(app, static_cast<int64_t>(app->rowCount) + 1);
    return app->rows != nullptr && app->rowCount < app->rowCapacity;
}

// Enters row index in shownRows, or marks the list incomplete when memory is refused.
// Returns whether it was entered. Caller holds rowsLock.
bool EnterShownRow(AppState* app, int32_t index) {
    GrowShownRows(app, static_cast<int64_t>(app->shownCount) + 1);
    if (app->shownRows == nullptr || app->shownCount >= app->shownCapacity) {
        app->shownListIncomplete = 1;
        return false;
    }
    app->shownRows[app->shownCount++] = index;
    return true;
}

void AppendRestriction(char16_t* list, const char16_t* piece) {
    if (list[0] != 0) AppendBounded(list, kRestrictionChars, u", ");
    AppendBounded(list, kRestrictionChars, piece);
}

} // namespace

void ReserveRows(AppState* app, int32_t needed) {
    GrowRows(app, needed);
}

void ReserveShownRows(AppState* app, int32_t needed) {
    GrowShownRows(app, needed);
}

void AppendRow(AppState* app, const EventRow* row) {
    EnterLock(&app->rowsLock);
    if (!RoomForRow(app)) {
        LeaveLock(&app->rowsLock);
        AtomicAdd(app->droppedHere, 1);
        UpdateStatusBar(app);
        return;
    }
    const int32_t index = app->rowCount;
    std::memcpy(&app->rows[index], row, sizeof(EventRow));
    ++app->rowCount;

    ViewControls view;
    ReadViewControls(app, &view);
    if (InView(&view, &app->rows[index]) && EnterShownRow(app, index)) {
        UiListSetItemCount(app->eventList, app->shownCount);
        if (app->autoScroll) UiListEnsureVisible(app->eventList, app->shownCount - 1);
    }
    // A row made on the window thread is an operation seen like any other.
    LearnOperationNames(app, index, index + 1);
    LeaveLock(&app->rowsLock);
    UpdateStatusBar(app);
}

void IngestQueuedRows(AppState* app) {
    if (app->queueSlots == nullptr) return;
    uint32_t read = AtomicLoad(app->queueRead);
    const uint32_t write = AtomicLoad(app->queueWrite);
    if (read == write) return;

    ViewControls view;
    ReadViewControls(app, &view);

    EnterLock(&app->rowsLock);
    const int32_t first = app->rowCount;
    for (int taken = 0; read != write && taken < kIngestBatch; ++taken) {
        // When the store cannot grow the row stays queued for a later tick; nothing is lost yet.
        if (!RoomForRow(app)) break;
        const int32_t index = app->rowCount;
        std::memcpy(&app->rows[index], &app->queueSlots[read], sizeof(EventRow));
        ++app->rowCount;
        if (InView(&view, &app->rows[index])) EnterShownRow(app, index);
        read = (read + 1) % kQueueSlots;
    }
    const int32_t last = app->rowCount;
    const int32_t shown = app->shownCount;
    LeaveLock(&app->rowsLock);
    // Only after the copies: the slots may be written again from here on.
    AtomicExchange(app->queueRead, read);

    LearnOperationNames(app, first, last);
    UiListSetItemCount(app->eventList, shown);
    UiListInvalidate(app->eventList, false);
    if (app->autoScroll && shown >= 1) UiListEnsureVisible(app->eventList, shown - 1);
}

int32_t DrainEventQueue(AppState* app) {
    if (app->queueSlots == nullptr) return 0;
    for (int run = 0; run < 512; ++run) {
        const uint32_t before = AtomicLoad(app->queueRead);
        if (before == AtomicLoad(app->queueWrite)) return 0;
        IngestQueuedRows(app);
        if (AtomicLoad(app->queueRead) == before) break;
    }
    return static_cast<int32_t>(QueuedRowCount(app));
}

bool RowPassesView(AppState* app, const EventRow* row) {
    ViewControls view;
    ReadViewTests(app, &view);
    return PassesViewTests(&view, row);
}

bool RowMatchesTextFilter(AppState* app, const EventRow* row) {
    ViewControls view;
    ReadTextFilter(app, &view);
    return MatchesTextFilter(&view, row);
}

void RebuildShownRows(AppState* app) {
    ViewControls view;
    ReadViewControls(app, &view);

    EnterLock(&app->rowsLock);
    app->shownCount = 0;
    bool complete = true;
    for (int32_t i = 0; i < app->rowCount; ++i) {
        if (i + kScanAhead < app->rowCount) PrefetchSearchedFields(&app->rows[i + kScanAhead]);
        if (!InView(&view, &app->rows[i])) continue;
        if (!EnterShownRow(app, i)) {
            complete = false;
            break;
        }
    }
    app->shownListIncomplete = complete ? 0 : 1;
    const int32_t shown = app->shownCount;
    LeaveLock(&app->rowsLock);

    UiListSetItemCount(app->eventList, shown);
    UiListInvalidate(app->eventList, true);
    UpdateStatusBar(app);
}

void ClearRows(AppState* app) {
    EnterLock(&app->rowsLock);
    app->rowCount = 0;
    app->shownCount = 0;
    app->shownListIncomplete = 0;
    UiListSetItemCount(app->eventList, 0);
    app->operationNameCount = 0;
    LeaveLock(&app->rowsLock);

    UiComboReset(app->operationCombo);
    UiComboAdd(app->operationCombo, u"All operations");
    UiComboSetSelection(app->operationCombo, 0);
    UpdateStatusBar(app);
}

void DescribeView(AppState* app, char16_t* out, size_t capacity, const char16_t* linePrefix) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;

    EnterLock(&app->rowsLock);
    const int32_t total = app->rowCount;
    const int32_t shown = app->shownCount;
    const bool incomplete = app->shownListIncomplete != 0;
    LeaveLock(&app->rowsLock);

    char16_t line[640];
    if (shown >= total) {
        FormatText(line, 640, u"All %d recorded rows are in this file.", total);
        AppendNoteLine(out, capacity, linePrefix, line, nullptr);
        return;
    }
    if (incomplete) {
        FormatText(line, 640,
                   u"This file holds %d of the %d rows recorded. Why the other %d are absent is "
                   u"not known: some could not be added to the list of shown rows for want of "
                   u"memory, so the view alone does not account for it.",
                   shown, total, total - shown);
        AppendNoteLine(out, capacity, linePrefix, line, nullptr);
        return;
    }
    FormatText(line, 640,
               u"This file holds %d of the %d rows recorded. The other %d were hidden by the "
               u"view when it was written:",
               shown, total, total - shown);
    AppendNoteLine(out, capacity, linePrefix, line, nullptr);

    char16_t list[kRestrictionChars] = {};
    char16_t piece[kRestrictionChars];
    if (UiGetCheck(app->fileCheck) != kChecked) AppendRestriction(list, u"File rows off");
    if (UiGetCheck(app->registryCheck) != kChecked) AppendRestriction(list, u"Registry rows off");
    if (UiGetCheck(app->networkCheck) != kChecked) AppendRestriction(list, u"Network rows off");
    if (UiGetCheck(app->processCheck) != kChecked) AppendRestriction(list, u"Process rows off");
    if (app->suspiciousOnly) AppendRestriction(list, u"marked rows only");
    const int selection = UiComboSelection(app->operationCombo);
    if (selection > 0) {
        char16_t operation[kComboTextChars] = {};
        if (!UiComboItemText(app->operationCombo, selection, operation, kComboTextChars)) {
            operation[0] = 0;
        }
        FormatText(piece, kRestrictionChars, u"operation \"%.200s\" only", operation);
        AppendRestriction(list, piece);
    }
    char16_t filter[kFilterChars];
    UiGetText(app->filterEdit, filter, kFilterChars);
    if (filter[0] != 0) {
        FormatText(piece, kRestrictionChars, u"text filter \"%.200s\"", filter);
        AppendRestriction(list, piece);
    }
    if (list[0] == 0) CopyAscii(list, kRestrictionChars, "the view in use");
    FormatText(line, 640, u"  %s.", list);
    AppendNoteLine(out, capacity, linePrefix, line, nullptr);
}

void LearnOperationNames(AppState* app, int32_t from, int32_t to) {
    LockGuard guard(&app->rowsLock);
    if (from < 0) from = 0;
    if (to > app->rowCount) to = app->rowCount;
    int32_t lastKnown = -1; // rows of one operation often come in runs
    for (int32_t i = from; i < to; ++i) {
        if (app->operationNameCount >= kMaxOperationNames) return;
        const char16_t* op = app->rows[i].operation;
        if (op[0] == 0) continue;
        if (lastKnown >= 0 && FieldEquals(op, kOperationChars, app->operationNames[lastKnown])) {
            continue;
        }
        lastKnown = -1;
        for (int32_t n = 0; n < app->operationNameCount; ++n) {
            if (FieldEquals(op, kOperationChars, app->operationNames[n])) {
                lastKnown = n;
                break;
            }
        }
        if (lastKnown >= 0) continue;
        char16_t* entry = app->operationNames[app->operationNameCount];
        entry[0] = 0;
        AppendBoundedN(entry, 64, op, kOperationChars - 1);
        lastKnown = app->operationNameCount++;
        UiComboAdd(app->operationCombo, entry);
    }
}

} // namespace olv
