// Session files: round trips, old-format files, every check of the loader, the repair of rows read,
// the corpus, and the promise that a failed open changes nothing in memory.
#include "doctest.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "export/session_counts.h"
#include "report/completeness.h"

namespace olv {

namespace {

// A session file built by hand: header, optional block, the first recordSize bytes of each row.
Bytes SessionBytes(uint32_t version, uint32_t recordSize, std::vector<EventRow> rows,
                   const RecordingInfo* block) {
    const uint32_t words[] = {0x53564C4F, version, recordSize, static_cast<uint32_t>(rows.size())};
    Bytes b;
    auto add = [&](const void* p, size_t n) {
        b.insert(b.end(), static_cast<const unsigned char*>(p),
                 static_cast<const unsigned char*>(p) + n);
    };
    add(words, 16); // the file is little-endian, as is every machine this runs on
    if (block != nullptr) add(block, sizeof *block);
    for (const EventRow& row : rows)
        add(&row, recordSize);
    return b;
}

std::vector<EventRow> Rows(const Recording* app) {
    std::vector<EventRow> rows(static_cast<size_t>(app->rowCount));
    for (int32_t i = 0; i < app->rowCount; ++i)
        ReadStoredRow(app, i, &rows[static_cast<size_t>(i)]);
    return rows;
}

std::vector<EventRow> SpecRows() {
    std::vector<EventRow> rows;
    for (const RowSpec& s : kRows)
        rows.push_back(MakeRow(s));
    return rows;
}

std::string Header(Recording* app) {
    char16_t out[2048];
    BuildHeaderLines(&app->recordingInfo, app->recordingInfoValid != 0, out, 2048, u"");
    return U8(out);
}

// The recording in memory that a failed open must leave as it was.
void FillCurrent(ExportFixture& f) {
    f.Finished();
    f.Add(kRows[0]);
    f.Add(kRows[1]);
    f.app->droppedHere = 3;
}
void CheckCurrentUntouched(ExportFixture& f) {
    CHECK(Rows(f.app) == std::vector<EventRow>{MakeRow(kRows[0]), MakeRow(kRows[1])});
    CHECK(f.app->shownCount == 2);
    CHECK(f.app->droppedHere == 3);
    CHECK(f.app->recordingInfoValid == 1);
    const RecordingInfo stopped = StoppedRecordingInfo();
    CHECK(std::memcmp(&f.app->recordingInfo, &stopped, sizeof stopped) == 0);
}

} // namespace

TEST_CASE("Saved sessions are byte-exact, hold all rows rather than the view, and reopen") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.app->recordingInfo.fileResultsMissing = 4;
    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("empty.ols").c_str()));
    CHECK(LastMessage(kIconInformation) == "0 events saved.");
    const Bytes empty = ReadAll(tmp.Path("empty.ols"));
    CHECK(empty.size() == 1312);
    CHECK(empty == SessionBytes(2, 3256, {}, &f.app->recordingInfo));
    f.app->recordingInfo.fileResultsMissing = 0;
    f.app->view.categoryOn[kCategoryNetwork] = 0;
    f.AddAll();
    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("one.ols").c_str()));
    CHECK(LastMessage(kIconInformation) == "4 events saved.");
    const Bytes first = ReadAll(tmp.Path("one.ols"));
    CHECK(first == SessionBytes(2, 3256, SpecRows(), &f.app->recordingInfo));

    ExportFixture g;
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("one.ols").c_str()));
    CHECK(g.Messages() == 0); // nothing missing: no message
    CHECK(g.app->operationNameCount == 4);
    CHECK(U8(g.app->operationNames[3]) == "Connect");
    REQUIRE(SaveSessionToPath(g.app, tmp.Path16("two.ols").c_str()));
    CHECK(ReadAll(tmp.Path("two.ols")) == first);

    // The empty session opened over it replaces the recording and says what is missing.
    g.app->droppedHere = 3;
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("empty.ols").c_str()));
    CHECK((g.app->rowCount == 0 && g.app->shownCount == 0 && g.app->droppedHere == 0));
    CHECK(g.app->recordingInfo.fileResultsMissing == 4);
    CHECK(LastMessage(kIconWarning) ==
          "This record does not contain everything that happened:\r\n\r\n  4 file operation(s) "
          "have no result: the completion record never arrived, so whether they worked is "
          "unknown.\r\n");
}

