#include "views/row_store.h"

#include <cstring>

#include "base/atomic.h"
#include "base/format.h"
#include "platform/growth.h"
#include "base/note_text.h"
#include "base/text.h"
#include "capture/event_queue.h"
#include "platform/memory.h"
#include "record/recording.h"
#include "views/sigma_rows.h"
#include "views/auto_scroll.h"
#include "views/process_filter.h"
#include "views/row_sort.h"
#include "views/text_signature.h"
#include "views/view_texts.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define OLV_VECTOR_SCAN 1
#endif

namespace olv {

namespace {

constexpr size_t kFilterChars = kFilterTextChars + 1;
constexpr size_t kRestrictionChars = 400;

// The view's conditions (Recording::view) made ready once for a whole scan: the filter folded,
// the Sigma rule checked against the loaded set.
struct ViewControls {
    uint8_t suspiciousOnly;
    uint8_t categoryOn[4]; // File, Registry, Network, Process
    uint8_t anyOperation;  // the view names no operation
    const char16_t* operation;
    char16_t filter[kFilterChars]; // folded to lower case; empty: no text filter
    size_t filterLength;
    char16_t firstUpper; // the filter's first character as an upper-case letter, or itself
    int32_t sigmaRule;   // only rows that matched this Sigma rule; -1: no such condition
    const Recording* app; // for the rows' Sigma matches
};

void ReadViewTests(Recording* app, ViewControls* v) {
    const ViewSpec& view = app->view;
    v->suspiciousOnly = view.suspiciousOnly != 0 ? 1 : 0;
    v->sigmaRule = SigmaRuleView(app);
    v->app = app;
    for (int c = 0; c < 4; ++c)
        v->categoryOn[c] = view.categoryOn[c] != 0 ? 1 : 0;
    v->anyOperation = view.operation[0] == 0 ? 1 : 0;
    v->operation = view.operation;
}

void ReadTextFilter(Recording* app, ViewControls* v) {
    const char16_t* typed = app->view.filter;
    size_t n = 0;
    for (; n < kFilterChars - 1 && typed[n] != 0; ++n)
        v->filter[n] = FoldAscii(typed[n]);
    v->filter[n] = 0;
    v->filterLength = n;
    const char16_t first = v->filter[0];
    v->firstUpper =
        first >= u'a' && first <= u'z' ? static_cast<char16_t>(first - (u'a' - u'A')) : first;
}

void ReadViewControls(Recording* app, ViewControls* v) {
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

// Whether the needle (lower case, length n, at least 1) occurs at field[at], comparing after
// folding A to Z. A terminator in the field folds to 0 and never equals a needle character, so
// the comparison stops at the field's end whether the field is terminated there or not.
inline bool NeedleAt(const char16_t* field, size_t fieldChars, size_t at, const char16_t* needle,
                     size_t n) {
    if (at + n > fieldChars) return false;
    size_t j = 1;
    while (j < n && FoldAscii(field[at + j]) == needle[j])
        ++j;
    return j == n;
}

// Whether the character may start the needle of v.
inline bool MayStartNeedle(const ViewControls* v, char16_t c) {
    return c == v->filter[0] || c == v->firstUpper;
}

// Whether a fixed-length row field contains the needle of v, comparing after folding A to Z.
// The field is read up to its terminator in aligned pieces of 16 bytes, which never cross a cache
// line, so the scan reads no line the terminator does not lie on or before; never past the field.
// Eight characters are looked at together for the terminator and for the two forms of the
// needle's first character; only those places are compared further.
bool FieldContains(const ViewControls* v, const char16_t* field, size_t fieldChars) {
    const char16_t* needle = v->filter;
    const size_t n = v->filterLength;
    size_t i = 0;
#if defined(OLV_VECTOR_SCAN)
    // Characters up to the first 16-byte boundary, one at a time.
    size_t head = ((16 - (reinterpret_cast<uintptr_t>(field) & 15)) & 15) / sizeof(char16_t);
    if (head > fieldChars) head = fieldChars;
    for (; i < head; ++i) {
        if (field[i] == 0) return false;
        if (MayStartNeedle(v, field[i]) && NeedleAt(field, fieldChars, i, needle, n)) return true;
    }
    const __m128i lowers = _mm_set1_epi16(static_cast<short>(needle[0]));
    const __m128i uppers = _mm_set1_epi16(static_cast<short>(v->firstUpper));
    const __m128i zeros = _mm_setzero_si128();
    for (; i + 8 <= fieldChars; i += 8) {
        const __m128i chars = _mm_load_si128(reinterpret_cast<const __m128i*>(field + i));
        unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi16(chars, lowers), _mm_cmpeq_epi16(chars, uppers))));
        const unsigned ends =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(chars, zeros)));
        // Two mask bits per character; places at and after the terminator do not count.
        if (ends != 0) hits &= (1u << __builtin_ctz(ends)) - 1;
        while (hits != 0) {
            const unsigned bit = static_cast<unsigned>(__builtin_ctz(hits));
            if (NeedleAt(field, fieldChars, i + bit / 2, needle, n)) return true;
            hits &= ~(3u << bit);
        }
        if (ends != 0) return false;
    }
