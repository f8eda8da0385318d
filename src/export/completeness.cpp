// The RecordingInfo snapshot taken before a file is written, the refresh of its counters, and the
// header lines and completeness notes built from it.
#include "export/completeness.h"

#include "base/atomic.h"
#include "base/format.h"
#include "base/text.h"
#include "capture/trace_controller.h"
#include "platform/lock.h"
#include "platform/time.h"
#include "platform/ui.h"
#include "tracking/tracking_state.h"
#include "views/row_store.h"

namespace olv {

namespace {

constexpr int kSnapshotTries = 8;
constexpr size_t kLineChars = 1024;
constexpr size_t kTimeChars = 48; // a time of any field values: 41 characters
constexpr size_t kMessageChars = 1024;

const char16_t* const kCaption = u"Olvetta";

void ShowEventsStillWaiting(AppState* app, int64_t waiting) {
    char16_t text[kMessageChars];
    FormatText(text, kMessageChars,
               u"Nothing was written.\n\n%ld recorded events are still waiting to be taken in, "
               u"and this computer cannot take them right now. A file written at this moment "
               u"would leave them out while saying the record was complete.\n\nStop the "
               u"recording and save again.",
               waiting);
    UiMessageBox(app->mainWindow, text, kCaption, kIconError, kButtonsOk);
}

void ShowShownListIncomplete(AppState* app) {
    UiMessageBox(app->mainWindow,
                 u"Nothing was written.\n\nSome recorded rows could not be added to the list of "
                 u"shown rows, because this computer would not give the memory for it. They are "
                 u"on the record but not in the list, and CSV and JSON are written from the list "
                 u"- so the file would be missing them and would appear to have left them out on "
                 u"purpose.\n\nNarrowing the view frees room. Save Session writes the whole "
                 u"record and does not use the list, so it still works.",
                 kCaption, kIconError, kButtonsOk);
}

} // namespace

void FormatLongTime(const SystemTime& t, char16_t* out, size_t capacity) {
    FormatText(out, capacity, u"%04d-%02d-%02d %02d:%02d:%02d.%03d", int32_t{t.year},
               int32_t{t.month}, int32_t{t.day}, int32_t{t.hour}, int32_t{t.minute},
               int32_t{t.second}, int32_t{t.milliseconds});
}

void AppendNoteLine(char16_t* out, size_t capacity, const char16_t* prefix, const char16_t* text,
                    int32_t* counter) {
    AppendBounded(out, capacity, prefix);
    const size_t start = TextLength(out);
    AppendBounded(out, capacity, text);
    // A line break or other control character from a recorded or loaded text would end the line
    // early and let the rest pass for a line of its own.
    BlankControlChars(out + start);
    AppendBounded(out, capacity, u"\r\n");
    if (counter != nullptr) ++*counter;
}

bool TakeRecordingSnapshot(AppState* app, RecordingInfo* out, bool fromShownRows) {
    SystemTime takenAt{};
    const bool running = app->recording != 0;
    if (running) {
        uint32_t waiting = 0;
        bool emptied = false;
        for (int attempt = 0; attempt < kSnapshotTries && !emptied; ++attempt) {
            int32_t left = DrainEventQueue(app);
            if (left > 0) {
                ShowEventsStillWaiting(app, left);
                return false;
            }
            EnterLock(&app->queueLock);
            waiting = (AtomicLoad(app->queueWrite) - AtomicLoad(app->queueRead)) % kQueueSlots;
            if (waiting == 0) {
                // Taken under the lock: no row taken in after this moment can be in the file.
                takenAt = LocalNow();
                emptied = true;
            }
            LeaveLock(&app->queueLock);
        }
        if (!emptied) {
            ShowEventsStillWaiting(app, waiting);
            return false;
        }
        GatherCompletenessCounters(app);
    }
    if (fromShownRows && app->shownListIncomplete != 0) {
        RebuildShownRows(app);
        if (app->shownListIncomplete != 0) {
            ShowShownListIncomplete(app);
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

void GatherCompletenessCounters(AppState* app) {
    TraceController* tc = app->trace;
    if (tc == nullptr) return;
    LossFigures losses = ReadLossFigures(tc);
    uint32_t tracking[kTrackingCounterCount] = {};
    ReadTrackingCounters(&tc->tracking, tracking);

    RecordingInfo& info = app->recordingInfo;
    info.droppedHere = AtomicLoad(app->droppedHere);
    info.eventsLostByWindows = losses.eventsLost;
    info.buffersLostByWindows = losses.buffersLost;
    info.unreadableRecords = losses.unreadableRecords;
    info.childrenNotFollowed = tracking[kChildrenNotFollowed];
    info.trackingSlotsRecycled = tracking[kTrackingSlotsRecycled];
    info.registryKeysNotResolved = tracking[kRegistryKeysNotResolved];
    info.filesNotIdentified = tracking[kFilesNotIdentified];
    info.fileResultsMissing = tracking[kFileResultsMissing];
    info.keyNamesAfterStop = tracking[kKeyNamesKnown];
    info.keysNamedByCreate = tracking[kKeysNamedByCreate];
    info.keysNamedByRundown = tracking[kKeysNamedByRundown];
    if (AtomicLoad8(tc->dnsEndedEarly) != 0) info.flags |= dnsSessionEnded;
}

void BuildHeaderLines(const RecordingInfo* info, bool valid, char16_t* out, size_t capacity,
                      const char16_t* linePrefix) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    if (!valid || info == nullptr) {
        AppendNoteLine(out, capacity, linePrefix,
                       u"Recorded by Olvetta. Nothing else about the run was kept.", nullptr);
        return;
    }
    char16_t line[kLineChars];
    // The block may come from a file: read its texts only up to their last character.
    char16_t tool[64] = {};
    AppendBoundedN(tool, 64, info->tool, 63);
    char16_t target[520] = {};
    AppendBoundedN(target, 520, info->target, 519);

    FormatText(line, kLineChars, u"Recorded by %s %lu.%lu", tool, info->toolVersion / 100,
               info->toolVersion % 100);
    AppendNoteLine(out, capacity, linePrefix, line, nullptr);

    if (target[0] != 0) {
        FormatText(line, kLineChars, u"Program examined: %.500s", target);
        AppendNoteLine(out, capacity, linePrefix, line, nullptr);
    }

    const char16_t* sign = info->utcBias > 0 ? u"-" : u"+";
    // Unsigned, so that the most negative bias a damaged file may carry still prints whole.
    const uint32_t biasMinutes = info->utcBias < 0 ? 0u - static_cast<uint32_t>(info->utcBias)
                                                   : static_cast<uint32_t>(info->utcBias);
    const bool savedRunning = (info->flags & stillRunningWhenSaved) != 0;
    char16_t started[kTimeChars];
    FormatLongTime(info->started, started, kTimeChars);
    if (info->stopped.year != 0) {
        char16_t stopped[kTimeChars];
        FormatLongTime(info->stopped, stopped, kTimeChars);
        FormatText(line, kLineChars, u"Recording ran from %s to %s (local time, UTC%s%lu minutes)",
                   started, stopped, sign, biasMinutes);
    } else if (savedRunning) {
        FormatText(line, kLineChars,
                   u"Recording started %s (local time, UTC%s%lu minutes); still running when saved",
                   started, sign, biasMinutes);
    } else {
        FormatText(line, kLineChars,
                   u"Recording started %s (local time, UTC%s%lu minutes); still running", started,
                   sign, biasMinutes);
    }
    AppendNoteLine(out, capacity, linePrefix, line, nullptr);

    if (savedRunning && info->snapshotTakenAt.year != 0) {
        char16_t taken[kTimeChars];
        FormatLongTime(info->snapshotTakenAt, taken, kTimeChars);
        FormatText(line, kLineChars,
                   u"The rows below are those taken in by %s. Anything that reached this program "
                   u"after that is absent, including events that happened before it but arrived "
                   u"late.",
                   taken);
        AppendNoteLine(out, capacity, linePrefix, line, nullptr);
    }

    if (info->windowsMajor != 0) {
        FormatText(line, kLineChars, u"Windows %lu.%lu build %lu", info->windowsMajor,
                   info->windowsMinor, info->windowsBuildNumber);
        AppendNoteLine(out, capacity, linePrefix, line, nullptr);
    }
}

int32_t BuildCompletenessNotes(AppState* app, char16_t* out, size_t capacity,
                               const char16_t* linePrefix) {
    int32_t count = 0;
    if (out == nullptr || capacity == 0) return 0;
    out[0] = 0;
    const RecordingInfo& info = app->recordingInfo;
    if ((info.flags & completenessUnknown) != 0) {
        AppendNoteLine(out, capacity, linePrefix,
                       u"This session was saved before completeness was recorded, so what it may "
                       u"be missing is not known.",
                       &count);
        return count;
    }

    struct CounterNote {
        uint32_t value;
        const char16_t* format;
    };
    const CounterNote counters[] = {
        {info.droppedHere, u"%lu event(s) arrived faster than they could be taken in."},
        {info.eventsLostByWindows,
         u"%lu event(s) were dropped by Windows before reaching this program."},
        {info.buffersLostByWindows, u"%lu whole buffer(s) never reached this program; how many "
                                    u"events were in them is not recorded."},
        {info.unreadableRecords, u"%lu event record(s) could not be read at all."},
        {info.childrenNotFollowed, u"%lu child process(es) could not be followed (tracking table "
                                   u"full); nothing they did is here."},
        {info.trackingSlotsRecycled, u"%lu tracked process(es) gave up their slot to a newer one; "
                                     u"any of their events still in flight were let go."},
        {info.fileResultsMissing, u"%lu file operation(s) have no result: the completion record "
                                  u"never arrived, so whether they worked is unknown."},
        {info.filesNotIdentified, u"%lu file row(s) name no file: the path was not in the trace, "
                                  u"and guessing one would have meant naming the wrong file."},
    };
    char16_t line[kLineChars];
    for (const CounterNote& note : counters) {
        if (note.value == 0) continue;
        FormatText(line, kLineChars, note.format, note.value);
        AppendNoteLine(out, capacity, linePrefix, line, &count);
    }
    if (info.registryKeysNotResolved != 0) {
        FormatText(line, kLineChars,
                   u"%lu registry row(s) have no full key path; what is shown is the fragment the "
                   u"event carried.",
                   info.registryKeysNotResolved);
        AppendNoteLine(out, capacity, linePrefix, line, &count);
        FormatText(line, kLineChars,
                   u"  Key names known while running: %lu; after the trace was stopped: %lu (%lu "
                   u"keys opened while watching, %lu listed by Windows).",
                   info.keyNamesWhileRunning, info.keyNamesAfterStop, info.keysNamedByCreate,
                   info.keysNamedByRundown);
        AppendNoteLine(out, capacity, linePrefix, line, &count);
    }

    struct FlagNote {
        uint32_t flag;
        const char16_t* text;
    };
    const FlagNote flagNotes[] = {
        {dnsNotRecorded, u"DNS lookups were not recorded (Windows 7 and 8 do not report them)."},
        {dnsSessionEnded,
         u"The DNS session ended by itself partway through; lookups after that are missing."},
        {noJobObject, u"The program could not be put in a job object, so Stop may not have "
                      u"reached everything it started."},
        {foreignKernelSessionStopped,
         u"Another program's kernel trace session was stopped so this one could start."},
    };
    for (const FlagNote& note : flagNotes) {
        if ((info.flags & note.flag) != 0)
            AppendNoteLine(out, capacity, linePrefix, note.text, &count);
    }
    return count;
}

} // namespace olv
