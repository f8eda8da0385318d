// Session files: save and open round trips, old-format files, every check of the loader, the
// repair of rows read, and the promise that a failed open changes nothing in memory.
#include "doctest.h"

#include "export/completeness.h"
#include "export/export_fixture.h"
#include "export/exports.h"

namespace olv {

namespace {

const RowSpec kRows[] = {
    {SystemTime{2024, 3, 2, 5, 14, 7, 10, 5}, kCategoryFile, u"CreateFile", u"C:\\a.txt",
     u"Disposition: Open", u"SUCCESS", u"a.exe", u"", 100, 4, 0},
    {SystemTime{2024, 3, 2, 5, 14, 7, 10, 6}, kCategoryRegistry, u"RegSetValue",
     u"HKLM\\Software\\Run\\x", u"Type: REG_SZ", u"SUCCESS", u"a.exe", u"Run key (+3)", 100, 4, 3},
    {SystemTime{2024, 3, 2, 5, 14, 7, 10, 7}, kCategoryNetwork, u"Connect", u"10.0.0.5:443", u"",
     u"", u"a.exe", u"", 100, 4, 0},
};

void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
uint32_t Get32(const Bytes& b, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
    return v;
}

Bytes Header(uint32_t version, uint32_t recordSize, uint32_t count) {
    Bytes b(16, 0);
    b[0] = 'O';
    b[1] = 'L';
    b[2] = 'V';
    b[3] = 'S';
    Put32(b, 4, version);
    Put32(b, 8, recordSize);
    Put32(b, 12, count);
    return b;
}

void Append(Bytes& b, const void* data, size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    b.insert(b.end(), p, p + size);
}

// A session file built by hand: header, optional block, the first recordSize bytes of each row.
Bytes SessionBytes(uint32_t version, uint32_t recordSize, const std::vector<EventRow>& rows,
                   const RecordingInfo* block) {
    Bytes b = Header(version, recordSize, static_cast<uint32_t>(rows.size()));
    if (block != nullptr) Append(b, block, sizeof *block);
    for (const EventRow& row : rows)
        Append(b, &row, recordSize);
    return b;
}

std::vector<EventRow> SpecRows() {
    std::vector<EventRow> rows;
    for (const RowSpec& s : kRows)
        rows.push_back(MakeRow(s));
    return rows;
}

// A store with two rows that a failed open must leave alone.
void FillCurrent(ExportFixture& f) {
    f.Finished();
    f.Add(kRows[0]);
    f.Add(kRows[1]);
    f.app->droppedHere = 3;
}

void CheckCurrentUntouched(ExportFixture& f) {
    CHECK(f.app->rowCount == 2);
    CHECK(f.app->shownCount == 2);
    CHECK(U8(f.app->rows[0].operation) == "CreateFile");
    CHECK(U8(f.app->rows[1].operation) == "RegSetValue");
    CHECK(f.app->droppedHere == 3);
    CHECK(f.app->recordingInfoValid == 1);
    const RecordingInfo expected = StoppedRecordingInfo();
    CHECK(std::memcmp(&f.app->recordingInfo, &expected, sizeof expected) == 0);
}

bool SameRow(const EventRow& a, const EventRow& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST_CASE("A session with no rows is 1312 bytes and opens to an empty recording") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.app->recordingInfo.fileResultsMissing = 4;
    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("empty.ols").c_str()));
    CHECK(LastMessage(kIconInformation) == "0 events saved.");
    const Bytes file = ReadAll(tmp.Path("empty.ols"));
    REQUIRE(file.size() == 1312);
    CHECK(std::string(file.begin(), file.begin() + 4) == "OLVS");
    CHECK(Get32(file, 4) == 2);
    CHECK(Get32(file, 8) == 3256);
    CHECK(Get32(file, 12) == 0);
    CHECK(std::memcmp(file.data() + 16, &f.app->recordingInfo, 1296) == 0);

    ExportFixture g;
    FillCurrent(g);
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("empty.ols").c_str()));
    CHECK(g.app->rowCount == 0);
    CHECK(g.app->shownCount == 0);
    CHECK(g.app->droppedHere == 0);
    CHECK(g.app->recordingInfoValid == 1);
    CHECK(g.app->recordingInfo.fileResultsMissing == 4);
    // The one note is shown after opening.
    CHECK(LastMessage(kIconWarning) ==
          "This record does not contain everything that happened:\r\n\r\n  4 file "
          "operation(s) have no result: the completion record never arrived, so whether they "
          "worked is unknown.\r\n");
}

