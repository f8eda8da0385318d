// Header lines and completeness notes (the goldens hold the ordinary forms), the counters gathered
// from a trace controller, and the snapshot every file command takes: the queue emptied first,
// refused when rows cannot be taken in or the shown list is incomplete.
#include "doctest.h"

#include "base/note_text.h"
#include "capture/event_queue.h"
#include "capture/trace_controller.h"
#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "report/completeness.h"

namespace olv {

TEST_CASE("Header lines of a running recording and of a damaged block") {
    RecordingInfo info = StoppedRecordingInfo();
    info.stopped = {};
    info.windowsMajor = 0;
    info.utcBias = 330;
    info.toolVersion = 207;
    info.target[0] = 0;
    char16_t out[4096];
    BuildHeaderLines(&info, true, out, 4096, u"# ");
    CHECK(U8(out) == "# Recorded by Olvetta 2.7\r\n# Recording started 2024-03-05 14:07:09.123 "
                     "(local time, UTC-330 minutes); still running\r\n");

    std::fill(info.target, info.target + 519, u'p');
    info.utcBias = INT32_MIN;
    info.started = SystemTime{65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535};
    info.flags = stillRunningWhenSaved; // without a snapshot time: no line about it
    BuildHeaderLines(&info, true, out, 4096, u"");
    CHECK(U8(out) == "Recorded by Olvetta 2.7\r\nProgram examined: " + std::string(500, 'p') +
                         "\r\nRecording started 65535-65535-65535 65535:65535:65535.65535 (local "
                         "time, UTC+2147483648 minutes); still running when saved\r\n");
}

TEST_CASE("Completeness notes") {
    ExportFixture f;
    RecordingInfo& info = f.app->recordingInfo;
    char16_t out[8192];
    CHECK(BuildCompletenessNotes(f.app, out, 8192, u"> ") == 0);
    CHECK(U8(out).empty());

    // Each counter its own value, so that a note showing the wrong counter is seen.
    uint32_t* counters[] = {
        &info.droppedHere,          &info.eventsLostByWindows, &info.buffersLostByWindows,
        &info.unreadableRecords,    &info.childrenNotFollowed, &info.trackingSlotsRecycled,
        &info.fileResultsMissing,   &info.filesNotIdentified,  &info.registryKeysNotResolved,
        &info.keyNamesWhileRunning, &info.keyNamesAfterStop,   &info.keysNamedByCreate,
        &info.keysNamedByRundown};
    for (uint32_t i = 0; i < 13; ++i)
        *counters[i] = i + 1;
    const uint32_t flags[] = {dnsNotRecorded, dnsSessionEnded, noJobObject,
                              foreignKernelSessionStopped};
    const char* flagNotes[] = {
        "DNS lookups were not recorded (Windows 7 and 8 do not report them).",
        "The DNS session ended by itself partway through; lookups after that are missing.",
        ("The program could not be put in a job object, so Stop may not have reached everything "
         "it started."),
        "Another program's kernel trace session was stopped so this one could start."};
    info.flags = flags[0] | flags[1] | flags[2] | flags[3] | stillRunningWhenSaved;
    std::string expected =
        "> 1 event(s) arrived faster than they could be taken in.\r\n"
        "> 2 event(s) were dropped by Windows before reaching this program.\r\n"
        "> 3 whole buffer(s) never reached this program; how many events were in them is not "
        "recorded.\r\n"
        "> 4 event record(s) could not be read at all.\r\n"
        "> 5 child process(es) could not be followed (tracking table full); nothing they did is "
        "here.\r\n"
        "> 6 tracked process(es) gave up their slot to a newer one; any of their events still in "
        "flight were let go.\r\n"
        "> 7 file operation(s) have no result: the completion record never arrived, so whether "
        "they worked is unknown.\r\n"
        "> 8 file row(s) name no file: the path was not in the trace, and guessing one would have "
        "meant naming the wrong file.\r\n"
        "> 9 registry row(s) have no full key path; what is shown is the fragment the event "
        "carried.\r\n"
        ">   Key names known while running: 10; after the trace was stopped: 11 (12 keys opened "
        "while watching, 13 listed by Windows).\r\n";
    for (const char* note : flagNotes)
        expected += std::string("> ") + note + "\r\n";
    CHECK(BuildCompletenessNotes(f.app, out, 8192, u"> ") == 14);
    CHECK(U8(out) == expected);

    info.flags |= completenessUnknown; // overrides every counter and flag
    CHECK(BuildCompletenessNotes(f.app, out, 8192, u"  ") == 1);
    CHECK(U8(out) == "  This session was saved before completeness was recorded, so what it may "
                     "be missing is not known.\r\n");

    // Each flag alone gives its own note: the scenario goldens have each of them.
}

TEST_CASE("Counters are gathered from the trace controller, overwriting the old values") {
    ExportFixture f;
    GatherCompletenessCounters(f.app); // no controller: nothing happens
    TraceController* tc = AllocRecord<TraceController>();
    REQUIRE(tc != nullptr);
    ResetTraceController(tc);
    f.app->trace = tc;
    RememberKeyName(&tc->tracking, 0x1000, u"\\REGISTRY\\MACHINE\\A", 1, true);
    RememberKeyName(&tc->tracking, 0x2000, u"\\REGISTRY\\MACHINE\\B", 1, false);
    tc->finalEventsLost = 5;
    tc->finalBuffersLost = 3;
    tc->unreadableRecords = 1;
    tc->tracking.processes.childrenNotFollowed = 11;
    tc->tracking.processes.trackingSlotsRecycled = 12;
    tc->tracking.registryKeysNotResolved = 13;
    tc->tracking.filesNotIdentified = 14;
    tc->tracking.fileResultsMissing = 15;
    tc->tracking.keysNamedByCreate = 16;
    tc->tracking.keysNamedByRundown = 17;
    tc->dnsEndedEarly = 1;
    f.app->droppedHere = 9;
    RecordingInfo& i = f.app->recordingInfo;
    i.keyNamesWhileRunning = 77;
    i.eventsLostByWindows = 1000;

    GatherCompletenessCounters(f.app);
    CHECK(std::vector<uint32_t>{i.droppedHere, i.eventsLostByWindows, i.buffersLostByWindows,
                                i.unreadableRecords, i.childrenNotFollowed, i.trackingSlotsRecycled,
                                i.registryKeysNotResolved, i.filesNotIdentified,
                                i.fileResultsMissing, i.keyNamesAfterStop, i.keysNamedByCreate,
                                i.keysNamedByRundown, i.keyNamesWhileRunning, i.flags} ==
          std::vector<uint32_t>{9, 5, 3, 1, 11, 12, 13, 14, 15, 2, 16, 17, 77, dnsSessionEnded});
}

TEST_CASE("Files of a running recording: the queue is emptied first, the copy is marked") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.app->recordingInfo.stopped = SystemTime{};
    REQUIRE(MakeEventQueue(f.app));
    f.app->recording = 1;
    f.app->queueRead = f.app->queueWrite = f.app->queueMask + 1 - 64; // the ring wraps
    const EventRow row = MakeRow(kRows[0]);
    for (int i = 0; i < 3; ++i)
        QueueRow(f.app, &row);
    SetClockOverride(133542496301234567ll);
    RecordingInfo block = f.app->recordingInfo;
    block.flags = stillRunningWhenSaved;
    block.snapshotTakenAt = LocalNow();
    char16_t now[48];
    FormatLongTime(block.snapshotTakenAt, now, 48);

    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("run.ols").c_str()));
    CHECK(QueuedRowCount(f.app) == 0);
    const Bytes session = ReadAll(tmp.Path("run.ols"));
    REQUIRE(session.size() == 1312 + 3 * 3256);
    CHECK(std::memcmp(session.data() + 16, &block, sizeof block) == 0);
    CHECK(f.app->recordingInfo.flags == 0); // the Recording's own block is not marked
    REQUIRE(ExportJsonToPath(f.app, tmp.Path16("run.json").c_str()));
    CHECK(Has(JsonText(ReadAll(tmp.Path("run.json"))),
              "\"stopped\":\"\",\n  \"stoppedUtc\":\"\",\n  \"utcOffsetMinutes\": 60,\n  "
              "\"stillRunningWhenSaved\": true,\n  \"snapshotTakenAt\":\"" +
                  U8(now) + "\","));
    REQUIRE(ExportCsvToPath(f.app, tmp.Path16("run.csv").c_str()));
    CHECK(Has(CsvText(ReadAll(tmp.Path("run.csv"))),
              "# Recording started 2024-03-05 14:07:09.123 (local time, UTC+60 minutes); still "
              "running when saved\r\n# The rows below are those taken in by " +
                  U8(now) + ". Anything"));

    // Rows the store cannot take in; then rows still waiting at the 8th look under the queue's
    // lock (the drain sees no ring and reports none): no file at all, and their count is given.
    for (int i = 0; i < 4096; ++i)
        QueueRow(f.app, &row); // the store is full at 4096
    RefuseAllocationsAbove(4096 * sizeof(CompactRow));
    for (int pass = 0; pass < 2; ++pass) {
        for (auto run : {ExportCsvToPath, ExportJsonToPath, SaveSessionToPath}) {
            CHECK_FALSE(run(f.app, tmp.Path16("out").c_str()));
            CHECK(LastMessage(kIconError) ==
                  "Nothing was written.\n\n3 recorded events are still waiting to be taken in, "
                  "and this computer cannot take them right now. A file written at this moment "
                  "would leave them out while saying the record was complete.\n\nStop the "
                  "recording and save again.");
        }
        FreeBlock(f.app->queueBytes);
        f.app->queueBytes = nullptr;
    }
    CHECK(tmp.Names() == std::vector<std::string>{"run.csv", "run.json", "run.ols"});
}

