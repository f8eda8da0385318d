#include "record/stored_rows.h"

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "base/text.h"
#include "record/compact_row.h"
#include "record/recording.h"

namespace olv {

namespace {

const CompactRow& At(const Recording* app, int32_t index) { return app->rows[index]; }

// A text as the row's field holds it: cut to the field's capacity (a text from a damaged file
// is never longer; the store's texts of a recording never are).
TextView CutToField(TextView view, RowText which) {
    const size_t capacity = RowTextCapacity(which);
    // A text longer than its field is a whole script text: its field holds the start, terminated
    // (UnpackRow gives the same); a field-filling text of an old file stays whole.
    if (view.length > capacity) view.length = static_cast<uint32_t>(capacity - 1);
    return view;
}

// The id a field text is stored under: the text up to its terminator, cut to the field.
bool InternFieldText(TextStore* store, const char16_t* text, RowText which, uint32_t* id) {
    if (text == nullptr) text = u"";
    // A terminated text of any size: read unit by unit, never past its terminator.
    const size_t most = RowTextCapacity(which) - 1;
    size_t length = 0;
    while (length < most && text[length] != 0)
        ++length;
    return InternText(store, text, length, id);
}

} // namespace

size_t RowTextCapacity(RowText which) {
    switch (which) {
    case kTextOperation: return kOperationChars;
    case kTextPath: return kPathChars;
    case kTextDetail: return kDetailChars;
    case kTextResult: return kResultChars;
    case kTextProcess: return kProcessChars;
    case kTextThreat: return kThreatChars;
    default: return kOperationChars;
    }
}

void ReadStoredRow(const Recording* app, int32_t index, EventRow* out) {
    UnpackRow(&app->rowTexts, &At(app, index), out);
}

void ReadStoredRowTerminated(const Recording* app, int32_t index, const TextView* views,
                             EventRow* out) {
    static_assert(kTextOperation == 0 && kTextPath == 1 && kTextDetail == 2 && kTextResult == 3 &&
                      kTextProcess == 4 && kTextThreat == 5,
                  "the views are in the order of EventRow's fields");
    UnpackRowTerminatedFromViews(&app->rowTexts, &At(app, index), views, out);
}

void RemakeStoredRows(const Recording* app, int32_t first, uint32_t n, EventRow* out,
                      StoredRowUse* use) {
    const TextStore* store = &app->rowTexts;
    // A row's texts lie anywhere in the store: an entry, then its text, each a miss. Entries are
    // asked for kEntriesAhead rows ahead and texts (their entries then in the cache) kTextsAhead
    // rows ahead, so that both arrive before the row is made. The process and threat texts,
    // named by the context, are few and stay in the cache.
    constexpr uint32_t kEntriesAhead = 16;
    constexpr uint32_t kTextsAhead = 8;
    const auto askEntries = [store](const CompactRow& row) {
        for (const uint32_t id : {row.context, row.path, row.detail, row.result}) {
            if (id != 0 && id < store->count) __builtin_prefetch(&store->entries[id]);
        }
    };
    const auto askTexts = [app](int32_t index) {
        for (const RowText which : {kTextProcess, kTextPath, kTextDetail, kTextResult})
            PrefetchStoredText(app, index, which); // the process: its row's context
    };
    static_assert(kEventRowTexts == kRowTextCount);
    static constexpr size_t kFieldOffsets[kEventRowTexts] = {
        offsetof(EventRow, operation), offsetof(EventRow, path),    offsetof(EventRow, detail),
        offsetof(EventRow, result),    offsetof(EventRow, process), offsetof(EventRow, threat)};
    for (uint32_t i = 0; i < n && i < kEntriesAhead; ++i)
        askEntries(At(app, first + static_cast<int32_t>(i)));
    for (uint32_t i = 0; i < n && i < kTextsAhead; ++i)
        askTexts(first + static_cast<int32_t>(i));
    for (uint32_t i = 0; i < n; ++i) {
        if (i + kEntriesAhead < n)
            askEntries(At(app, first + static_cast<int32_t>(i + kEntriesAhead)));
        if (i + kTextsAhead < n) askTexts(first + static_cast<int32_t>(i + kTextsAhead));
        uint16_t units[kEventRowTexts];
        UnpackRowMeasured(store, &At(app, first + static_cast<int32_t>(i)), &out[i], units);
        for (size_t f = 0; f < kEventRowTexts; ++f) {
            const uint16_t before = use[i].units[f];
            // The new text wrote its terminator at units[f]; what the old one held past it goes.
            if (before > units[f]) {
                unsigned char* field = reinterpret_cast<unsigned char*>(&out[i]) + kFieldOffsets[f];
                std::memset(field + size_t{units[f]} * sizeof(char16_t), 0,
                            (size_t{before} - units[f]) * sizeof(char16_t));
            }
            use[i].units[f] = units[f];
        }
    }
}

const CompactRow& StoredRecord(const Recording* app, int32_t index) { return At(app, index); }
const TextStore* StoredTexts(const Recording* app) { return &app->rowTexts; }

RowKind StoredKind(const Recording* app, int32_t index) { return KindOf(At(app, index)); }
uint32_t StoredCategory(const Recording* app, int32_t index) { return At(app, index).category; }
uint32_t StoredPid(const Recording* app, int32_t index) { return At(app, index).pid; }
uint32_t StoredThreadId(const Recording* app, int32_t index) { return At(app, index).threadId; }
uint32_t StoredSeverity(const Recording* app, int32_t index) { return At(app, index).severity; }
uint64_t StoredTimestamp(const Recording* app, int32_t index) { return At(app, index).timestamp; }

uint32_t StoredParentPid(const Recording* app, int32_t index) {
    return ContextOf(&app->rowTexts, At(app, index)).parentPid;
}

uint64_t StoredKeyObject(const Recording* app, int32_t index) {
    return ContextOf(&app->rowTexts, At(app, index)).keyObject;
}

SystemTime StoredTime(const Recording* app, int32_t index) {
    return TimeOfRow(&app->rowTexts, At(app, index));
}

void PrefetchStoredRow(const Recording* app, int32_t index) {
    __builtin_prefetch(&app->rows[index]);
}

void PrefetchStoredText(const Recording* app, int32_t index, RowText which) {
    const CompactRow& row = At(app, index);
    const TextStore* store = &app->rowTexts;
    uint32_t id = 0;
    switch (which) {
    case kTextPath: id = row.path; break;
    case kTextDetail: id = row.detail; break;
    case kTextResult: id = row.result; break;
    default: id = row.context; break; // the context names the process, threat and other texts
    }
    if (id != 0 && id < store->count) __builtin_prefetch(store->pool + store->entries[id].offset);
}

TextView StoredText(const Recording* app, int32_t index, RowText which) {
    const TextStore* store = &app->rowTexts;
    const CompactRow& row = At(app, index);
    switch (which) {
    case kTextPath: return CutToField(TextOfId(store, row.path), which);
    case kTextDetail: return CutToField(TextOfId(store, row.detail), which);
    case kTextResult: return CutToField(TextOfId(store, row.result), which);
    case kTextProcess: return CutToField(TextOfId(store, ContextOf(store, row).process), which);
    case kTextThreat: return CutToField(TextOfId(store, ContextOf(store, row).threat), which);
    case kTextOperation:
    default: return CutToField(OperationOf(store, row), kTextOperation);
    }
}

void StoredTextViews(const Recording* app, int32_t index, TextView* views) {
    const TextStore* store = &app->rowTexts;
    const CompactRow& row = At(app, index);
    const RowContext c = ContextOf(store, row);
    const RowKind kind = KindOf(row);
    views[kTextOperation] =
        CutToField(kind != RowKind::Other ? OperationOf(store, row) : TextOfId(store, c.operation),
                   kTextOperation);
    views[kTextPath] = CutToField(TextOfId(store, row.path), kTextPath);
    views[kTextDetail] = CutToField(TextOfId(store, row.detail), kTextDetail);
    views[kTextResult] = CutToField(TextOfId(store, row.result), kTextResult);
    views[kTextProcess] = CutToField(TextOfId(store, c.process), kTextProcess);
    views[kTextThreat] = CutToField(TextOfId(store, c.threat), kTextThreat);
}

TextView StoredWholePath(const Recording* app, int32_t index) {
    return TextOfId(&app->rowTexts, At(app, index).path);
}

size_t CopyStoredText(const Recording* app, int32_t index, RowText which, char16_t* out,
                      size_t capacity) {
    if (capacity == 0) return 0;
    const TextView view = StoredText(app, index, which);
    const size_t n = view.length < capacity - 1 ? view.length : capacity - 1;
    const TextView cut{view.data, static_cast<uint32_t>(n), view.wide};
    CopyTextUnits(cut, out);
    out[n] = 0;
    return n;
}

bool SetStoredThreat(Recording* app, int32_t index, uint32_t severity, const char16_t* threat) {
    if (severity > 0xFF) return false;
    CompactRow& row = app->rows[index];
    RowContext context = ContextOf(&app->rowTexts, row);
    uint32_t threatId = 0, contextId = 0;
    if (!InternFieldText(&app->rowTexts, threat, kTextThreat, &threatId)) return false;
    if (threatId != context.threat) {
        context.threat = threatId;
        if (!InternContext(&app->rowTexts, context, &contextId)) return false;
        row.context = contextId;
        app->rowTextsReplaced = 1;
    }
    row.severity = static_cast<uint8_t>(severity);
    return true;
}

bool SetStoredPath(Recording* app, int32_t index, const char16_t* path) {
    uint32_t id = 0;
    if (!InternFieldText(&app->rowTexts, path, kTextPath, &id)) return false;
    if (id != app->rows[index].path) app->rowTextsReplaced = 1;
    app->rows[index].path = id;
    return true;
}

RowFacts StoredFacts(const Recording* app, int32_t index) {
    RowFacts facts{};
    FactsOf(&app->rowTexts, At(app, index), &facts);
    return facts;
}

TextView StoredFactText(const Recording* app, int32_t index, RowFact fact, bool* known) {
    const RowFacts facts = StoredFacts(app, index);
    *known = fact < kRowFactCount && FactKnown(facts, fact);
    TextView view = FactTextOf(&app->rowTexts, facts, fact);
    if (view.length > kFactChars - 1) view.length = kFactChars - 1;
    return view;
}

bool SetStoredFacts(Recording* app, int32_t index, const RowFactTexts& given) {
    CompactRow& row = app->rows[index];
    const RowFactsLayout layout = FactsLayoutOfKind(KindOf(row));
    const uint32_t mask = given.known & FactsOfLayout(layout);
    if (mask == 0) return true;
    RowFacts facts{};
    if (!FactsOf(&app->rowTexts, row, &facts)) facts = RowFacts{};
    facts.layout = layout;
    for (uint32_t f = 0; f < kRowFactCount; ++f) {
        if ((mask & (1u << f)) == 0) continue;
        const char16_t* text = given.text[f] != nullptr ? given.text[f] : u"";
        size_t length = 0;
        while (length < kFactChars - 1 && text[length] != 0)
            ++length;
        if (!InternText(&app->rowTexts, text, length, &facts.text[f])) return false;
        facts.known |= 1u << f;
    }
    uint32_t id = 0;
    if (!InternFacts(&app->rowTexts, facts, &id)) return false;
    // The record replaced stays in the store, named by no row.
    if (row.facts != 0 && row.facts != id) app->rowTextsReplaced = 1;
    row.facts = id;
    return true;
}

} // namespace olv