TEST_CASE("A full round trip is byte-identical") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    for (const RowSpec& s : kRows)
        f.Add(s);
    HeadlessSetCheck(kIdNetworkCheck, kUnchecked); // a session holds all rows, not the view
    RebuildShownRows(f.app);
    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("one.ols").c_str()));
    CHECK(LastMessage(kIconInformation) == "3 events saved.");
    const Bytes first = ReadAll(tmp.Path("one.ols"));
    CHECK(first.size() == 1312 + 3 * 3256);

    ExportFixture g;
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("one.ols").c_str()));
    CHECK(g.Messages() == 0); // nothing missing: no message
    REQUIRE(g.app->rowCount == 3);
    for (int i = 0; i < 3; ++i)
        CHECK(SameRow(g.app->rows[i], f.app->rows[i]));
    CHECK(g.app->operationNameCount == 3);
    CHECK(U8(HeadlessComboItem(1)) == "CreateFile");
    REQUIRE(SaveSessionToPath(g.app, tmp.Path16("two.ols").c_str()));
    CHECK(ReadAll(tmp.Path("two.ols")) == first);
}

TEST_CASE("Version 1 with 3236-byte records opens without metadata") {
    ExportFixture f;
    TempFolder tmp;
    WriteAll(tmp.Path("old.ols"), SessionBytes(1, 3236, SpecRows(), nullptr));
    FillCurrent(f);
    REQUIRE(OpenSessionFromPath(f.app, tmp.Path16("old.ols").c_str()));
    REQUIRE(f.app->rowCount == 3);
    for (int i = 0; i < 3; ++i) {
        const EventRow expected = MakeRow(kRows[i]);
        CHECK(std::memcmp(&f.app->rows[i], &expected, 3236) == 0);
        CHECK(f.app->rows[i].keyObject == 0);
        CHECK(f.app->rows[i].timestamp == 0);
        CHECK(f.app->rows[i].reserved == 0);
    }
    CHECK(f.app->recordingInfoValid == 0);
    CHECK(f.app->recordingInfo.flags == completenessUnknown);
    CHECK(f.app->droppedHere == 0);
    CHECK(LastMessage(kIconWarning) ==
          "This record does not contain everything that happened:\r\n\r\n  This session was "
          "saved before completeness was recorded, so what it may be missing is not known.\r\n");
    char16_t header[512];
    BuildHeaderLines(&f.app->recordingInfo, f.app->recordingInfoValid != 0, header, 512, u"");
    CHECK(U8(header) == "Recorded by Olvetta. Nothing else about the run was kept.\r\n");

    SUBCASE("saved again it is version 2 with completenessUnknown cleared") {
        REQUIRE(SaveSessionToPath(f.app, tmp.Path16("new.ols").c_str()));
        const Bytes file = ReadAll(tmp.Path("new.ols"));
        REQUIRE(file.size() == 1312 + 3 * 3256);
        CHECK(Get32(file, 4) == 2);
        RecordingInfo expectedBlock{};
        expectedBlock.blockSize = 1296;
        CHECK(std::memcmp(file.data() + 16, &expectedBlock, 1296) == 0);
        // The block in memory keeps its flag; only the file is cleaned.
        CHECK(f.app->recordingInfo.flags == completenessUnknown);

        ExportFixture g;
        REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("new.ols").c_str()));
        CHECK(g.Messages() == 0);
        CHECK(g.app->recordingInfoValid == 1);
        BuildHeaderLines(&g.app->recordingInfo, true, header, 512, u"");
        CHECK(U8(header) == "Recorded by  0.0\r\nRecording started 0000-00-00 00:00:00.000 "
                            "(local time, UTC+0 minutes); still running\r\n");
    }
    SUBCASE("exported as JSON it names the program and carries the one note") {
        REQUIRE(ExportJsonToPath(f.app, tmp.Path16("old.json").c_str()));
        const Bytes json = ReadAll(tmp.Path("old.json"));
        const std::string text(json.begin() + 3, json.end());
        CHECK(text.rfind("{\n  \"tool\":\"Olvetta\",\n  \"target\":\"\",\n  \"started\":\"\",\n  "
                         "\"stopped\":\"\",\n  \"stillRunningWhenSaved\": false,\n  "
                         "\"snapshotTakenAt\":\"\",\n  \"windowsBuild\":\"0.0.0\",",
                         0) == 0);
        CHECK(text.find("\"notes\": [\n      \"This session was saved before completeness was "
                        "recorded, so what it may be missing is not known.\"\n    ]") !=
              std::string::npos);
    }
}

