#include "export/row_batch.h"

#include <cstddef>

#include "base/text.h"
#include "record/app_state.h"

namespace olv {

namespace {

// How many shown entries ahead of the one measured the lines are asked for.
constexpr int32_t kRowPrefetchDistance = 16;

// The lines of the fixed members and the start of each text (three lines of the path).
void PrefetchRowTexts(const EventRow* row) {
#if defined(__GNUC__)
    const char* base = reinterpret_cast<const char*>(row);
    __builtin_prefetch(base);
    __builtin_prefetch(base + offsetof(EventRow, path));
    __builtin_prefetch(base + offsetof(EventRow, path) + 64);
    __builtin_prefetch(base + offsetof(EventRow, path) + 128);
    __builtin_prefetch(base + offsetof(EventRow, detail));
    __builtin_prefetch(base + offsetof(EventRow, result));
    __builtin_prefetch(base + offsetof(EventRow, process));
    __builtin_prefetch(base + offsetof(EventRow, threat));
    __builtin_prefetch(base + offsetof(EventRow, pid));
#else
    (void)row;
#endif
}

uint16_t Measure(const char16_t* field, size_t chars) {
    return static_cast<uint16_t>(FieldTextLength(field, chars));
}

} // namespace

bool MeasureShownRows(const AppState* app, int32_t first, int32_t count, RowTextLengths* lengths) {
    for (int32_t j = 0; j < count; ++j) {
        const int32_t ahead = first + j + kRowPrefetchDistance;
        if (ahead < app->shownCount) {
            const int32_t next = app->shownRows[ahead];
            if (next >= 0 && next < app->rowCount) PrefetchRowTexts(&app->rows[next]);
        }
        const int32_t index = app->shownRows[first + j];
        if (index < 0 || index >= app->rowCount) return false;
        const EventRow& row = app->rows[index];
        RowTextLengths& l = lengths[j];
        l.chars[kTextOperation] = Measure(row.operation, kOperationChars);
        l.chars[kTextPath] = Measure(row.path, kPathChars);
        l.chars[kTextDetail] = Measure(row.detail, kDetailChars);
        l.chars[kTextResult] = Measure(row.result, kResultChars);
        l.chars[kTextProcess] = Measure(row.process, kProcessChars);
        l.chars[kTextThreat] = Measure(row.threat, kThreatChars);
    }
    return true;
}

} // namespace olv