#endif
    for (; i < fieldChars && field[i] != 0; ++i) {
        if (MayStartNeedle(v, field[i]) && NeedleAt(field, fieldChars, i, needle, n)) return true;
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
    return FieldContains(v, row->operation, kOperationChars) ||
           FieldContains(v, row->path, kPathChars) || FieldContains(v, row->detail, kDetailChars) ||
           FieldContains(v, row->result, kResultChars);
}

// Rows are 3256 bytes apart and the view reads only a few cache lines of each, which the
// hardware does not predict: the scan asks for the lines it will read this many rows ahead, and
// only for those (the severity only for suspicious-only, the four searched fields only with a
// text filter, and not for a row whose signature already rules it out). Always inlined: the
// compiler takes a function that only prefetches for one without effects and drops its calls.
constexpr int32_t kScanAhead = 16;

[[gnu::always_inline]] inline void PrefetchViewedBytes(const ViewControls* v, const EventRow* row,
                                                       const RowSignature* signature,
                                                       const RowSignature* needle) {
    __builtin_prefetch(&row->category);
    if (v->suspiciousOnly) __builtin_prefetch(&row->severity);
    if (v->filterLength == 0) return;
    if (signature != nullptr && IsSigned(signature) && !MayHoldNeedle(signature, needle)) return;
    __builtin_prefetch(row->path);
    __builtin_prefetch(row->path + 32); // paths often run into a second line
    __builtin_prefetch(row->detail);
    __builtin_prefetch(row->result);
}

// The Sigma rule condition, which needs the row's place in the store.
bool InRuleView(const ViewControls* v, int32_t index) {
    return v->sigmaRule < 0 || RowMatchedSigmaRule(v->app, index, v->sigmaRule);
}

bool InView(const ViewControls* v, const EventRow* row, int32_t index) {
    return PassesViewTests(v, row) && InRuleView(v, index) && MatchesTextFilter(v, row);
}

// Refused growth leaves the arrays as they were; the callers see the capacity still short.
void GrowRows(Recording* app, int64_t needed) {
    if (needed <= 0) return;
    GrowArray(&app->rows, &app->rowCapacity, static_cast<size_t>(app->rowCount),
              static_cast<size_t>(needed), kFirstRowCapacity, INT32_MAX);
}

void GrowShownRows(Recording* app, int64_t needed) {
    if (needed <= 0) return;
    GrowArray(&app->shownRows, &app->shownCapacity, static_cast<size_t>(app->shownCount),
              static_cast<size_t>(needed), kFirstRowCapacity, INT32_MAX);
}

// Frees a block that grew beyond the first allocation, so that the next use starts afresh.
void ReleaseAboveFirstBlock(void** block, int32_t* capacity) {
    if (*capacity <= kFirstRowCapacity) return;
    FreeBlock(*block);
    *block = nullptr;
    *capacity = 0;
}

// Makes room for one more row; false when the store cannot grow.
bool RoomForRow(Recording* app) {
    GrowRows(app, static_cast<int64_t>(app->rowCount) + 1);
    return app->rows != nullptr && app->rowCount < app->rowCapacity;
}

