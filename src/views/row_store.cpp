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
#include "record/stored_rows.h"
#include "platform/time.h"
#include "views/row_facts_flow.h"
#include "views/sigma_rows.h"
#include "views/auto_scroll.h"
#include "views/process_filter.h"
#include "views/row_sort.h"
#include "views/view_texts.h"
#include "views/yara_rows.h"


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
    size_t operationLength;
    char16_t filter[kFilterChars]; // folded to lower case; empty: no text filter
    size_t filterLength;
    char16_t firstUpper; // the filter's first character as an upper-case letter, or itself
    uint8_t filterNarrow; // every unit of the filter is below 256: a narrow text may hold it
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
    v->operationLength = FieldTextLength(view.operation, kOperationNameChars);
}

void ReadTextFilter(Recording* app, ViewControls* v) {
    const char16_t* typed = app->view.filter;
    size_t n = 0;
    v->filterNarrow = 1;
    for (; n < kFilterChars - 1 && typed[n] != 0; ++n) {
        v->filter[n] = FoldAscii(typed[n]);
        if (v->filter[n] > 0xFF) v->filterNarrow = 0;
    }
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

// A row field as a text (up to its terminator or its last character).
TextView FieldView(const char16_t* field, size_t chars) {
    return TextView{reinterpret_cast<const uint8_t*>(field),
                    static_cast<uint32_t>(FieldTextLength(field, chars)), true};
}

// Whether the text contains the needle of v, comparing after folding A to Z. Narrow texts (one
// byte a unit, most of the store) are scanned as bytes; a needle with a unit above 255 is in none
// of them.
bool TextContains(const ViewControls* v, TextView text) {
    const char16_t* needle = v->filter;
    const size_t n = v->filterLength;
    if (text.length < n) return false;
    const size_t last = text.length - n;
    if (!text.wide) {
        if (!v->filterNarrow) return false;
        const uint8_t* d = text.data;
        const uint8_t lower = static_cast<uint8_t>(needle[0]);
        const uint8_t upper = static_cast<uint8_t>(v->firstUpper);
        auto needleAt = [&](size_t i) {
            size_t j = 1;
            while (j < n && FoldAscii(d[i + j]) == needle[j])
                ++j;
            return j == n;
        };
        size_t i = 0;
#if defined(OLV_VECTOR_SCAN)
        // Sixteen units at a time for the two forms of the needle's first unit; only those
        // places are compared further. Every load lies within the text.
        const __m128i lowers = _mm_set1_epi8(static_cast<char>(lower));
        const __m128i uppers = _mm_set1_epi8(static_cast<char>(upper));
        for (; i + 16 <= text.length && i <= last; i += 16) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
            unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(
                _mm_or_si128(_mm_cmpeq_epi8(units, lowers), _mm_cmpeq_epi8(units, uppers))));
            while (hits != 0) {
                const size_t at = i + static_cast<size_t>(__builtin_ctz(hits));
                if (at > last) return false;
                if (needleAt(at)) return true;
                hits &= hits - 1;
            }
        }
#endif
        for (; i <= last; ++i) {
            if ((d[i] == lower || d[i] == upper) && needleAt(i)) return true;
        }
        return false;
    }
    for (size_t i = 0; i <= last; ++i) {
        const char16_t c = TextUnitAt(text, static_cast<uint32_t>(i));
        if (c != needle[0] && c != v->firstUpper) continue;
        size_t j = 1;
        while (j < n && FoldAscii(TextUnitAt(text, static_cast<uint32_t>(i + j))) == needle[j])
            ++j;
        if (j == n) return true;
    }
    return false;
}

// The searched texts of a row: operation, path, detail, result.
constexpr RowText kSearched[] = {kTextOperation, kTextPath, kTextDetail, kTextResult};

bool OperationIs(const ViewControls* v, TextView operation) {
    return TextViewEquals(operation, v->operation, v->operationLength);
}

bool PassesViewTests(const ViewControls* v, uint32_t category, uint32_t severity,
                     TextView operation) {
    if (v->suspiciousOnly && severity == 0) return false;
    if (category < 4 && !v->categoryOn[category]) return false;
    return v->anyOperation || OperationIs(v, operation);
}

bool StoredPassesViewTests(const ViewControls* v, const Recording* app, int32_t index) {
    const CompactRow& row = app->rows[index];
    if (v->suspiciousOnly && row.severity == 0) return false;
    if (row.category < 4 && !v->categoryOn[row.category]) return false;
    return v->anyOperation || OperationIs(v, OperationOf(&app->rowTexts, row));
}

