#include "report/discard.h"

#include "base/format.h"
#include "platform/lock.h"
#include "platform/time.h"
#include "record/recording.h"
#include "record/stored_rows.h"

namespace olv {

namespace {

// Orders two local times by their fields (the day of the week plays no part).
bool Earlier(const SystemTime& a, const SystemTime& b) {
    const uint16_t left[] = {a.year, a.month, a.day, a.hour, a.minute, a.second, a.milliseconds};
    const uint16_t right[] = {b.year, b.month, b.day, b.hour, b.minute, b.second, b.milliseconds};
    for (size_t i = 0; i < 7; ++i) {
        if (left[i] != right[i]) return left[i] < right[i];
    }
    return false;
}

} // namespace

bool DiscardQuestion(Recording* app, DiscardReason reason, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    int32_t rows;
    {
        LockGuard guard(&app->rowsLock);
        rows = app->rowCount;
    }
    const bool closingRecording = reason == kDiscardByClose && app->recording != 0;
    if (!closingRecording && (app->rowsUnsaved == 0 || rows <= 0)) return false;

    if (closingRecording) {
        FormatText(out, capacity,
                   u"A recording is running. Closing Olvetta stops it, ends the program being "
                   u"examined and discards the %d rows recorded so far that were not saved.\n\n"
                   u"Save Session keeps them.\n\nClose anyway?",
                   rows);
    } else {
        static const char16_t* const kActions[] = {
            (u"Clear removes them; files written afterwards say how many were cleared, but not "
             u"what they held.\n\nClear anyway?"),
            u"Opening a session replaces them.\n\nOpen anyway?",
            u"Closing Olvetta discards them.\n\nClose anyway?",
        };
        FormatText(out, capacity,
                   u"%d rows have not been saved. Save Session keeps them.\n\n%s", rows,
                   kActions[reason]);
    }
    return true;
}

void CountClearedRows(Recording* app) {
    LockGuard guard(&app->rowsLock);
    if (app->rowCount <= 0) return;
    ClearedRows& c = app->cleared;
    bool any = c.rows != 0;
    for (int32_t i = 0; i < app->rowCount; ++i) {
        const SystemTime t = StoredTime(app, i);
        if (!any || Earlier(t, c.earliest)) c.earliest = t;
        if (!any || Earlier(c.latest, t)) c.latest = t;
        any = true;
    }
    const uint64_t total = uint64_t{c.rows} + static_cast<uint32_t>(app->rowCount);
    c.rows = total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total);
    c.blockSize = kClearedRowsSize;
    c.lastClear = LocalNow();
}

} // namespace olv