TEST_CASE("Version 1 files open without metadata; saved again they become version 2") {
    ExportFixture f;
    TempFolder tmp;
    WriteAll(tmp.Path("v1.ols"), SessionBytes(1, 3256, SpecRows(), nullptr));
    REQUIRE(OpenSessionFromPath(f.app, tmp.Path16("v1.ols").c_str()));
    CHECK(Rows(f.app) == SpecRows());

    std::vector<EventRow> shortRows = SpecRows();
    for (EventRow& row : shortRows)
        row.keyObject = row.timestamp = 0;
    WriteAll(tmp.Path("old.ols"), SessionBytes(1, 3236, SpecRows(), nullptr));
    REQUIRE(OpenSessionFromPath(f.app, tmp.Path16("old.ols").c_str()));
    CHECK(Rows(f.app) == shortRows);
    CHECK(f.app->recordingInfo.flags == completenessUnknown);
    CHECK(LastMessage(kIconWarning) ==
          "This record does not contain everything that happened:\r\n\r\n  This session was "
          "saved before completeness was recorded, so what it may be missing is not known.\r\n");
    CHECK(Header(f.app) == "Recorded by Olvetta. Nothing else about the run was kept.\r\n");

    REQUIRE(ExportJsonToPath(f.app, tmp.Path16("old.json").c_str()));
    const Bytes json = ReadAll(tmp.Path("old.json"));
    const std::string text(json.begin() + 3, json.end());
    CHECK(text.rfind("{\n  \"tool\":\"Olvetta\",\n  \"target\":\"\",\n  \"started\":\"\",\n  "
                     "\"startedUtc\":\"\",\n  \"stopped\":\"\",\n  \"stoppedUtc\":\"\",\n  "
                     "\"utcOffsetMinutes\": null,\n  \"stillRunningWhenSaved\": false,\n  "
                     "\"snapshotTakenAt\":\"\",\n  \"windowsBuild\":\"0.0.0\",",
                     0) == 0);
    // Rows of 3236 bytes have no time stamp, and the file no bias: their UTC time is not known.
    CHECK(Has(text, "\"time\":\"2024-03-05 14:07:10.005\",\"timeUtc\":\"\","));
    CHECK(Has(text, "\"notes\": [\n      \"This session was saved before completeness was "
                    "recorded, so what it may be missing is not known.\"\n    ]"));

    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("new.ols").c_str()));
    RecordingInfo block{};
    block.blockSize = 1296; // completenessUnknown is cleared in the file, not in memory
    CHECK(ReadAll(tmp.Path("new.ols")) == SessionBytes(2, 3256, shortRows, &block));
    CHECK(f.app->recordingInfo.flags == completenessUnknown);
    ExportFixture g;
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("new.ols").c_str()));
    CHECK(g.Messages() == 0);
    CHECK(Header(g.app) == "Recorded by  0.0\r\nRecording started 0000-00-00 00:00:00.000 (local "
                           "time, UTC+0 minutes); still running\r\n");
}

TEST_CASE("A recording's origin is kept in a version-4 session; older files open without one") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.AddAll();
    f.app->origin.blockSize = kRecordingOriginSize;
    f.app->origin.flags = stopUtcBiasKnown;
    f.app->origin.stopUtcBias = -120;
    CopyBounded(f.app->origin.recorderImage, 520, u"C:\\Tools\\Olvetta.exe");
    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("origin.ols").c_str()));
    // Header, block, an empty ClearedRows block, the origin with the loss counts after its fixed
    // part (none known), the rows.
    Bytes expected = SessionBytes(4, 3256, {}, &f.app->recordingInfo);
    expected[12] = 4; // the row count
    ClearedRows cleared{};
    cleared.blockSize = kClearedRowsSize;
    RecordingOrigin written = f.app->origin;
    written.blockSize = kRecordingOriginSize + CountsBlockBytes();
    const auto* c = reinterpret_cast<const unsigned char*>(&cleared);
    const auto* o = reinterpret_cast<const unsigned char*>(&written);
    expected.insert(expected.end(), c, c + kClearedRowsSize);
    expected.insert(expected.end(), o, o + kRecordingOriginSize);
    const uint32_t countsHead[4] = {CountsBlockBytes(), 0x53544E43 /* "CNTS" */, 0,
                                    kKeptCountCount};
    const auto* h = reinterpret_cast<const unsigned char*>(countsHead);
    expected.insert(expected.end(), h, h + sizeof countsHead);
    expected.insert(expected.end(), size_t{kKeptCountCount} * 8, 0);
    for (const EventRow& row : SpecRows()) {
        const auto* r = reinterpret_cast<const unsigned char*>(&row);
        expected.insert(expected.end(), r, r + sizeof row);
    }
    const Bytes file = ReadAll(tmp.Path("origin.ols"));
    CHECK(file == expected);

    ExportFixture g;
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("origin.ols").c_str()));
    CHECK(std::memcmp(&g.app->origin, &f.app->origin, sizeof(RecordingOrigin)) == 0);
    CHECK(Rows(g.app) == SpecRows());
    CHECK(g.app->cleared.rows == 0);
    REQUIRE(SaveSessionToPath(g.app, tmp.Path16("again.ols").c_str()));
    CHECK(ReadAll(tmp.Path("again.ols")) == file);

    // An older file forgets the origin of what was open; saved again it keeps its version.
    WriteAll(tmp.Path("v2.ols"), SessionBytes(2, 3256, SpecRows(), &f.app->recordingInfo));
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("v2.ols").c_str()));
    CHECK(g.app->origin.recorderImage[0] == 0);
    CHECK(g.app->origin.flags == 0);
    REQUIRE(SaveSessionToPath(g.app, tmp.Path16("v2-again.ols").c_str()));
    CHECK(ReadAll(tmp.Path("v2-again.ols")) == ReadAll(tmp.Path("v2.ols")));

    // A bias at Stop that no time zone has is damage, and changes nothing.
    Bytes wrong = file;
    const size_t biasAt = 16 + kRecordingInfoSize + kClearedRowsSize + 8;
    const int32_t bias = 4096; // minutes
    std::memcpy(&wrong[biasAt], &bias, sizeof bias);
    WriteAll(tmp.Path("bias.ols"), wrong);
    CHECK_FALSE(OpenSessionFromPath(g.app, tmp.Path16("bias.ols").c_str()));
    CHECK(Has(LastMessage(kIconError),
              "The session file is damaged: the UTC bias at Stop is 4096 minutes."));
    CHECK(g.app->origin.flags == 0);
}