// Enters row index in shownRows, or marks the list incomplete when memory is refused.
// Returns whether it was entered. Caller holds rowsLock.
bool EnterShownRow(Recording* app, int32_t index) {
    GrowShownRows(app, static_cast<int64_t>(app->shownCount) + 1);
    if (app->shownRows == nullptr || app->shownCount >= app->shownCapacity) {
        app->shownListIncomplete = 1;
        return false;
    }
    app->shownRows[app->shownCount++] = index;
    return true;
}

// Gives every stored row a signature entry (new entries are zero: not signed). False when memory
// is refused; the scan then searches every row, as it would without signatures. Caller holds
// rowsLock.
bool RoomForSignatures(Recording* app) {
    if (app->rowCount > 0) {
        GrowArray(&app->rowSignatures, &app->signatureCapacity,
                  static_cast<size_t>(app->signatureCapacity), static_cast<size_t>(app->rowCount),
                  kFirstRowCapacity, INT32_MAX);
    }
    return app->rowSignatures != nullptr && app->rowCount <= app->signatureCapacity;
}

void AppendRestriction(char16_t* list, const char16_t* piece) {
    if (list[0] != 0) AppendBounded(list, kRestrictionChars, u", ");
    AppendBounded(list, kRestrictionChars, piece);
}

// Enters the operation in operationNames when it is new and there is room (the caller adds it to
// the combo box). *lastKnown is the entry the previous row matched, -1 at first: rows of one
// operation often come in runs. Caller holds rowsLock.
void LearnOperationName(Recording* app, const char16_t* op, int32_t* lastKnown) {
    if (app->operationNameCount >= kMaxOperationNames || op[0] == 0) return;
    if (*lastKnown >= 0 && FieldEquals(op, kOperationChars, app->operationNames[*lastKnown])) {
        return;
    }
    for (int32_t n = 0; n < app->operationNameCount; ++n) {
        if (FieldEquals(op, kOperationChars, app->operationNames[n])) {
            *lastKnown = n;
            return;
        }
    }
    char16_t* entry = app->operationNames[app->operationNameCount];
    entry[0] = 0;
    AppendBoundedN(entry, 64, op, kOperationChars - 1);
    *lastKnown = app->operationNameCount++;
}

} // namespace

void ReserveRows(Recording* app, int32_t needed) {
    GrowRows(app, needed);
}

void ReserveShownRows(Recording* app, int32_t needed) {
    GrowShownRows(app, needed);
}

void AppendRow(Recording* app, const EventRow* row) {
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
    app->rowsUnsaved = 1;
    // Matched before the view is tested: a rule may raise it into the suspicious-only view.
    const bool earlierRowRose = MatchNewRow(app, index);

    ViewControls view;
    ReadViewControls(app, &view);
    ObserveProcessRow(app, &app->rows[index], index);
    if (RowMeetsProcessCondition(app, &app->rows[index]) &&
        InView(&view, &app->rows[index], index)) {
        const FollowDecision follow = FollowBeforeArrival(app);
        if (EnterShownRow(app, index)) {
            PlaceArrivedShownRows(app, app->shownCount - 1);
            UiListSetItemCount(app->port.eventList, app->shownCount);
            if (app->view.sortBy != kSortRecordingOrder)
                UiListInvalidate(app->port.eventList, false);
            FollowArrivedRows(app, follow, app->shownCount);
        }
    }
    // A row made on the window thread is an operation seen like any other.
    LearnOperationNames(app, index, index + 1);
    LeaveLock(&app->rowsLock);
    if (earlierRowRose) RebuildShownRows(app);
    UpdateStatusBar(app);
}

