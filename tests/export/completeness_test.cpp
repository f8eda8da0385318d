// RecordingInfo texts (header lines, completeness notes), the counters gathered from a trace
// controller, and the snapshot every export takes: queue emptied first, refused when rows cannot
// be taken in or the shown list is incomplete.
#include "doctest.h"

#include "capture/event_queue.h"
#include "capture/trace_controller.h"
#include "export/completeness.h"
#include "export/export_fixture.h"
#include "export/exports.h"

namespace olv {

namespace {

std::string Header(const RecordingInfo& info, bool valid, const char16_t* prefix = u"") {
    char16_t out[4096];
    BuildHeaderLines(&info, valid, out, 4096, prefix);
    return U8(out);
}

std::string Notes(AppState* app, int32_t* count, const char16_t* prefix = u"") {
    char16_t out[8192];
    *count = BuildCompletenessNotes(app, out, 8192, prefix);
    return U8(out);
}

const RowSpec kRow{SystemTime{2024, 3, 2, 5, 14, 7, 10, 5},
                   kCategoryFile,
                   u"CreateFile",
                   u"C:\\a.txt",
                   u"",
                   u"SUCCESS",
                   u"a.exe",
                   u"",
                   100,
                   4,
                   0};

} // namespace

TEST_CASE("Header lines") {
    RecordingInfo info = StoppedRecordingInfo();
    CHECK(Header(info, false, u"# ") ==
          "# Recorded by Olvetta. Nothing else about the run was kept.\r\n");
    CHECK(Header(info, true, u"# ") ==
          "# Recorded by Olvetta 1.1\r\n"
          "# Program examined: C:\\Samples\\dropper.exe\r\n"
          "# Recording ran from 2024-03-05 14:07:09.123 to 2024-03-05 14:09:01.456 (local time, "
          "UTC+60 minutes)\r\n"
          "# Windows 10.0 build 19045\r\n");

    SUBCASE("running, not yet saved, no target, no Windows version") {
        info.stopped = SystemTime{};
        info.target[0] = 0;
        info.windowsMajor = 0;
        info.utcBias = 330;
        info.toolVersion = 207;
        CHECK(Header(info, true) == "Recorded by Olvetta 2.7\r\n"
                                    "Recording started 2024-03-05 14:07:09.123 (local time, "
                                    "UTC-330 minutes); still running\r\n");
    }
    SUBCASE("a snapshot of a running recording") {
        info.stopped = SystemTime{};
        info.flags = stillRunningWhenSaved;
        info.snapshotTakenAt = SystemTime{2024, 3, 2, 5, 14, 8, 0, 7};
        info.utcBias = -330;
        CHECK(Header(info, true)
                  .find("Recording started 2024-03-05 14:07:09.123 (local time, UTC+330 minutes); "
                        "still "
                        "running when saved\r\nThe rows below are those taken in by 2024-03-05 "
                        "14:08:00.007. Anything that reached this program after that is absent, "
                        "including events that happened before it but arrived late.\r\nWindows") !=
              std::string::npos);
    }
    SUBCASE("bias signs") {
        struct Case {
            int32_t bias;
            const char* text;
        };
        for (const Case c : {Case{0, "UTC+0 "}, Case{-60, "UTC+60 "}, Case{330, "UTC-330 "},
                             Case{-330, "UTC+330 "}, Case{INT32_MIN, "UTC+2147483648 "}}) {
            info.utcBias = c.bias;
            CHECK(Header(info, true).find(c.text) != std::string::npos);
        }
    }
    SUBCASE("the target is cut at 500 characters") {
        for (int i = 0; i < 519; ++i)
            info.target[i] = u'p';
        info.target[519] = 0;
        const std::string h = Header(info, true);
        CHECK(h.find("Program examined: " + std::string(500, 'p') + "\r\n") != std::string::npos);
    }
}

TEST_CASE("Completeness notes") {
    ExportFixture f;
    AppState* app = f.app;
    int32_t count = -1;
    CHECK(Notes(app, &count).empty());
    CHECK(count == 0);

    struct Case {
        uint32_t RecordingInfo::*field;
        const char* note;
    };
    const Case cases[] = {
        {&RecordingInfo::droppedHere, "7 event(s) arrived faster than they could be taken in."},
        {&RecordingInfo::eventsLostByWindows,
         "7 event(s) were dropped by Windows before reaching this program."},
        {&RecordingInfo::buffersLostByWindows, "7 whole buffer(s) never reached this program; how "
                                               "many events were in them is not recorded."},
        {&RecordingInfo::unreadableRecords, "7 event record(s) could not be read at all."},
        {&RecordingInfo::childrenNotFollowed, "7 child process(es) could not be followed "
                                              "(tracking table full); nothing they did is here."},
        {&RecordingInfo::trackingSlotsRecycled,
         "7 tracked process(es) gave up their slot to a newer one; any of their events still in "
         "flight were let go."},
        {&RecordingInfo::fileResultsMissing,
         "7 file operation(s) have no result: the completion record never arrived, so whether "
         "they worked is unknown."},
        {&RecordingInfo::filesNotIdentified,
         "7 file row(s) name no file: the path was not in the trace, and guessing one would "
         "have meant naming the wrong file."},
    };
    std::string all;
    for (const Case& c : cases) {
        app->recordingInfo = RecordingInfo{};
        app->recordingInfo.*c.field = 7;
        CHECK(Notes(app, &count, u"> ") == std::string("> ") + c.note + "\r\n");
        CHECK(count == 1);
        all += std::string("> ") + c.note + "\r\n";
    }

    struct FlagCase {
        uint32_t flag;
        const char* note;
    };
    const FlagCase flagCases[] = {
        {dnsNotRecorded, "DNS lookups were not recorded (Windows 7 and 8 do not report them)."},
        {dnsSessionEnded,
         "The DNS session ended by itself partway through; lookups after that are missing."},
        {noJobObject, "The program could not be put in a job object, so Stop may not have "
                      "reached everything it started."},
        {foreignKernelSessionStopped,
         "Another program's kernel trace session was stopped so this one could start."},
    };
    std::string flagNotes;
    for (const FlagCase& c : flagCases) {
        app->recordingInfo = RecordingInfo{};
        app->recordingInfo.flags = c.flag;
        CHECK(Notes(app, &count, u"> ") == std::string("> ") + c.note + "\r\n");
        CHECK(count == 1);
        flagNotes += std::string("> ") + c.note + "\r\n";
    }

    SUBCASE("everything at once, in order, the registry note with its second line") {
        app->recordingInfo = RecordingInfo{};
        for (const Case& c : cases)
            app->recordingInfo.*c.field = 7;
        app->recordingInfo.registryKeysNotResolved = 3;
        app->recordingInfo.keyNamesWhileRunning = 10;
        app->recordingInfo.keyNamesAfterStop = 12;
        app->recordingInfo.keysNamedByCreate = 4;
        app->recordingInfo.keysNamedByRundown = 8;
        app->recordingInfo.flags = dnsNotRecorded | dnsSessionEnded | noJobObject |
                                   foreignKernelSessionStopped | stillRunningWhenSaved;
        CHECK(Notes(app, &count, u"> ") ==
              all +
                  "> 3 registry row(s) have no full key path; what is shown is the fragment the "
                  "event carried.\r\n>   Key names known while running: 10; after the trace was "
                  "stopped: 12 (4 keys opened while watching, 8 listed by Windows).\r\n" +
                  flagNotes);
        CHECK(count == 8 + 2 + 4);
    }
    SUBCASE("completeness unknown overrides every counter") {
        for (const Case& c : cases)
            app->recordingInfo.*c.field = 7;
        app->recordingInfo.flags = completenessUnknown | noJobObject;
        CHECK(Notes(app, &count) == "This session was saved before completeness was recorded, "
                                    "so what it may be missing is not known.\r\n");
        CHECK(count == 1);
    }
}

TEST_CASE("AppendNoteLine cuts at the capacity and counts") {
    char16_t out[12] = u"ab";
    int32_t count = 0;
    AppendNoteLine(out, 12, u"# ", u"text", &count);
    CHECK(U8(out) == "ab# text\r\n");
    AppendNoteLine(out, 12, u"# ", u"more", &count);
    CHECK(U8(out) == "ab# text\r\n#");
    AppendNoteLine(out, 12, nullptr, nullptr, nullptr);
    CHECK(count == 2);
}

TEST_CASE("Counters are gathered from the trace controller") {
    ExportFixture f;
    AppState* app = f.app;
    GatherCompletenessCounters(app); // no controller: nothing happens
    CHECK(app->recordingInfo.droppedHere == 0);

    TraceController* tc = AllocRecord<TraceController>();
    REQUIRE(tc != nullptr);
    ResetTraceController(tc);
    app->trace = tc;
    RememberKeyName(&tc->tracking, 0x1000, u"\\REGISTRY\\MACHINE\\A", 1, true);
    RememberKeyName(&tc->tracking, 0x2000, u"\\REGISTRY\\MACHINE\\B", 1, false);
    tc->finalEventsLost = 5;
    tc->finalBuffersLost = 2;
    tc->unreadableRecords = 1;
    tc->tracking.processes.childrenNotFollowed = 11;
    tc->tracking.processes.trackingSlotsRecycled = 12;
    tc->tracking.registryKeysNotResolved = 13;
    tc->tracking.filesNotIdentified = 14;
    tc->tracking.fileResultsMissing = 15;
    tc->tracking.keysNamedByCreate = 16;
    tc->tracking.keysNamedByRundown = 17;
    tc->dnsEndedEarly = 1;
    app->droppedHere = 9;
    app->recordingInfo.keyNamesWhileRunning = 77;
    app->recordingInfo.eventsLostByWindows = 1000; // overwritten, never added to

    GatherCompletenessCounters(app);
    const RecordingInfo& info = app->recordingInfo;
    CHECK(info.droppedHere == 9);
    CHECK(info.eventsLostByWindows == 5);
    CHECK(info.buffersLostByWindows == 2);
    CHECK(info.unreadableRecords == 1);
    CHECK(info.childrenNotFollowed == 11);
    CHECK(info.trackingSlotsRecycled == 12);
    CHECK(info.registryKeysNotResolved == 13);
    CHECK(info.filesNotIdentified == 14);
    CHECK(info.fileResultsMissing == 15);
    CHECK(info.keyNamesAfterStop == 2);
    CHECK(info.keysNamedByCreate == 16);
    CHECK(info.keysNamedByRundown == 17);
    CHECK(info.keyNamesWhileRunning == 77);
    CHECK(info.flags == dnsSessionEnded);
}

TEST_CASE("A snapshot of a running recording empties the queue first") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.app->recordingInfo.stopped = SystemTime{};
    f.app->queueSlots = static_cast<EventRow*>(AllocZeroed(size_t{kQueueSlots} * sizeof(EventRow)));
    REQUIRE(f.app->queueSlots != nullptr);
    f.app->recording = 1;
    // The ring wraps: the reader is just before its end.
    f.app->queueRead = f.app->queueWrite = kQueueSlots - 1;
    const EventRow row = MakeRow(kRow);
    for (int i = 0; i < 3; ++i)
        QueueRow(f.app, &row);
    SetClockOverride(133542496301234567ll);