TEST_CASE("The loader refuses damaged and foreign files and changes nothing") {
    const RecordingInfo block = StoppedRecordingInfo();
    const std::vector<EventRow> rows = SpecRows();
    const Bytes good = SessionBytes(2, 3256, rows, &block);
    const std::string notReadable = "This is not a session file this version can read.";
    const std::string damaged = "The session file is damaged.";

    struct Case {
        const char* name;
        Bytes bytes;
        std::string message;
    };
    std::vector<Case> cases;
    cases.push_back({"empty file", Bytes{}, notReadable});
    cases.push_back({"short header", Bytes(good.begin(), good.begin() + 15), notReadable});
    Bytes magic = good;
    magic[3] = 'X';
    cases.push_back({"wrong magic", magic, notReadable});
    Bytes size = good;
    Put32(size, 8, 3255);
    cases.push_back({"wrong record size", size, notReadable});
    for (uint32_t version : {0u, 3u, 0x80000002u}) {
        Bytes v = good;
        Put32(v, 4, version);
        cases.push_back({"wrong version", v, notReadable});
    }
    Bytes longer = good;
    longer.push_back(0);
    cases.push_back({"one byte too long", longer, damaged});
    cases.push_back({"one byte too short", Bytes(good.begin(), good.end() - 1), damaged});
    cases.push_back({"shorter than its block", Bytes(good.begin(), good.begin() + 1311), damaged});
    Bytes more = good;
    Put32(more, 12, 4);
    cases.push_back({"count above the rows there", more, damaged});
    Bytes negative = Header(1, 3256, 0xFFFFFFFFu);
    cases.push_back({"negative count", negative, damaged});
    Bytes negativeFits = Header(1, 3236, 0x80000000u);
    cases.push_back({"count of 2^31", negativeFits, damaged});
    Bytes blockSize = good;
    Put32(blockSize, 16, 1295);
    cases.push_back({"block not beginning with 1296", blockSize, damaged});
    Bytes v1Sized = SessionBytes(1, 3256, rows, &block); // a block where none belongs
    cases.push_back({"version 1 with a block", v1Sized, damaged});

    for (const Case& c : cases) {
        CAPTURE(c.name);
        ExportFixture f;
        TempFolder tmp;
        FillCurrent(f);
        WriteAll(tmp.Path("bad.ols"), c.bytes);
        CHECK_FALSE(OpenSessionFromPath(f.app, tmp.Path16("bad.ols").c_str()));
        CHECK(f.Messages() == 1);
        CHECK(LastMessage(kIconError) == c.message);
        CheckCurrentUntouched(f);
    }
}

TEST_CASE("Opening fails without change when the file, the memory or a read is refused") {
    ExportFixture f;
    TempFolder tmp;
    FillCurrent(f);

    SUBCASE("no such file") {
        CHECK_FALSE(OpenSessionFromPath(f.app, tmp.Path16("missing.ols").c_str()));
        CHECK(LastMessage(kIconError) == "Failed to open file.");
    }
    SUBCASE("a folder") {
        CHECK_FALSE(OpenSessionFromPath(f.app, tmp.dir.u16string().c_str()));
        CHECK(LastMessage(kIconError) == "Failed to open file.");
    }
    SUBCASE("memory for the rows refused") {
        RecordingInfo block = StoppedRecordingInfo();
        WriteAll(tmp.Path("s.ols"), SessionBytes(2, 3256, SpecRows(), &block));
        RefuseAllocationsAbove(3 * 3256 - 1);
        CHECK_FALSE(OpenSessionFromPath(f.app, tmp.Path16("s.ols").c_str()));
        ResetAllocationFaults();
        CHECK(LastMessage(kIconError) ==
              "The session could not be read. What was already open has been left as it was.");
    }
    SUBCASE("a recording is running") {
        RecordingInfo block = StoppedRecordingInfo();
        WriteAll(tmp.Path("s.ols"), SessionBytes(2, 3256, SpecRows(), &block));
        f.app->recording = 1;
        CHECK_FALSE(OpenSessionFromPath(f.app, tmp.Path16("s.ols").c_str()));
        f.app->recording = 0;
        CHECK(LastMessage(kIconWarning) == "Stop monitoring before opening a session.");
    }
    CHECK(f.Messages() == 1);
    CheckCurrentUntouched(f);
}