void IngestQueuedRows(Recording* app) {
    if (app->queueBytes == nullptr) return;
    QueueRead queue;
    BeginQueueRead(app, &queue);
    if (queue.at == queue.end) return;

    ViewControls view;
    ReadViewControls(app, &view);

    EnterLock(&app->rowsLock);
    const int32_t shownBefore = app->shownCount;
    const uint8_t sortBefore = app->view.sortBy;
    const FollowDecision follow = FollowBeforeArrival(app);
    int32_t lastKnown = -1;
    // With Sigma rules loaded each row is matched as it is stored, before its view is tested (a
    // rule may raise it into the suspicious-only view). A process start matched later (once its
    // image path is known) may rise into that view after it was tested: the shown rows are then
    // rebuilt.
    const bool sigma = SigmaRulesLoaded(app);
    bool earlierRowRose = false;
    // Each row is decoded into the reader's row and copied into the store with an ordinary copy:
    // the library's copy of a few kilobytes writes whole lines without reading them first, and
    // measured faster than streaming stores around the cache; the copy stays in the cache for
    // the tests that follow.
    for (int taken = 0; taken < kIngestBatch; ++taken) {
        // When the store cannot grow the row stays queued for a later tick; nothing is lost yet.
        if (!RoomForRow(app)) break;
        const EventRow* queued = NextQueuedRow(app, &queue);
        if (queued == nullptr) break;
        const int32_t index = app->rowCount;
        EventRow* stored = &app->rows[index];
        std::memcpy(static_cast<void*>(stored), queued, sizeof(EventRow));
        ++app->rowCount;
        if (sigma) earlierRowRose = MatchNewRow(app, index) || earlierRowRose;
        ObserveProcessRow(app, stored, index);
        if (RowMeetsProcessCondition(app, stored) && InView(&view, stored, index)) {
            EnterShownRow(app, index);
        }
        LearnOperationName(app, stored->operation, &lastKnown);
    }
    PlaceArrivedShownRows(app, shownBefore);
    app->rowsUnsaved = 1;
    const int32_t shown = app->shownCount;
    LeaveLock(&app->rowsLock);
    EndQueueRead(app, &queue);

    if (app->view.sortBy != sortBefore) ShowSortArrow(app); // the sort gave up for want of memory
    if (earlierRowRose) {
        RebuildShownRows(app);
        FollowArrivedRows(app, follow, app->shownCount);
        return;
    }
    UiListSetItemCount(app->port.eventList, shown);
    UiListInvalidate(app->port.eventList, false);
    FollowArrivedRows(app, follow, shown);
}

int32_t DrainEventQueue(Recording* app) {
    if (app->queueBytes == nullptr) return 0;
    for (int run = 0; run < 512; ++run) {
        const uint32_t before = AtomicLoad(app->queueRead);
        if (before == AtomicLoad(app->queueWrite)) return 0;
        IngestQueuedRows(app);
        if (AtomicLoad(app->queueRead) == before) break;
    }
    return static_cast<int32_t>(QueuedRowCount(app));
}

bool RowPassesView(Recording* app, const EventRow* row) {
    ViewControls view;
    ReadViewTests(app, &view);
    return PassesViewTests(&view, row);
}

bool RowMatchesTextFilter(Recording* app, const EventRow* row) {
    ViewControls view;
    ReadTextFilter(app, &view);
    return MatchesTextFilter(&view, row);
}

bool SetView(Recording* app, const ViewSpec& view) {
    if (view.sortBy > kSortableColumns || view.process.mode > kProcessHidden) return false;
    if (view.sigmaRule < -1) return false;
    if (view.sigmaRule >= 0 &&
        (!SigmaRulesLoaded(app) || view.sigmaRule >= SigmaRuleCount(LoadedSigmaRules(app)))) {
        return false;
    }
    {
        LockGuard guard(&app->rowsLock);
        if (view.process.mode != kProcessesAll &&
            (view.process.startRow < -1 || view.process.startRow >= app->rowCount ||
             !MakeProcessSet(app))) {
            return false;
        }
        app->view = view;
        ViewSpec& kept = app->view;
        kept.operation[kOperationNameChars - 1] = 0;
        kept.filter[kFilterTextChars] = 0;
        kept.process.name[kProcessChars - 1] = 0;
        if (kept.process.mode == kProcessesAll) ResetProcessCondition(app);
    }
    RebuildShownRows(app); // scans the process condition afresh
    ShowSortArrow(app);
    return true;
}