    RecordingInfo snap{};
    REQUIRE(TakeRecordingSnapshot(f.app, &snap, true));
    CHECK(f.app->rowCount == 3);
    CHECK(QueuedRowCount(f.app) == 0);
    CHECK(f.Messages() == 0);
    CHECK(snap.flags == stillRunningWhenSaved);
    const SystemTime now = LocalNow();
    CHECK(std::memcmp(&snap.snapshotTakenAt, &now, sizeof now) == 0);
    CHECK(f.app->recordingInfo.flags == 0);
    CHECK(f.app->recordingInfo.snapshotTakenAt.year == 0);

    SUBCASE("rows the store cannot take in: nothing is written, the count is given") {
        for (int i = 0; i < 4096; ++i)
            QueueRow(f.app, &row); // the store is full at 4096
        RefuseAllocationsAbove(1 << 20);
        const std::vector<std::pair<const char*, bool (*)(AppState*, const char16_t*)>> exports = {
            {"out.csv", ExportCsvToPath},
            {"out.json", ExportJsonToPath},
            {"out.ols", SaveSessionToPath},
        };
        for (const auto& e : exports) {
            CAPTURE(e.first);
            CHECK_FALSE(e.second(f.app, tmp.Path16(e.first).c_str()));
            CHECK(LastMessage(kIconError) ==
                  "Nothing was written.\n\n3 recorded events are still waiting to be taken in, "
                  "and this computer cannot take them right now. A file written at this moment "
                  "would leave them out while saying the record was complete.\n\nStop the "
                  "recording and save again.");
        }
        ResetAllocationFaults();
        CHECK(tmp.Names().empty());
        CHECK(f.app->rowCount == 4096);
    }
}

