#include "record/compact_row.h"

#include <cstring>

#include "base/text.h"

namespace olv {

namespace {

// Bit widths of the packed time's members, lowest first: milliseconds, second, minute, hour,
// day, day of the week, month, year.
struct TimeField {
    uint16_t SystemTime::*member;
    uint32_t bits;
};
constexpr TimeField kTimeFields[] = {
    {&SystemTime::milliseconds, 10}, {&SystemTime::second, 6},    {&SystemTime::minute, 6},
    {&SystemTime::hour, 5},          {&SystemTime::day, 5},       {&SystemTime::dayOfWeek, 3},
    {&SystemTime::month, 4},         {&SystemTime::year, 15},
};

void PutUnits32(char16_t* at, uint32_t v) {
    at[0] = static_cast<char16_t>(v & 0xFFFF);
    at[1] = static_cast<char16_t>(v >> 16);
}

// Writes a stored text into a field of chars units: the text (cut at the field, which only a
// damaged store could need) and a zero after it when the field has room.
// Returns the units of text written.
uint32_t PutField(const TextStore* store, uint32_t id, char16_t* field, size_t chars) {
    TextView cut = TextOfId(store, id);
    // A field-filling text comes back as it was packed; a longer one (a whole script text whose
    // start the field holds) as the start, terminated like the rows the decoders make.
    if (cut.length > chars) cut.length = static_cast<uint32_t>(chars - 1);
    CopyTextUnits(cut, field);
    if (cut.length < chars) field[cut.length] = 0;
    return cut.length;
}

// Whether the view holds the length units of text from unit at on.
bool ViewHasAt(TextView view, uint32_t at, const char16_t* text, uint32_t length) {
    if (at + length > view.length) return false;
    for (uint32_t i = 0; i < length; ++i) {
        if (TextUnitAt(view, at + i) != text[i]) return false;
    }
    return true;
}

} // namespace

bool PackSystemTime(const SystemTime& t, uint64_t* packed) {
    uint64_t v = 0;
    uint32_t shift = 0;
    for (const TimeField& f : kTimeFields) {
        const uint64_t member = t.*f.member;
        if (member >= (uint64_t{1} << f.bits)) return false;
        v |= member << shift;
        shift += f.bits;
    }
    *packed = v;
    return true;
}

SystemTime UnpackSystemTime(uint64_t packed) {
    // The members in kTimeFields' order, written out: every line an export writes unpacks a
    // time, and the loop over member pointers is not unrolled.
    static_assert(kTimeFields[0].bits == 10 && kTimeFields[1].bits == 6 &&
                  kTimeFields[2].bits == 6 && kTimeFields[3].bits == 5 &&
                  kTimeFields[4].bits == 5 && kTimeFields[5].bits == 3 &&
                  kTimeFields[6].bits == 4 && kTimeFields[7].bits == 15);
    static_assert(
        kTimeFields[0].member == &SystemTime::milliseconds &&
        kTimeFields[1].member == &SystemTime::second &&
        kTimeFields[2].member == &SystemTime::minute &&
        kTimeFields[3].member == &SystemTime::hour && kTimeFields[4].member == &SystemTime::day &&
        kTimeFields[5].member == &SystemTime::dayOfWeek &&
        kTimeFields[6].member == &SystemTime::month && kTimeFields[7].member == &SystemTime::year);
    const auto take = [&packed](uint32_t bits) {
        const auto member = static_cast<uint16_t>(packed & ((uint64_t{1} << bits) - 1));
        packed >>= bits;
        return member;
    };
    SystemTime t{};
    t.milliseconds = take(10);
    t.second = take(6);
    t.minute = take(6);
    t.hour = take(5);
    t.day = take(5);
    t.dayOfWeek = take(3);
    t.month = take(4);
    t.year = take(15);
    return t;
}

namespace {

// The id of a field's text: from the field's cache when one of its last texts is the same, else
// from the store (and then remembered).
// A field's text: its length and hash, made once.
struct FieldText {
    const char16_t* units;
    size_t length;
    uint64_t hash;
};

bool InternFieldCached(TextStore* store, PackCacheField* cache, const FieldText& text,
                       uint32_t* id) {
    const char16_t* field = text.units;
    const size_t length = text.length;
    const uint64_t hash = text.hash;
    if (length == 0) {
        *id = 0;
        return true;
    }
    if (cache != nullptr) {
        for (uint32_t k = 0; k < kPackCacheWays; ++k) {
            if (cache->hashes[k] == hash && cache->ids[k] != 0 &&
                TextViewEquals(TextOfId(store, cache->ids[k]), field, length)) {
                *id = cache->ids[k];
                return true;
            }
        }
    }
    if (!InternHashedText(store, field, length, hash, id)) return false;
    if (cache != nullptr) {
        const uint32_t k = cache->next++ % kPackCacheWays;
        cache->hashes[k] = hash;
        cache->ids[k] = *id;
    }
    return true;
}

bool SameContext(const RowContext& a, const RowContext& b) {
    return a.parentPid == b.parentPid && a.reserved == b.reserved && a.keyObject == b.keyObject &&
           a.process == b.process && a.threat == b.threat && a.operation == b.operation;
}

} // namespace

bool InternContext(TextStore* store, const RowContext& context, uint32_t* id) {
    char16_t units[kContextUnits];
    PutUnits32(units + 0, context.parentPid);
    PutUnits32(units + 2, context.reserved);
    PutUnits32(units + 4, static_cast<uint32_t>(context.keyObject));
    PutUnits32(units + 6, static_cast<uint32_t>(context.keyObject >> 32));
    PutUnits32(units + 8, context.process);
    PutUnits32(units + 10, context.threat);
    PutUnits32(units + 12, context.operation);
    return InternText(store, units, kContextUnits, id);
}

namespace {

// The texts of a row in RowChanges order, and the cache field of each.
struct RowField {
    size_t offset;
    size_t chars;
    int cacheField;
};
constexpr RowField kRowFields[6] = {
    {offsetof(EventRow, operation), kOperationChars, 5},
    {offsetof(EventRow, path), kPathChars, 0},
    {offsetof(EventRow, detail), kDetailChars, 1},
    {offsetof(EventRow, result), kResultChars, 2},
    {offsetof(EventRow, process), kProcessChars, 3},
    {offsetof(EventRow, threat), kThreatChars, 4},
};
enum : size_t { kOperation, kPath, kDetail, kResult, kProcess, kThreat };

const char16_t* FieldOf(const EventRow* row, size_t t) {
    return reinterpret_cast<const char16_t*>(reinterpret_cast<const unsigned char*>(row) +
                                             kRowFields[t].offset);
}

// Both packings: a text, the kind, the time and the context are made anew when changes says they
// changed or there is no row before (last is null), and taken from the row before otherwise.
bool PackWith(TextStore* store, const EventRow* row, const RowChanges& changes,
              const CompactRow* last, const RowContext* lastContext, PackCache* cache,
              CompactRow* out, RowContext* outContext) {
    if (row->category > 0xFF || row->severity > 0xFF) return false;
    const uint32_t changed = last != nullptr ? changes.changed : kChangedAll;
    // A count past its field is cut to the field.
    size_t lengths[6];
    for (size_t t = 0; t < 6; ++t)
        lengths[t] =
            changes.units[t] < kRowFields[t].chars ? size_t{changes.units[t]} : kRowFields[t].chars;
    CompactRow c{};
    if ((changed & kChangedTime) == 0) {
        c.time = last->time;
    } else if (!PackSystemTime(row->time, &c.time)) {
        char16_t units[kTimeUnits];
        static_assert(sizeof units == sizeof(SystemTime));
        std::memcpy(units, &row->time, sizeof units);
        uint32_t id = 0;
        if (!InternText(store, units, kTimeUnits, &id)) return false;
        c.time = kTimeInStore | id;
    }
    c.timestamp = row->timestamp;
    c.pid = row->pid;
    c.threadId = row->threadId;
    c.category = static_cast<uint8_t>(row->category);
    c.severity = static_cast<uint8_t>(row->severity);
    const RowKind kind = (changed & (kChangedCategory | ChangedText(kOperation))) == 0
                             ? KindOf(*last)
                             : RowKindOf(row->category, row->operation, lengths[kOperation]);
    c.kind = static_cast<uint16_t>(kind);
    RowContext context{};
    uint32_t* ids[6] = {&context.operation, &c.path,          &c.detail,
                        &c.result,          &context.process, &context.threat};
    const uint32_t lastIds[6] = {
        last != nullptr ? lastContext->operation : 0, last != nullptr ? last->path : 0,
        last != nullptr ? last->detail : 0,           last != nullptr ? last->result : 0,
        last != nullptr ? lastContext->process : 0,   last != nullptr ? lastContext->threat : 0};
    // The operation is kept only for a row of kind Other; the row before's is that text's id
    // only when that row was of kind Other too.
    const bool operationKept = (changed & ChangedText(kOperation)) == 0 && last != nullptr &&
                               KindOf(*last) == RowKind::Other;
    auto intern = [&](size_t t, const FieldText& text) {
        return InternFieldCached(
            store, cache != nullptr ? &cache->fields[kRowFields[t].cacheField] : nullptr, text,
            ids[t]);
    };
    auto textOf = [&](size_t t) {
        const char16_t* field = FieldOf(row, t);
        return FieldText{field, lengths[t], TextHash(field, lengths[t])};
    };
    // The path is most often a text the rows just before did not have: its index slot is asked
    // for first, and looked up after the other fields, which are mostly found in the cache.
    const bool pathChanged = (changed & ChangedText(kPath)) != 0;
    FieldText path{};
    if (pathChanged && changes.pathHashUnits != 0 && changes.pathHashUnits == lengths[kPath]) {
        path = FieldText{FieldOf(row, kPath), lengths[kPath], changes.pathHash};
    } else if (pathChanged) {
        path = textOf(kPath);
        if (path.length != 0) PrefetchTextSlot(store, path.hash);
    }
    static constexpr size_t kOrder[] = {kDetail, kResult, kProcess, kThreat, kOperation};
    for (size_t t : kOrder) {
        if (t == kOperation) {
            if (kind != RowKind::Other) continue;
            if (operationKept) {
                *ids[t] = lastIds[t];
                continue;
            }
        } else if ((changed & ChangedText(t)) == 0) {
            *ids[t] = lastIds[t];
            continue;
        }
        if (!intern(t, textOf(t))) return false;
    }
    if (!pathChanged) {
        c.path = lastIds[kPath];
    } else if (!intern(kPath, path)) {
        return false;
    }
    context.parentPid = row->parentPid;
    context.reserved = row->reserved;
    context.keyObject = row->keyObject;
    c.context = 0;
    if (last != nullptr && SameContext(*lastContext, context)) c.context = last->context;
    for (uint32_t k = 0; c.context == 0 && cache != nullptr && k < kPackCacheWays; ++k) {
        if (cache->contextIds[k] != 0 && SameContext(cache->contexts[k], context))
            c.context = cache->contextIds[k];
    }
    if (c.context == 0) {
        if (!InternContext(store, context, &c.context)) return false;
        if (cache != nullptr) {
            const uint32_t k = cache->nextContext++ % kPackCacheWays;
            cache->contexts[k] = context;
            cache->contextIds[k] = c.context;
        }
    }
    *out = c;
    *outContext = context;
    return true;
}

} // namespace

bool PackRow(TextStore* store, const EventRow* row, CompactRow* out, PackCache* cache) {
    RowChanges all{};
    all.changed = kChangedAll;
    all.pathHashUnits = 0;
    for (size_t t = 0; t < 6; ++t)
        all.units[t] = static_cast<uint16_t>(FieldTextLength(FieldOf(row, t), kRowFields[t].chars));
    RowContext context;
    return PackWith(store, row, all, nullptr, nullptr, cache, out, &context);
}

bool PackChangedRow(TextStore* store, PackRun* run, const EventRow* row, const RowChanges& changes,
                    CompactRow* out) {
    const bool hasLast = run->hasLast != 0;
    run->hasLast = 0;
    CompactRow c;
    RowContext context;
    if (!PackWith(store, row, changes, hasLast ? &run->last : nullptr,
                  hasLast ? &run->context : nullptr, &run->cache, &c, &context)) {
        return false;
    }
    run->last = c;
    run->context = context;
    run->hasLast = 1;
    *out = c;
    return true;
}

void MeasureRowsInRun(const EventRow* previous, const EventRow* rows, uint32_t n,
                      RowChanges* changes) {
    uint16_t units[6] = {};
    for (size_t t = 0; previous != nullptr && t < 6; ++t)
        units[t] =
            static_cast<uint16_t>(FieldTextLength(FieldOf(previous, t), kRowFields[t].chars));
    for (uint32_t i = 0; i < n; ++i) {
        const EventRow* row = &rows[i];
        const EventRow* before = i > 0 ? row - 1 : previous;
        RowChanges& c = changes[i];
        c = RowChanges{};
        c.changed = before == nullptr ? kChangedAll : 0;
        if (before != nullptr && row->category != before->category) c.changed |= kChangedCategory;
        if (before != nullptr && std::memcmp(&row->time, &before->time, sizeof row->time) != 0)
            c.changed |= kChangedTime;
        for (size_t t = 0; t < 6; ++t) {
            const char16_t* field = FieldOf(row, t);
            const auto length = static_cast<uint16_t>(FieldTextLength(field, kRowFields[t].chars));
            if (before == nullptr || length != units[t] ||
                std::memcmp(field, FieldOf(before, t), length * sizeof(char16_t)) != 0) {
                c.changed |= ChangedText(t);
            }
            units[t] = length;
            c.units[t] = length;
        }
        if ((c.changed & ChangedText(kPath)) != 0 && c.units[kPath] != 0) {
            c.pathHash = TextHash(FieldOf(row, kPath), c.units[kPath]);
            c.pathHashUnits = c.units[kPath];
        }
    }
}

uint32_t PackMeasuredRows(TextStore* store, PackRun* run, const EventRow* rows, uint32_t n,
                          const RowChanges* changes, CompactRow* out) {
    // Rows whose path slots are asked for ahead of their packing: far enough for a slot to
    // arrive from memory, few enough for their records and slots to stay in the cache.
    constexpr uint32_t kAhead = 32;
    for (uint32_t i = 0; i < n && i < kAhead; ++i) {
        if (changes[i].pathHashUnits != 0) PrefetchTextSlot(store, changes[i].pathHash);
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (i + kAhead < n && changes[i + kAhead].pathHashUnits != 0)
            PrefetchTextSlot(store, changes[i + kAhead].pathHash);
        if (!PackChangedRow(store, run, &rows[i], changes[i], &out[i])) return i;
    }
    return n;
}

uint32_t PackRowsInRun(TextStore* store, PackRun* run, const EventRow* rows, uint32_t n,
                       CompactRow* out) {
    // Measured a group at a time, so that the rows are still in the cache when packed.
    constexpr uint32_t kGroup = 32;
    RowChanges changes[kGroup];
    for (uint32_t from = 0; from < n; from += kGroup) {
        const uint32_t m = n - from < kGroup ? n - from : kGroup;
        MeasureRowsInRun(from > 0 ? &rows[from - 1] : nullptr, &rows[from], m, changes);
        const uint32_t packed = PackMeasuredRows(store, run, &rows[from], m, changes, &out[from]);
        if (packed != m) return from + packed;
    }
    return n;
}

RowContext ContextOf(const TextStore* store, const CompactRow& row) {
    const TextView view = TextOfId(store, row.context);
    if (view.length != kContextUnits) return RowContext{};
    // Read unit by unit from the store: units copied out and read back four bytes at a time
    // would wait on the store buffer for every row.
    const auto get32 = [view](uint32_t at) {
        return uint32_t{TextUnitAt(view, at)} | (uint32_t{TextUnitAt(view, at + 1)} << 16);
    };
    RowContext c{};
    c.parentPid = get32(0);
    c.reserved = get32(2);
    c.keyObject = uint64_t{get32(4)} | (uint64_t{get32(6)} << 32);
    c.process = get32(8);
    c.threat = get32(10);
    c.operation = get32(12);
    return c;
}

RowKind KindOf(const CompactRow& row) {
    return row.kind < kRowKindCount ? static_cast<RowKind>(row.kind) : RowKind::Other;
}

TextView OperationOf(const TextStore* store, const CompactRow& row) {
    const RowKind kind = KindOf(row);
    if (kind != RowKind::Other) {
        return TextView{reinterpret_cast<const uint8_t*>(RowKindOperation(kind)),
                        static_cast<uint32_t>(RowKindOperationLength(kind)), true};
    }
    return TextOfId(store, ContextOf(store, row).operation);
}

void UnpackRow(const TextStore* store, const CompactRow* row, EventRow* out) {
    std::memset(static_cast<void*>(out), 0, sizeof *out);
    UnpackRowTerminated(store, row, out);
}

SystemTime TimeOfRow(const TextStore* store, const CompactRow& row) {
    if ((row.time & kTimeInStore) == 0) return UnpackSystemTime(row.time);
    SystemTime t{};
    const TextView view = TextOfId(store, static_cast<uint32_t>(row.time));
    if (view.length == kTimeUnits) {
        char16_t units[kTimeUnits];
        static_assert(sizeof units == sizeof t);
        CopyTextUnits(view, units);
        std::memcpy(&t, units, sizeof t);
    }
    return t;
}

namespace {

// The members of a row that are not texts; the row's context is returned for its texts.
RowContext UnpackNumbers(const TextStore* store, const CompactRow* row, EventRow* out) {
    out->time = TimeOfRow(store, *row);
    out->category = row->category;
    out->severity = row->severity;
    out->pid = row->pid;
    out->threadId = row->threadId;
    out->timestamp = row->timestamp;
    const RowContext c = ContextOf(store, *row);
    out->parentPid = c.parentPid;
    out->reserved = c.reserved;
    out->keyObject = c.keyObject;
    return c;
}

// A text already cut to its field of chars units, terminated when shorter.
void PutFieldView(TextView view, char16_t* field, size_t chars) {
    CopyTextUnits(view, field);
    if (view.length < chars) field[view.length] = 0;
}

} // namespace

void UnpackRowMeasured(const TextStore* store, const CompactRow* row, EventRow* out,
                       uint16_t* units) {
    const RowContext c = UnpackNumbers(store, row, out);
    const RowKind kind = KindOf(*row);
    if (kind != RowKind::Other) {
        const size_t length = RowKindOperationLength(kind);
        std::memcpy(out->operation, RowKindOperation(kind), length * sizeof(char16_t));
        out->operation[length] = 0;
        units[0] = static_cast<uint16_t>(length);
    } else {
        units[0] =
            static_cast<uint16_t>(PutField(store, c.operation, out->operation, kOperationChars));
    }
    units[1] = static_cast<uint16_t>(PutField(store, row->path, out->path, kPathChars));
    units[2] = static_cast<uint16_t>(PutField(store, row->detail, out->detail, kDetailChars));
    units[3] = static_cast<uint16_t>(PutField(store, row->result, out->result, kResultChars));
    units[4] = static_cast<uint16_t>(PutField(store, c.process, out->process, kProcessChars));
    units[5] = static_cast<uint16_t>(PutField(store, c.threat, out->threat, kThreatChars));
}

void UnpackRowTerminated(const TextStore* store, const CompactRow* row, EventRow* out) {
    uint16_t units[kEventRowTexts];
    UnpackRowMeasured(store, row, out, units);
}

void UnpackRowTerminatedFromViews(const TextStore* store, const CompactRow* row,
                                  const TextView* views, EventRow* out) {
    UnpackNumbers(store, row, out);
    PutFieldView(views[0], out->operation, kOperationChars);
    PutFieldView(views[1], out->path, kPathChars);
    PutFieldView(views[2], out->detail, kDetailChars);
    PutFieldView(views[3], out->result, kResultChars);
    PutFieldView(views[4], out->process, kProcessChars);
    PutFieldView(views[5], out->threat, kThreatChars);
}

bool StartedProcessFacts(const TextStore* store, const CompactRow& row, uint32_t* commandLine,
                         uint32_t* imageStart, uint32_t* imageLength) {
    const RowKind kind = KindOf(row);
    if (kind != RowKind::StartedProcess && kind != RowKind::StartedChildProcess) return false;
    const TextView line = TextOfId(store, row.path);
    uint32_t start = 0, end = 0;
    if (line.length > 0 && TextUnitAt(line, 0) == u'"') {
        // "C:\Program Files\x.exe" args: the quoted part, an unclosed quote runs to the end.
        start = 1;
        end = start;
        while (end < line.length && TextUnitAt(line, end) != u'"')
            ++end;
    } else {
        // C:\Windows\system32\conhost.exe 0xffffffff: up to the first blank.
        while (end < line.length && TextUnitAt(line, end) != u' ')
            ++end;
    }
    *commandLine = row.path;
    *imageStart = start;
    *imageLength = end - start;
    return true;
}

bool RegistryFacts(const TextStore* store, const CompactRow& row, uint32_t* key,
                   uint32_t* valueStart, uint32_t* valueLength) {
    if (KindOf(row) == RowKind::Other || RowKindCategory(KindOf(row)) != kCategoryRegistry)
        return false;
    static constexpr char16_t kValue[] = u"Value: ";
    constexpr uint32_t kValueUnits = sizeof kValue / sizeof kValue[0] - 1;
    const TextView detail = TextOfId(store, row.detail);
    *key = row.path;
    if (ViewHasAt(detail, 0, kValue, kValueUnits)) {
        *valueStart = kValueUnits;
        *valueLength = detail.length - kValueUnits;
    } else {
        *valueStart = 0;
        *valueLength = 0;
    }
    return true;
}

bool NetworkEndpoints(const TextStore* store, const CompactRow& row, uint32_t* sourceLength,
                      uint32_t* destinationStart, uint32_t* destinationLength) {
    const RowKind kind = KindOf(row);
    if (kind < RowKind::SentTcp || kind > RowKind::ReceivedUdp) return false;
    static constexpr char16_t kArrow[] = u" -> ";
    const TextView path = TextOfId(store, row.path);
    for (uint32_t at = 0; at + 4 <= path.length; ++at) {
        if (!ViewHasAt(path, at, kArrow, 4)) continue;
        *sourceLength = at;
        *destinationStart = at + 4;
        *destinationLength = path.length - at - 4;
        return true;
    }
    *sourceLength = path.length;
    *destinationStart = path.length;
    *destinationLength = 0;
    return true;
}

} // namespace olv