void RebuildShownRows(Recording* app) {
    ViewControls view;
    ReadViewControls(app, &view);
    RowSignature needle;
    const bool needleSigned = SignNeedle(view.filter, view.filterLength, &needle);

    EnterLock(&app->rowsLock);
    app->shownCount = 0;
    bool complete = true;
    BeginProcessScan(app);
    const bool processCondition = app->view.process.mode != kProcessesAll;
    // A signed row whose signature lacks a pair of the filter is passed over without its text
    // being read; every other row is searched. The signature is a quick no, never a yes. The scan
    // signs nothing itself: that is left to the timers (SignWaitingRows), so that the first scan
    // after a session is opened costs no more than a plain search.
    const RowSignature* signatures = needleSigned ? app->rowSignatures : nullptr;
    const int32_t signedEnd =
        signatures == nullptr
            ? 0
            : (app->rowCount < app->signatureCapacity ? app->rowCount : app->signatureCapacity);
    for (int32_t i = 0; i < app->rowCount; ++i) {
        const int32_t ahead = i + kScanAhead;
        if (ahead < app->rowCount) {
            PrefetchViewedBytes(&view, &app->rows[ahead],
                                ahead < signedEnd ? &signatures[ahead] : nullptr, &needle);
        }
        const EventRow* row = &app->rows[i];
        if (processCondition) {
            ObserveProcessRow(app, row, i);
            if (!RowMeetsProcessCondition(app, row)) continue;
        }
        if (!PassesViewTests(&view, row) || !InRuleView(&view, i)) continue;
        if (i < signedEnd && IsSigned(&signatures[i]) && !MayHoldNeedle(&signatures[i], &needle)) {
            continue;
        }
        if (!MatchesTextFilter(&view, row)) continue;
        if (!EnterShownRow(app, i)) {
            complete = false;
            // The process set still follows every row, for the rows that arrive next.
            for (int32_t j = i + 1; processCondition && j < app->rowCount; ++j)
                ObserveProcessRow(app, &app->rows[j], j);
            break;
        }
    }
    app->shownListIncomplete = complete ? 0 : 1;
    ApplyShownOrder(app);
    const int32_t shown = app->shownCount;
    LeaveLock(&app->rowsLock);

    UiListSetItemCount(app->port.eventList, shown);
    UiListInvalidate(app->port.eventList, true);
    if (app->view.sortBy == kSortRecordingOrder) ShowSortArrow(app); // the sort may have given up
    UpdateStatusBar(app);
}

void ClearRows(Recording* app) {
    EnterLock(&app->rowsLock);
    // The signatures go with their rows; their block is kept for the next rows, as the rows' is.
    if (app->rowSignatures != nullptr) {
        const int32_t signed_ =
            app->rowCount < app->signatureCapacity ? app->rowCount : app->signatureCapacity;
        std::memset(static_cast<void*>(app->rowSignatures), 0,
                    static_cast<size_t>(signed_) * sizeof(RowSignature));
    }
    app->rowCount = 0;
    app->signedRows = 0;
    app->shownCount = 0;
    app->shownListIncomplete = 0;
    app->rowsUnsaved = 0; // nothing is left to lose
    // Memory beyond the first allocation goes back: a large recording or session must not keep
    // its gigabytes after Clear. The next row allocates the first block again.
    ReleaseAboveFirstBlock(reinterpret_cast<void**>(&app->rows), &app->rowCapacity);
    ReleaseAboveFirstBlock(reinterpret_cast<void**>(&app->shownRows), &app->shownCapacity);
    ReleaseAboveFirstBlock(reinterpret_cast<void**>(&app->rowSignatures),
                           &app->signatureCapacity);
    UiListSetItemCount(app->port.eventList, 0);
    app->operationNameCount = 0;
    ++app->operationNamesCleared;
    app->view.operation[0] = 0; // the names it could name are gone
    ForgetSigmaRows(app);
    ResetProcessCondition(app); // the process it named is gone with its rows
    LeaveLock(&app->rowsLock);

    UpdateStatusBar(app);
}