TEST_CASE("An incomplete shown list refuses CSV and JSON but not a session save") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    ReserveRows(f.app, 2);
    REQUIRE(f.app->rowCapacity >= 2);
    RefuseAllocationsAbove(1 << 10); // rows fit, but no index list can be made
    f.Add(kRow);
    f.Add(kRow);
    REQUIRE(f.app->shownListIncomplete == 1);

    const std::string refusal =
        "Nothing was written.\n\nSome recorded rows could not be added to the list of shown "
        "rows, because this computer would not give the memory for it. They are on the record "
        "but not in the list, and CSV and JSON are written from the list - so the file would be "
        "missing them and would appear to have left them out on purpose.\n\nNarrowing the view "
        "frees room. Save Session writes the whole record and does not use the list, so it "
        "still works.";
    CHECK_FALSE(ExportCsvToPath(f.app, tmp.Path16("a.csv").c_str()));
    CHECK(LastMessage(kIconError) == refusal);
    CHECK_FALSE(ExportJsonToPath(f.app, tmp.Path16("a.json").c_str()));
    CHECK(LastMessage(kIconError) == refusal);
    CHECK(tmp.Names().empty());

    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("a.ols").c_str()));
    CHECK(LastMessage(kIconInformation) == "2 events saved.");

    SUBCASE("memory back: the one rebuild completes the list and the export goes ahead") {
        ResetAllocationFaults();
        REQUIRE(ExportCsvToPath(f.app, tmp.Path16("a.csv").c_str()));
        CHECK(LastMessage(kIconInformation) == "2 events written to CSV.");
        CHECK(f.app->shownListIncomplete == 0);
    }
    ResetAllocationFaults();
}

} // namespace olv