// The corpus below holds the damaged and foreign files; these are the refusals a file cannot carry.
TEST_CASE("Opening fails without change when the file, the memory or the state is refused") {
    const RecordingInfo block = StoppedRecordingInfo();
    const struct {
        const char* name;
        const char* message;
    } cases[] = {
        {"memory for the rows refused",
         "The session could not be read. What was already open has been left as it was."},
        {"a folder", "The session file could not be opened: Access is denied. (5)"},
        {"no such file",
         "The session file could not be opened: The system cannot find the file specified. (2)"},
        {"a named pipe", "The session file could not be opened: Access is denied. (5)"},
        {"a recording is running", "Stop monitoring before opening a session."},
    };
    for (const auto& c : cases) {
        INFO(std::string(c.name));
        ExportFixture f;
        TempFolder tmp;
        FillCurrent(f);
        const std::string name = c.name;
        std::u16string path = tmp.Path16("s.ols");
        if (name == "a folder") {
            path = tmp.dir.u16string();
        } else if (name == "a named pipe") {
#if defined(_WIN32)
            continue;
#else
            REQUIRE(mkfifo(tmp.Path("s.ols").c_str(), 0600) == 0); // must not hang the open
#endif
        } else if (name != "no such file") {
            WriteAll(tmp.Path("s.ols"), SessionBytes(2, 3256, SpecRows(), &block));
        }
        if (name == "memory for the rows refused") RefuseAllocationsAbove(4 * 3256 - 1);
        f.app->recording = name == "a recording is running" ? 1 : 0;
        CHECK_FALSE(OpenSessionFromPath(f.app, path.c_str()));
        f.app->recording = 0;
        ResetAllocationFaults();
        CHECK(f.Messages() == 1);
        const bool refusedFile = name != "a recording is running";
        CHECK(LastMessage(refusedFile ? kIconError : kIconWarning) ==
              std::string(c.message) + (refusedFile ? "\n\nFile: " + U8(path.c_str()) : ""));
        CheckCurrentUntouched(f);
    }
}

// A session whose rows would not fit in the memory the system has is refused before any row is
// read, with what it needs; the file is sparse, so the test writes almost nothing.
TEST_CASE("A session too large for the available memory is refused with what it needs") {
    ExportFixture f;
    TempFolder tmp;
    FillCurrent(f);
    const RecordingInfo block = StoppedRecordingInfo();
    Bytes head = SessionBytes(2, 3256, {}, &block);
    const uint32_t rows = 2000000;
    std::memcpy(&head[12], &rows, 4);
    WriteAll(tmp.Path("huge.ols"), head);
    std::filesystem::resize_file(tmp.Path("huge.ols"), head.size() + uint64_t{rows} * 3256);

    SetAvailableMemoryOverride(100ull * 1024 * 1024);
    const int64_t liveBefore = LiveAllocationCount();
    CHECK_FALSE(OpenSessionFromPath(f.app, tmp.Path16("huge.ols").c_str()));
    CHECK(LiveAllocationCount() == liveBefore); // nothing was allocated for the rows
    CHECK(LastMessage(kIconError) ==
          "This session holds 2000000 rows and needs 286 MB of memory to open, but this "
          "computer has only 100 MB available now. Nothing was read; what was already open has "
          "been left as it was.\n\nClosing other programs frees memory.\n\nFile: " +
              tmp.Path("huge.ols").string());
    CheckCurrentUntouched(f);

    // With room enough the same check lets a session through.
    SetAvailableMemoryOverride(64ull * 1024 * 1024 * 1024);
    WriteAll(tmp.Path("small.ols"), SessionBytes(2, 3256, SpecRows(), &block));
    CHECK(OpenSessionFromPath(f.app, tmp.Path16("small.ols").c_str()));
    SetAvailableMemoryOverride(0);
}