bool StoredMatchesTextFilter(const ViewControls* v, const Recording* app, int32_t index) {
    if (v->filterLength == 0) return true;
    for (RowText which : kSearched) {
        if (TextContains(v, StoredText(app, index, which))) return true;
    }
    return false;
}

// What a scan has learnt of the texts: per text id (and per kind, for the kinds' own operation
// texts) whether it holds the filter. Rows repeat their texts, so a scan searches each distinct
// text once. 0: not searched yet, 1: does not hold it, 2: holds it.
struct FilterMemo {
    uint8_t* byText; // TextCount entries; null when memory was refused: every text is searched
    uint32_t texts;
    uint8_t byKind[kRowKindCount];
};

bool MemoContains(const ViewControls* v, FilterMemo* memo, const TextStore* store, uint32_t id) {
    if (id == 0) return false; // the empty text holds no filter (which is never empty here)
    if (memo->byText == nullptr || id >= memo->texts) return TextContains(v, TextOfId(store, id));
    uint8_t& known = memo->byText[id];
    if (known == 0) known = TextContains(v, TextOfId(store, id)) ? 2 : 1;
    return known == 2;
}

bool MemoMatchesTextFilter(const ViewControls* v, FilterMemo* memo, const Recording* app,
                           int32_t index) {
    if (v->filterLength == 0) return true;
    const TextStore* store = &app->rowTexts;
    const CompactRow& row = app->rows[index];
    const RowKind kind = KindOf(row);
    if (kind != RowKind::Other) {
        uint8_t& known = memo->byKind[static_cast<size_t>(kind)];
        if (known == 0) known = TextContains(v, OperationOf(store, row)) ? 2 : 1;
        if (known == 2) return true;
    } else if (MemoContains(v, memo, store, ContextOf(store, row).operation)) {
        return true;
    }
    return MemoContains(v, memo, store, row.path) || MemoContains(v, memo, store, row.detail) ||
           MemoContains(v, memo, store, row.result);
}

// The Sigma rule condition, which needs the row's place in the store.
bool InRuleView(const ViewControls* v, int32_t index) {
    return v->sigmaRule < 0 || RowMatchedSigmaRule(v->app, index, v->sigmaRule);
}

