// The refresh of the recording's counters, and the header lines and completeness notes built
// from its block.
#include "report/completeness.h"

#include "base/atomic.h"
#include "base/format.h"
#include "base/note_text.h"
#include "base/text.h"
#include "capture/trace_controller.h"
#include "platform/time.h"
#include "record/recording.h"
#include "views/row_facts_flow.h"
#include "tracking/tracking_state.h"
#include "views/sigma_texts.h"
#include "views/yara_rows.h"

namespace olv {

namespace {

constexpr size_t kLineChars = 1024;
constexpr size_t kTimeChars = 48; // a time of any field values: 41 characters

// The rows the user removed with Clear: a loss like the others, told with the time of the last
// Clear and the span of the rows' own times.
void AppendClearedNote(const ClearedRows& cleared, char16_t* out, size_t capacity,
                       const char16_t* linePrefix, int32_t* count) {
    if (cleared.rows == 0) return;
    char16_t clearedAt[kTimeChars], earliest[kTimeChars], latest[kTimeChars];
    FormatLongTime(cleared.lastClear, clearedAt, kTimeChars);
    FormatLongTime(cleared.earliest, earliest, kTimeChars);
    FormatLongTime(cleared.latest, latest, kTimeChars);
    char16_t line[kLineChars];
    FormatText(line, kLineChars,
               u"%lu row(s) recorded before %s were cleared by the user; their times ran from %s "
               u"to %s.",
               cleared.rows, clearedAt, earliest, latest);
    AppendNoteLine(out, capacity, linePrefix, line, count);
}

// The script counts as one line, when any of them is a loss.
void AppendScriptCountsNote(const KeptCounts& kept, char16_t* out, size_t capacity,
                            const char16_t* linePrefix, int32_t* count) {
    if ((kept.known & kKeptScripts) == 0) return;
    const uint64_t* v = kept.value;
    if (v[kKeptScriptBlocksIncomplete] == 0 && v[kKeptScriptPartsOutOfPlace] == 0 &&
        v[kKeptScriptTextsCut] == 0 && v[kKeptTextsCutHere] == 0) {
        return;
    }
    // The recorded count, then each loss that happened.
    char16_t line[kLineChars];
    FormatText(line, kLineChars, u"Script blocks: %lu recorded",
               static_cast<uint32_t>(v[kKeptScriptBlocksSeen]));
    const struct {
        uint32_t value;
        const char16_t* text;
    } losses[] = {
        {kKeptScriptBlocksIncomplete, u", %lu with parts missing"},
        {kKeptScriptPartsOutOfPlace, u", %lu parts out of place"},
        {kKeptScriptTextsCut, u", %lu script or scanned texts cut at 1,048,576 characters"},
        {kKeptTextsCutHere, u", %lu texts kept only in their first 1023 characters (no room to "
                            u"carry them)"},
    };
    for (const auto& loss : losses) {
        if (v[loss.value] == 0) continue;
        char16_t part[160];
        FormatText(part, 160, loss.text, static_cast<uint32_t>(v[loss.value]));
        AppendBounded(line, kLineChars, part);
    }
    AppendBounded(line, kLineChars, u".");
    AppendNoteLine(out, capacity, linePrefix, line, count);
}

} // namespace

KeptCounts CurrentKeptCounts(const Recording* app) {
    KeptCounts kept = app->keptCounts;
    KeepRowFactsCounts(app, &kept);
    KeepYaraCounts(app, &kept);
    return kept;
}

void GatherCompletenessCounters(Recording* app) {
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
    if (tc->deliveryCutShort[kLossKernel] != 0) info.flags |= kernelDeliveryCut;
    if (tc->deliveryCutShort[kLossDns] != 0) info.flags |= dnsDeliveryCut;
    if (tracking[kScriptBlocksIncomplete] != 0 || tracking[kScriptPartsOutOfPlace] != 0) {
        info.flags |= scriptBlocksIncomplete;
    }
    if (tracking[kScriptTextsCut] != 0) info.flags |= scriptTextsCut;
    KeptCounts& kept = app->keptCounts;
    kept.value[kKeptScriptBlocksSeen] = tracking[kScriptBlocksSeen];
    kept.value[kKeptScriptBlocksIncomplete] = tracking[kScriptBlocksIncomplete];
    kept.value[kKeptScriptPartsOutOfPlace] = tracking[kScriptPartsOutOfPlace];
    kept.value[kKeptScriptTextsCut] = tracking[kScriptTextsCut];
    kept.value[kKeptTextsCutHere] = AtomicLoad(app->textsCutHere);
    kept.known |= kKeptScripts;
    if (tracking[kImagesNotMapped] != 0) info.flags |= imagesNotMapped;
    app->lossesBeforeResume.eventsLost = losses.eventsLostBeforeResume;
    app->lossesBeforeResume.buffersLost = losses.buffersLostBeforeResume;
    app->lossesBeforeResume.known = tc->resumeNoted;
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
    if ((info->flags & scriptLoggingTurnedOn) != 0) {
        AppendNoteLine(out, capacity, linePrefix,
                       u"Script block and module logging were turned on for this recording and "
                       u"put back as they were at Stop.",
                       nullptr);
    }
}

int32_t BuildCompletenessNotes(Recording* app, char16_t* out, size_t capacity,
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
        AppendClearedNote(app->cleared, out, capacity, linePrefix, &count);
        return count;
    }