void SignWaitingRows(Recording* app, int32_t budget) {
    LockGuard guard(&app->rowsLock);
    if (app->signedRows >= app->rowCount) return;
    if (!RoomForSignatures(app)) {
        // Nothing to sign into: the filter searches these rows' text, as it does unsigned rows.
        app->signedRows = app->rowCount;
        return;
    }
    int32_t end =
        app->rowCount - app->signedRows > budget ? app->signedRows + budget : app->rowCount;
    for (int32_t i = app->signedRows; i < end; ++i) {
        if (i + kScanAhead < end) {
            const EventRow* ahead = &app->rows[i + kScanAhead];
            __builtin_prefetch(ahead->operation);
            __builtin_prefetch(ahead->path);
            __builtin_prefetch(ahead->path + 32);
            __builtin_prefetch(ahead->detail);
            __builtin_prefetch(ahead->result);
        }
        RowSignature* signature = &app->rowSignatures[i];
        if (!IsSigned(signature)) SignRowText(&app->rows[i], signature);
    }
    app->signedRows = end;
}

void RowTextChanged(Recording* app, int32_t index) {
    if (app->rowSignatures == nullptr || index < 0 || index >= app->signatureCapacity) return;
    std::memset(&app->rowSignatures[index], 0, sizeof(RowSignature));
}

namespace {

// The lines that say which rows the file holds (DescribeView without the order).
void DescribeShownRows(Recording* app, char16_t* out, size_t capacity, const char16_t* linePrefix) {

    EnterLock(&app->rowsLock);
    const int32_t total = app->rowCount;
    const int32_t shown = app->shownCount;
    const bool incomplete = app->shownListIncomplete != 0;
    LeaveLock(&app->rowsLock);

    char16_t line[640];
    if (shown >= total) {
        // Rows the user cleared are not among them; the completeness notes count them.
        FormatText(line, 640,
                   app->cleared.rows != 0 ? u"All %d rows kept after Clear are in this file."
                                          : u"All %d recorded rows are in this file.",
                   total);
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
    const ViewSpec& view = app->view;
    static const char16_t* const kCategoriesOff[4] = {u"File rows off", u"Registry rows off",
                                                      u"Network rows off", u"Process rows off"};
    for (int c = 0; c < 4; ++c) {
        if (view.categoryOn[c] == 0) AppendRestriction(list, kCategoriesOff[c]);
    }
    if (view.suspiciousOnly) AppendRestriction(list, u"marked rows only");
    if (view.operation[0] != 0) {
        FormatText(piece, kRestrictionChars, u"operation \"%.200s\" only", view.operation);
        AppendRestriction(list, piece);
    }
    if (view.filter[0] != 0) {
        FormatText(piece, kRestrictionChars, u"text filter \"%.200s\"", view.filter);
        AppendRestriction(list, piece);
    }
    const int32_t sigmaRule = SigmaRuleView(app);
    if (sigmaRule >= 0) {
        const SigmaRuleInfo* rule = GetSigmaRule(LoadedSigmaRules(app), sigmaRule);
        FormatText(piece, kRestrictionChars, u"rows of Sigma rule \"%.200s\" only",
                   rule != nullptr ? rule->title : u"");
        AppendRestriction(list, piece);
    }
    DescribeProcessCondition(app, piece, kRestrictionChars);
    if (piece[0] != 0) AppendRestriction(list, piece);
    if (list[0] == 0) CopyAscii(list, kRestrictionChars, "the view in use");
    FormatText(line, 640, u"  %s.", list);
    AppendNoteLine(out, capacity, linePrefix, line, nullptr);
}

} // namespace

void DescribeView(Recording* app, char16_t* out, size_t capacity, const char16_t* linePrefix) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    DescribeShownRows(app, out, capacity, linePrefix);
    // Rows in recording order say nothing more, as files always did.
    char16_t order[96];
    DescribeShownOrder(app, order, 96);
    if (order[0] == 0) return;
    char16_t line[160];
    FormatText(line, 160, u"The rows are %s; rows that compare equal are in recording order.",
               order);
    AppendNoteLine(out, capacity, linePrefix, line, nullptr);
}

void LearnOperationNames(Recording* app, int32_t from, int32_t to) {
    LockGuard guard(&app->rowsLock);
    if (from < 0) from = 0;
    if (to > app->rowCount) to = app->rowCount;
    int32_t lastKnown = -1;
    for (int32_t i = from; i < to; ++i) LearnOperationName(app, app->rows[i].operation, &lastKnown);
}

} // namespace olv