bool InView(const ViewControls* v, const Recording* app, int32_t index) {
    return StoredPassesViewTests(v, app, index) && InRuleView(v, index) &&
           StoredMatchesTextFilter(v, app, index);
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

// Makes room for one more row, its texts included; false when the store cannot grow.
bool RoomForRow(Recording* app) {
    GrowRows(app, static_cast<int64_t>(app->rowCount) + 1);
    return app->rows != nullptr && app->rowCount < app->rowCapacity &&
           ReserveTextRoom(&app->rowTexts, kRowMostTexts, kRowMostTextBytes);
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

void AppendRestriction(char16_t* list, const char16_t* piece) {
    if (list[0] != 0) AppendBounded(list, kRestrictionChars, u", ");
    AppendBounded(list, kRestrictionChars, piece);
}

// What the rows before have told of their operations' entries in operationNames: the entry the
// previous row matched (rows of one operation often come in runs) and, for each row kind, the
// entry of its operation text (a kind's text is its own, so it is compared once).
struct OperationMemo {
    int32_t lastKnown = -1;
    int16_t byKind[kRowKindCount];
    OperationMemo() {
        for (int16_t& n : byKind)
            n = -1;
    }
};

// Enters the row's operation in operationNames when it is new and there is room (the caller adds
// it to the combo box). Caller holds rowsLock.
void LearnOperationName(Recording* app, const CompactRow& row, OperationMemo* memo) {
    const RowKind kind = KindOf(row);
    const bool byKind = kind != RowKind::Other;
    if (byKind && memo->byKind[static_cast<size_t>(kind)] >= 0) return;
    const TextView op = OperationOf(&app->rowTexts, row);
    if (app->operationNameCount >= kMaxOperationNames || op.length == 0) return;
    auto same = [&](int32_t n) {
        const char16_t* name = app->operationNames[n];
        return TextViewEquals(op, name, FieldTextLength(name, kOperationNameChars));
    };
    int32_t known = -1;
    if (memo->lastKnown >= 0 && same(memo->lastKnown)) known = memo->lastKnown;
    for (int32_t n = 0; known < 0 && n < app->operationNameCount; ++n) {
        if (same(n)) known = n;
    }
    if (known < 0) {
        char16_t* entry = app->operationNames[app->operationNameCount];
        const uint32_t length = op.length < kOperationNameChars - 1
                                    ? op.length
                                    : static_cast<uint32_t>(kOperationNameChars - 1);
        CopyTextUnits(TextView{op.data, length, op.wide}, entry);
        entry[length] = 0;
        known = app->operationNameCount++;
    }
    memo->lastKnown = known;
    if (byKind) memo->byKind[static_cast<size_t>(kind)] = static_cast<int16_t>(known);
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
    if (!RoomForRow(app) || !PackRow(&app->rowTexts, row, &app->rows[app->rowCount])) {
        LeaveLock(&app->rowsLock);
        AtomicAdd(app->droppedHere, 1);
        UpdateStatusBar(app);
        return;
    }
    const int32_t index = app->rowCount;
    ++app->rowCount;
    app->rowsUnsaved = 1;
    // Its facts are asked for first: a row that waits for them is matched when they come.
    RequestRowFacts(app, index, NowTicks());
    RequestRowYaraScan(app, index);
    // Matched before the view is tested: a rule may raise it into the suspicious-only view.
    const bool earlierRowRose = MatchNewRow(app, index);

    ViewControls view;
    ReadViewControls(app, &view);
    ObserveStoredRow(app, index);
    if (StoredRowMeetsProcessCondition(app, index) && InView(&view, app, index)) {
        const bool follow = app->autoScroll != 0 && app->view.sortBy == kSortRecordingOrder;
        if (EnterShownRow(app, index)) {
            PlaceArrivedShownRows(app, app->shownCount - 1);
            // In recording order the new item is the last, and the list paints it itself.
            MarkCountChanged(&app->changes, app->view.sortBy != kSortRecordingOrder
                                                ? kRepaintItems
                                                : kRepaintNone);
            if (follow) app->changes.followArrivals = 1;
        }
    }
    // A row made on the window thread is an operation seen like any other.
    LearnOperationNames(app, index, index + 1);
    LeaveLock(&app->rowsLock);
    if (earlierRowRose) RebuildShownRows(app);
    UpdateStatusBar(app);
}

namespace {

// A row that came with its whole text (a script longer than its path field) keeps the whole
// text as its path; the next row is packed whole, since the run's last path is the cut one.
// A store that refuses the text leaves the row its start, and the cut is counted.
void StoreWholeText(Recording* app, PackRun* run, const QueueRead& queue, int32_t index) {
    uint32_t id = 0;
    if (InternText(&app->rowTexts, queue.wholeText, queue.wholeUnits, &id)) {
        app->rows[index].path = id;
        run->hasLast = 0;
    } else {
        AtomicAdd(app->textsCutHere, 1);
    }
}

} // namespace

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
    MarkArrivals(app);
    OperationMemo operations;
    // With Sigma rules loaded each row is matched as it is stored, before its view is tested (a
    // rule may raise it into the suspicious-only view). A process start matched later (once its
    // image path is known) may rise into that view after it was tested: the shown rows are then
    // rebuilt.
    const bool sigma = SigmaRulesLoaded(app);
    // The rows' facts are asked for while a recording's worker runs; the batch arrived now.
    const bool factsAsked = app->rowFacts != nullptr;
    const int64_t arrived = factsAsked ? NowTicks() : 0;
    // Images and closed written files are scanned while a recording's YARA rules are in force.
    const bool yara = YaraRulesLoaded(app);
    bool earlierRowRose = false;
    // Each row is decoded into the reader's row and packed into the store. A record holds only
    // what changed from the row before, so the packing takes the rest from its packing of that
    // row; the run's cache lets a row take the ids of texts of the rows just before it without a
    // lookup.
    PackRun run{};
    RowChanges changes;
    for (int taken = 0; taken < kIngestBatch; ++taken) {
        // When the store cannot grow the row stays queued for a later tick; nothing is lost yet.
        if (!RoomForRow(app)) break;
        const EventRow* queued = NextQueuedRow(app, &queue, &changes);
        if (queued == nullptr) break;
        // The next row's path is most often new: its index slot is read from memory while this
        // row is stored and shown.
        if (queue.nextPathUnits != 0) PrefetchTextSlot(&app->rowTexts, queue.nextPathHash);
        const int32_t index = app->rowCount;
        // Room was made for the row's texts: only a store at its bounds (four billion bytes of
        // distinct text) refuses them, and the row is then lost here, and counted.
        if (!PackChangedRow(&app->rowTexts, &run, queued, changes, &app->rows[index])) {
            AtomicAdd(app->droppedHere, 1);
            continue;
        }
        if (queue.wholeUnits != 0) StoreWholeText(app, &run, queue, index);
        ++app->rowCount;
        if (factsAsked) RequestRowFacts(app, index, arrived);
        if (yara) RequestRowYaraScan(app, index);
        if (sigma) earlierRowRose = MatchNewRow(app, index) || earlierRowRose;
        ObserveStoredRow(app, index);
        if (StoredRowMeetsProcessCondition(app, index) && InView(&view, app, index)) {
            EnterShownRow(app, index);
        }
        LearnOperationName(app, app->rows[index], &operations);
    }
    PlaceArrivedShownRows(app, shownBefore);
    app->rowsUnsaved = 1;
    LeaveLock(&app->rowsLock);
    EndQueueRead(app, &queue);

    if (app->view.sortBy != sortBefore) ShowSortArrow(app); // the sort gave up for want of memory
    if (earlierRowRose) {
        RebuildShownRows(app);
        return;
    }
    MarkCountChanged(&app->changes, kRepaintItems);
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
    return PassesViewTests(&view, row->category, row->severity,
                           FieldView(row->operation, kOperationChars));
}

bool RowMatchesTextFilter(Recording* app, const EventRow* row) {
    ViewControls view;
    ReadTextFilter(app, &view);
    if (view.filterLength == 0) return true;
    return TextContains(&view, FieldView(row->operation, kOperationChars)) ||
           TextContains(&view, FieldView(row->path, kPathChars)) ||
           TextContains(&view, FieldView(row->detail, kDetailChars)) ||
           TextContains(&view, FieldView(row->result, kResultChars));
}

bool StoredRowPassesView(Recording* app, int32_t index) {
    ViewControls view;
    ReadViewControls(app, &view);
    return StoredPassesViewTests(&view, app, index) && StoredMatchesTextFilter(&view, app, index);
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

    EnterLock(&app->rowsLock);
    app->shownCount = 0;
    bool complete = true;
    BeginProcessScan(app);
    const bool processCondition = app->view.process.mode != kProcessesAll;
    FilterMemo memo{};
    if (view.filterLength != 0) {
        memo.texts = TextCount(&app->rowTexts);
        memo.byText = static_cast<uint8_t*>(AllocZeroed(memo.texts));
    }
    for (int32_t i = 0; i < app->rowCount; ++i) {
        if (processCondition) {
            ObserveStoredRow(app, i);
            if (!StoredRowMeetsProcessCondition(app, i)) continue;
        }
        if (!StoredPassesViewTests(&view, app, i) || !InRuleView(&view, i)) continue;
        if (!MemoMatchesTextFilter(&view, &memo, app, i)) continue;
        if (!EnterShownRow(app, i)) {
            complete = false;
            // The process set still follows every row, for the rows that arrive next.
            for (int32_t j = i + 1; processCondition && j < app->rowCount; ++j)
                ObserveStoredRow(app, j);
            break;
        }
    }
    FreeBlock(memo.byText);
    app->shownListIncomplete = complete ? 0 : 1;
    ApplyShownOrder(app);
    LeaveLock(&app->rowsLock);

    MarkCountChanged(&app->changes, kRepaintAll);
    if (app->view.sortBy == kSortRecordingOrder) ShowSortArrow(app); // the sort may have given up
    UpdateStatusBar(app);
}

void ClearRows(Recording* app) {
    // The facts of the rows that go are read no more (a read under way ends within the wait).
    StopRowFacts(app, 2000, nullptr, nullptr);
    FreeRowFacts(app);
    ForgetYaraRows(app);
    EnterLock(&app->rowsLock);
    app->rowCount = 0;
    app->shownCount = 0;
    app->shownListIncomplete = 0;
    app->rowsUnsaved = 0; // nothing is left to lose
    // Memory beyond the first allocation goes back: a large recording or session must not keep
    // its gigabytes after Clear. The next row allocates the first block again; the texts go with
    // their rows.
    ReleaseAboveFirstBlock(reinterpret_cast<void**>(&app->rows), &app->rowCapacity);
    ReleaseAboveFirstBlock(reinterpret_cast<void**>(&app->shownRows), &app->shownCapacity);
    FreeTextStore(&app->rowTexts);
    app->rowTextsReplaced = 0;
    MarkCountChanged(&app->changes, kRepaintNone);
    app->operationNameCount = 0;
    ++app->operationNamesCleared;
    app->view.operation[0] = 0; // the names it could name are gone
    ForgetSigmaRows(app);
    ResetProcessCondition(app); // the process it named is gone with its rows
    LeaveLock(&app->rowsLock);

    UpdateStatusBar(app);
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
    OperationMemo operations;
    for (int32_t i = from; i < to; ++i)
        LearnOperationName(app, app->rows[i], &operations);
}

} // namespace olv
