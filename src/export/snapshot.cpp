// The copy of the recording's block taken before a file is written: the queue emptied first,
// the shown list whole, or nothing is written.
#include "export/snapshot.h"

#include "base/atomic.h"
#include "base/format.h"
#include "capture/event_queue.h"
#include "platform/lock.h"
#include "platform/time.h"
#include "record/recording.h"
#include "report/completeness.h"
#include "views/row_store.h"

namespace olv {

namespace {

constexpr int kSnapshotTries = 8;
constexpr size_t kMessageChars = 1024;

void EventsStillWaiting(Outcome* why, int64_t waiting) {
    char16_t text[kMessageChars];
    FormatText(text, kMessageChars,
               u"Nothing was written.\n\n%ld recorded events are still waiting to be taken in, "
               u"and this computer cannot take them right now. A file written at this moment "
               u"would leave them out while saying the record was complete.\n\nStop the "
               u"recording and save again.",
               waiting);
    SetOutcome(why, OutcomeCode::kNotWritable, kIconError, text);
}

void ShownListIncomplete(Outcome* why) {
    SetOutcome(why, OutcomeCode::kNotWritable, kIconError,
               u"Nothing was written.\n\nSome recorded rows could not be added to the list of "
               u"shown rows, because this computer would not give the memory for it. They are "
               u"on the record but not in the list, and CSV and JSON are written from the list "
               u"- so the file would be missing them and would appear to have left them out on "
               u"purpose.\n\nNarrowing the view frees room. Save Session writes the whole "
               u"record and does not use the list, so it still works.");
}

} // namespace

bool TakeRecordingSnapshot(Recording* app, RecordingInfo* out, bool fromShownRows, Outcome* why) {
    SystemTime takenAt{};
    const bool running = app->recording != 0;
    if (running) {
        uint32_t waiting = 0;
        bool emptied = false;
        for (int attempt = 0; attempt < kSnapshotTries && !emptied; ++attempt) {
            int32_t left = DrainEventQueue(app);
            if (left > 0) {
                EventsStillWaiting(why, left);
                return false;
            }
            EnterLock(&app->queueLock);
            waiting = QueuedRowCount(app);
            if (waiting == 0) {
                // Taken under the lock: no row taken in after this moment can be in the file.
                takenAt = LocalNow();
                emptied = true;
            }
            LeaveLock(&app->queueLock);
        }
        if (!emptied) {
            EventsStillWaiting(why, waiting);
            return false;
        }
        GatherCompletenessCounters(app);
    }
    if (fromShownRows && app->shownListIncomplete != 0) {
        RebuildShownRows(app);
        if (app->shownListIncomplete != 0) {
            ShownListIncomplete(why);
            return false;
        }
    }
    *out = app->recordingInfo;
    if (running) {
        out->flags |= stillRunningWhenSaved;
        out->snapshotTakenAt = takenAt;
    }
    return true;
}

} // namespace olv