TEST_CASE("Rows read are repaired so that no row can break the views") {
    ExportFixture f;
    TempFolder tmp;
    std::vector<EventRow> rows = SpecRows();
    rows[0].category = 9;
    rows[0].severity = 7;
    rows[1].category = 4;
    rows[1].severity = 3;
    rows[2].category = 0xFFFFFFFFu;
    rows[2].severity = 4;
    // Texts that fill their fields to the last character, without a terminator.
    for (EventRow* row : {&rows[0], &rows[2]}) {
        for (auto& c : row->operation)
            c = u'O';
        for (auto& c : row->path)
            c = u'P';
        for (auto& c : row->detail)
            c = u'D';
        for (auto& c : row->result)
            c = u'R';
        for (auto& c : row->process)
            c = u'N';
        for (auto& c : row->threat)
            c = u'T';
    }
    const RecordingInfo block = StoppedRecordingInfo();
    RecordingInfo openBlock = block;
    for (auto& c : openBlock.target)
        c = u't';
    for (auto& c : openBlock.tool)
        c = u'x';
    WriteAll(tmp.Path("r.ols"), SessionBytes(2, 3256, rows, &openBlock));
    REQUIRE(OpenSessionFromPath(f.app, tmp.Path16("r.ols").c_str()));
    REQUIRE(f.app->rowCount == 3);
    CHECK(f.app->rows[0].category == 4);
    CHECK(f.app->rows[0].severity == 0);
    CHECK(f.app->rows[1].category == 4);
    CHECK(f.app->rows[1].severity == 3);
    CHECK(f.app->rows[2].category == 4);
    CHECK(f.app->rows[2].severity == 0);
    CHECK(U8(CategoryLabel(f.app->rows[0].category)) == "Unknown");
    const EventRow& r = f.app->rows[0];
    CHECK(TextLength(r.operation) == 63);
    CHECK(TextLength(r.path) == 1023);
    CHECK(TextLength(r.detail) == 255);
    CHECK(TextLength(r.result) == 63);
    CHECK(TextLength(r.process) == 63);
    CHECK(TextLength(r.threat) == 127);
    CHECK(TextLength(f.app->recordingInfo.target) == 519);
    CHECK(TextLength(f.app->recordingInfo.tool) == 63);
    // Both unterminated operations read as the same 63 characters: one name, kept whole.
    CHECK(f.app->operationNameCount == 2);
    CHECK(TextLength(HeadlessComboItem(1)) == 63);
}

TEST_CASE("A session saved while the recording runs carries the snapshot") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.app->recordingInfo.stopped = SystemTime{};
    f.app->recording = 1;
    f.Add(kRows[0]);
    SetClockOverride(133542496301234567ll);
    const SystemTime now = LocalNow();
    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("run.ols").c_str()));
    f.app->recording = 0;
    const Bytes file = ReadAll(tmp.Path("run.ols"));
    REQUIRE(file.size() == 1312 + 3256);
    RecordingInfo saved;
    std::memcpy(&saved, file.data() + 16, sizeof saved);
    CHECK((saved.flags & stillRunningWhenSaved) != 0);
    CHECK(std::memcmp(&saved.snapshotTakenAt, &now, sizeof now) == 0);
    CHECK(saved.stopped.year == 0);
    CHECK((f.app->recordingInfo.flags & stillRunningWhenSaved) == 0);
    CHECK(f.app->recordingInfo.snapshotTakenAt.year == 0);

    ExportFixture g;
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("run.ols").c_str()));
    char16_t header[2048];
    BuildHeaderLines(&g.app->recordingInfo, true, header, 2048, u"");
    CHECK(U8(header).find("; still running when saved\r\nThe rows below are those taken in by") !=
          std::string::npos);
}

TEST_CASE("Version 2 files with 3236-byte records and version 1 files with 3256-byte records "
          "open") {
    const RecordingInfo block = StoppedRecordingInfo();
    struct Case {
        uint32_t version;
        uint32_t recordSize;
    };
    for (const Case c : {Case{2, 3236}, Case{1, 3256}}) {
        CAPTURE(c.version);
        ExportFixture f;
        TempFolder tmp;
        WriteAll(tmp.Path("s.ols"), SessionBytes(c.version, c.recordSize, SpecRows(),
                                                 c.version == 2 ? &block : nullptr));
        REQUIRE(OpenSessionFromPath(f.app, tmp.Path16("s.ols").c_str()));
        CHECK(f.app->rowCount == 3);
        CHECK(U8(f.app->rows[2].path) == "10.0.0.5:443");
        CHECK((f.app->rows[2].timestamp == 0) == (c.recordSize == 3236));
    }
}

} // namespace olv
