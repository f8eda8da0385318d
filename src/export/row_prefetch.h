// Asking for a row's lines before a writer reaches it. The writers read a few hundred bytes of
// each 3256-byte row: at that stride the processor does not see the pattern, and every line read
// would otherwise wait for memory in turn.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/app_state.h"
#include "record/event_row.h"

namespace olv {

// How many shown rows ahead of the one being written the writers ask for.
constexpr int32_t kRowPrefetchDistance = 16;

// The lines of the fixed members and the start of each text field (three lines of the path).
inline void PrefetchRowTexts(const EventRow* row) {
#if defined(__GNUC__)
    const char* base = reinterpret_cast<const char*>(row);
    __builtin_prefetch(base);
    __builtin_prefetch(row->path);
    __builtin_prefetch(base + offsetof(EventRow, path) + 64);
    __builtin_prefetch(base + offsetof(EventRow, path) + 128);
    __builtin_prefetch(row->detail);
    __builtin_prefetch(row->result);
    __builtin_prefetch(row->process);
    __builtin_prefetch(row->threat);
    __builtin_prefetch(&row->pid);
#else
    (void)row;
#endif
}

// The row shown kRowPrefetchDistance places after shown row i, when there is one.
inline void PrefetchShownRow(const AppState* app, int32_t i) {
    const int32_t ahead = i + kRowPrefetchDistance;
    if (ahead >= app->shownCount) return;
    const int32_t index = app->shownRows[ahead];
    if (index >= 0 && index < app->rowCount) PrefetchRowTexts(&app->rows[index]);
}

} // namespace olv