TEST_CASE("An incomplete shown list refuses CSV and JSON but not a session save") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    ReserveRows(f.app, 2);
    REQUIRE(ReserveTextRoom(&f.app->rowTexts, 2 * kRowMostTexts, 2 * kRowMostTextBytes));
    RefuseAllocationsAbove(1 << 10); // rows fit, but no index list can be made
    f.Add(kRows[0]);
    f.Add(kRows[1]);
    REQUIRE(f.app->shownListIncomplete == 1);
    for (auto run : {ExportCsvToPath, ExportJsonToPath}) {
        CHECK_FALSE(run(f.app, tmp.Path16("out").c_str()));
        CHECK(LastMessage(kIconError) ==
              "Nothing was written.\n\nSome recorded rows could not be added to the list of "
              "shown rows, because this computer would not give the memory for it. They are on "
              "the record but not in the list, and CSV and JSON are written from the list - so "
              "the file would be missing them and would appear to have left them out on "
              "purpose.\n\nNarrowing the view frees room. Save Session writes the whole record "
              "and does not use the list, so it still works.");
    }
    CHECK(tmp.Names().empty());
    CHECK(SaveSessionToPath(f.app, tmp.Path16("a.ols").c_str()));
    ResetAllocationFaults(); // the one rebuild of the snapshot completes the list
    CHECK(ExportCsvToPath(f.app, tmp.Path16("a.csv").c_str()));
    CHECK(LastMessage(kIconInformation) == "2 events written to CSV.");
}

} // namespace olv
