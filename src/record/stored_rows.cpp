#include "record/stored_rows.h"

#include <cstring>

#include "base/text.h"
#include "record/recording.h"

namespace olv {

namespace {

const EventRow& At(const Recording* app, int32_t index) { return app->rows[index]; }

const char16_t* FieldOf(const EventRow& row, RowText which) {
    switch (which) {
    case kTextOperation: return row.operation;
    case kTextPath: return row.path;
    case kTextDetail: return row.detail;
    case kTextResult: return row.result;
    case kTextProcess: return row.process;
    case kTextThreat: return row.threat;
    default: return row.operation;
    }
}

char16_t* FieldOf(EventRow& row, RowText which) {
    return const_cast<char16_t*>(FieldOf(static_cast<const EventRow&>(row), which));
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
    std::memcpy(static_cast<void*>(out), &At(app, index), sizeof(EventRow));
}

RowKind StoredKind(const Recording* app, int32_t index) { return RowKindOfRow(At(app, index)); }
uint32_t StoredCategory(const Recording* app, int32_t index) { return At(app, index).category; }
uint32_t StoredPid(const Recording* app, int32_t index) { return At(app, index).pid; }
uint32_t StoredThreadId(const Recording* app, int32_t index) { return At(app, index).threadId; }
uint32_t StoredParentPid(const Recording* app, int32_t index) { return At(app, index).parentPid; }
uint32_t StoredSeverity(const Recording* app, int32_t index) { return At(app, index).severity; }
uint64_t StoredKeyObject(const Recording* app, int32_t index) { return At(app, index).keyObject; }
uint64_t StoredTimestamp(const Recording* app, int32_t index) { return At(app, index).timestamp; }
SystemTime StoredTime(const Recording* app, int32_t index) { return At(app, index).time; }

void PrefetchStoredRow(const Recording* app, int32_t index) {
    const EventRow& row = At(app, index);
    __builtin_prefetch(&row.time);
    __builtin_prefetch(&row.pid);
}

void PrefetchStoredText(const Recording* app, int32_t index, RowText which) {
    __builtin_prefetch(FieldOf(At(app, index), which));
}

TextView StoredText(const Recording* app, int32_t index, RowText which) {
    const char16_t* field = FieldOf(At(app, index), which);
    const size_t length = FieldTextLength(field, RowTextCapacity(which));
    return TextView{reinterpret_cast<const uint8_t*>(field), static_cast<uint32_t>(length), true};
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
    EventRow& row = app->rows[index];
    row.severity = severity;
    char16_t* field = FieldOf(row, kTextThreat);
    std::memset(field, 0, kThreatChars * sizeof(char16_t));
    CopyBounded(field, kThreatChars, threat != nullptr ? threat : u"");
    return true;
}

bool SetStoredPath(Recording* app, int32_t index, const char16_t* path) {
    char16_t* field = FieldOf(app->rows[index], kTextPath);
    std::memset(field, 0, kPathChars * sizeof(char16_t));
    CopyBounded(field, kPathChars, path != nullptr ? path : u"");
    return true;
}

} // namespace olv