TEST_CASE("Rows read are repaired so that no row can break the views") {
    ExportFixture f;
    TempFolder tmp;
    std::vector<EventRow> rows = SpecRows();
    const uint32_t codes[4][2] = {{9, 7}, {4, 3}, {0xFFFFFFFFu, 4}, {3, 0}}; // category, severity
    for (int i = 0; i < 4; ++i) {
        rows[i].category = codes[i][0];
        rows[i].severity = codes[i][1];
    }
    for (EventRow* row : {&rows[0], &rows[2]}) { // texts filling their fields, unterminated
        std::fill_n(row->operation, kOperationChars, u'O');
        std::fill_n(row->path, kPathChars, u'P');
        std::fill_n(row->detail, kDetailChars, u'D');
        std::fill_n(row->result, kResultChars, u'R');
        std::fill_n(row->process, kProcessChars, u'N');
        std::fill_n(row->threat, kThreatChars, u'T');
    }
    RecordingInfo block = StoppedRecordingInfo();
    std::fill_n(block.target, 520, u't');
    std::fill_n(block.tool, 64, u'x');
    WriteAll(tmp.Path("r.ols"), SessionBytes(2, 3256, rows, &block));
    REQUIRE(OpenSessionFromPath(f.app, tmp.Path16("r.ols").c_str()));
    REQUIRE(f.app->rowCount == 4);
    const uint32_t repaired[4][2] = {{4, 0}, {4, 3}, {4, 0}, {3, 0}};
    for (int i = 0; i < 4; ++i) {
        CHECK(StoredCategory(f.app, i) == repaired[i][0]);
        CHECK(StoredSeverity(f.app, i) == repaired[i][1]);
    }
    const EventRow r = StoredRow(f.app, 0);
    CHECK(std::vector<size_t>{TextLength(r.operation), TextLength(r.path), TextLength(r.detail),
                              TextLength(r.result), TextLength(r.process), TextLength(r.threat),
                              TextLength(f.app->recordingInfo.target),
                              TextLength(f.app->recordingInfo.tool)} ==
          std::vector<size_t>{63, 1023, 255, 63, 63, 127, 519, 63});
    CHECK(f.app->operationNameCount == 3); // both long operations are one name, kept whole
}

// Every file of the session corpus (also the fuzzer's seeds) is opened over a recording in memory.
// The name says what must happen: v1_ to v7_ files open, damaged_ files are reported damaged,
// not_session_ files are refused as foreign, and a refused file leaves the recording as it was.
TEST_CASE("Session corpus") {
    const auto folder = std::filesystem::path(OLV_SOURCE_DIR) / "tests" / "corpus" / "session";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        CAPTURE(name);
        ++files;
        ExportFixture f;
        FillCurrent(f);
        const bool opened = OpenSessionFromPath(f.app, entry.path().u16string().c_str());
        if (name[0] == 'v') {
            CHECK(opened);
            CHECK(f.app->recordingInfoValid == (name[1] != '1' ? 1 : 0));
            for (int i = 0; i < f.app->rowCount; ++i)
                CHECK((StoredCategory(f.app, i) <= 4 && StoredSeverity(f.app, i) <= 3));
            continue;
        }
        // A compact file's damage is named: "The session file is damaged: <what>."
        const std::string message = LastMessage(kIconError);
        const std::string file = "\n\nFile: " + entry.path().string();
        if (name.rfind("damaged_v5_", 0) == 0 || name.rfind("damaged_v7_", 0) == 0) {
            CHECK(message.rfind("The session file is damaged: ", 0) == 0);
            CHECK(message.size() > file.size());
            CHECK(message.substr(message.size() - file.size()) == file);
        } else {
            CHECK(message == (name[0] == 'd' ? "The session file is damaged."
                                             : "This is not a session file this version can read.") +
                                 file);
        }
        CheckCurrentUntouched(f);
    }
    CHECK(files >= 27);
}

} // namespace olv