    // Losses before the program was resumed come from the trace's start-up burst, before the
    // program could act; those after it may be the program's own events.
    const LossesBeforeResume& before = app->lossesBeforeResume;
    struct CounterNote {
        uint32_t value;
        const char16_t* format;
        const uint32_t* beforeResume; // a Windows loss, told apart by the resume; null otherwise
    };
    const CounterNote counters[] = {
        {info.droppedHere, u"%lu event(s) arrived faster than they could be taken in.", nullptr},
        {info.eventsLostByWindows,
         u"%lu event(s) were dropped by Windows before reaching this program.", &before.eventsLost},
        {info.buffersLostByWindows,
         u"%lu whole buffer(s) never reached this program; how many events were in them is not "
         u"recorded.",
         &before.buffersLost},
        {info.unreadableRecords, u"%lu event record(s) could not be read at all.", nullptr},
        {info.childrenNotFollowed,
         u"%lu child process(es) could not be followed (tracking table full); nothing they did is "
         u"here.",
         nullptr},
        {info.trackingSlotsRecycled,
         u"%lu tracked process(es) gave up their slot to a newer one; any of their events still "
         u"in flight were let go.",
         nullptr},
        {info.fileResultsMissing,
         u"%lu file operation(s) have no result: the completion record never arrived, so whether "
         u"they worked is unknown.",
         nullptr},
        {info.filesNotIdentified,
         u"%lu file row(s) name no file: the path was not in the trace, and guessing one would "
         u"have meant naming the wrong file.",
         nullptr},
    };
    char16_t line[kLineChars];
    for (const CounterNote& note : counters) {
        if (note.value == 0) continue;
        FormatText(line, kLineChars, note.format, note.value);
        AppendNoteLine(out, capacity, linePrefix, line, &count);
        if (note.beforeResume != nullptr && before.known != 0) {
            const uint32_t early = *note.beforeResume < note.value ? *note.beforeResume : note.value;
            FormatText(line, kLineChars,
                       u"  %lu of them before the program examined was started, %lu while it ran.",
                       early, note.value - early);
            AppendNoteLine(out, capacity, linePrefix, line, &count);
        }
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
        {processOpensNotRecorded,
         u"Processes and threads opened were not recorded (the system reports them from Windows "
         u"10 on, and only when its audit provider can be enabled)."},
        {noJobObject, u"The program could not be put in a job object, so Stop may not have "
                      u"reached everything it started."},
        {foreignKernelSessionStopped,
         u"Another program's kernel trace session was stopped so this one could start."},
        {scriptBlocksIncomplete,
         u"Some script blocks arrived with parts missing or out of place; their rows say how many "
         u"parts are missing and mark a gap with \u2026."},
        {scriptLoggingRefused,
         u"Script block and module logging were asked for but could not be turned on (the "
         u"policy needs an administrator); only blocks the system logs by itself are here."},
        {scriptTextsCut,
         u"Some script or scanned texts were longer than 1,048,576 characters: the row keeps "
         u"that much of them, and its detail says the whole length."},
         {imagesNotMapped,
          u"Some images could not be kept in the map of every process's images (it was full): a "
          u"thread started in one of them in another process reads \"(no known module)\"."},
    };
    for (const FlagNote& note : flagNotes) {
        if ((info.flags & note.flag) != 0)
            AppendNoteLine(out, capacity, linePrefix, note.text, &count);
    }
    const FlagNote cutNotes[] = {
        {kernelDeliveryCut, u"the kernel session (NT Kernel Logger)"},
        {dnsDeliveryCut, u"the DNS session (OlvettaDnsLogger)"},
    };
    for (const FlagNote& note : cutNotes) {
        if ((info.flags & note.flag) == 0) continue;
        FormatText(line, kLineChars,
                   u"The last events of %s may be missing: it did not finish delivering them "
                   u"within %lu s of the stop.",
                   note.text, kStopDeliveryWaitMs / 1000);
        AppendNoteLine(out, capacity, linePrefix, line, &count);
    }
    // What the Sigma rules' work budget left out is a loss of matches, told like the others.
    char16_t cost[kLineChars];
    if (ComposeSigmaCostNotes(app, cost, kLineChars) > 0) {
        char16_t* start = cost;
        for (char16_t* c = cost; *c != 0; ++c) {
            if (*c != u'\n') continue;
            *c = 0;
            AppendNoteLine(out, capacity, linePrefix, start, &count);
            start = c + 1;
        }
    }
    AppendScriptCountsNote(app->keptCounts, out, capacity, linePrefix, &count);
    AppendRowFactsNotes(app, linePrefix, out, capacity, &count);
    AppendYaraNotes(app, linePrefix, out, capacity, &count);
    AppendClearedNote(app->cleared, out, capacity, linePrefix, &count);
    return count;
}

} // namespace olv
