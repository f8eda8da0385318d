// CSV and JSON exports: byte-exact files for a small recording, quoting and escaping, the notes
// forms, a view without rows, and the exported JSON read back by a strict reader.
#include "doctest.h"

#include <cstdlib>

#include "export/completeness.h"
#include "export/export_fixture.h"
#include "export/exports.h"
#include "export/json_check.h"
#include "export/json_text.h"

namespace olv {

namespace {

const SystemTime kRowTime{2024, 3, 2, 5, 14, 7, 10, 5};

// Four rows, one of them (Network) hidden by the view, with the awkward characters a file must
// survive: quotes, commas, CR LF, tab, control characters, DEL, a leading '=', non-ASCII text and
// a surrogate pair.
const RowSpec kSmallRows[] = {
    {kRowTime, kCategoryProcess, u"Process Start", u"C:\\Windows\\System32\\cmd.exe",
     u"/c \"whoami\" & echo, done", u"", u"dropper.exe", u"", 4012, 1200, 0},
    {SystemTime{2024, 3, 2, 5, 14, 7, 11, 250}, kCategoryFile, u"WriteFile",
     u"C:\\Users\\an\\AppData\\Roaming\\payload.dll", u"Offset: 0\r\nLength: 4096", u"SUCCESS", u"",
     u"Executable dropped in AppData (+2)", 4013, 4012, 2},
    {SystemTime{2024, 12, 0, 31, 23, 59, 59, 999}, kCategoryRegistry, u"RegSetValue",
     u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\caf\u00e9",
     u"=HYPERLINK(\"x\")\tA\u0001B\u007fC \u4e2d \U0001F600", u"ACCESS DENIED", u"dropper.exe",
     u"Run key persistence (+3)", 4012, 1200, 3},
    {kRowTime, kCategoryNetwork, u"Connect", u"10.0.0.5:443", u"TCP", u"", u"dropper.exe", u"",
     4012, 1200, 1},
};

void BuildSmallRecording(ExportFixture& f) {
    f.Finished();
    RecordingInfo& info = f.app->recordingInfo;
    info.droppedHere = 2;
    info.registryKeysNotResolved = 1;
    info.keyNamesWhileRunning = 10;
    info.keyNamesAfterStop = 12;
    info.keysNamedByCreate = 7;
    info.keysNamedByRundown = 5;
    info.flags = dnsNotRecorded;
    HeadlessSetCheck(kIdNetworkCheck, kUnchecked);
    for (const RowSpec& spec : kSmallRows)
        f.Add(spec);
    REQUIRE(f.app->rowCount == 4);
    REQUIRE(f.app->shownCount == 3);
}

std::filesystem::path GoldenPath(const char* name) {
    return std::filesystem::path(OLV_SOURCE_DIR) / "tests" / "golden" / name;
}

// Compares with the golden file; OLV_UPDATE_GOLDEN=1 rewrites it instead.
void CheckGolden(const char* name, const Bytes& actual) {
    const char* update = std::getenv("OLV_UPDATE_GOLDEN");
    if (update != nullptr && update[0] == '1') {
        WriteAll(GoldenPath(name), actual);
        MESSAGE("rewrote ", name);
        return;
    }
    const Bytes expected = ReadAll(GoldenPath(name));
    REQUIRE(!expected.empty());
    CHECK(actual.size() == expected.size());
    size_t firstDifference = 0;
    while (firstDifference < actual.size() && firstDifference < expected.size() &&
           actual[firstDifference] == expected[firstDifference]) {
        ++firstDifference;
    }
    INFO("first difference at byte ", firstDifference);
    CHECK(actual == expected);
}

// The CSV file (UTF-16LE after its mark) as UTF-8 text.
std::string CsvText(const Bytes& file) {
    REQUIRE(file.size() >= 2);
    REQUIRE(file.size() % 2 == 0);
    CHECK(file[0] == 0xFF);
    CHECK(file[1] == 0xFE);
    std::u16string wide;
    for (size_t i = 2; i + 1 < file.size(); i += 2) {
        wide.push_back(static_cast<char16_t>(file[i] | (file[i + 1] << 8)));
    }
    return U8(wide.c_str());
}

// The JSON file after its mark.
std::string JsonText(const Bytes& file) {
    REQUIRE(file.size() >= 3);
    CHECK(file[0] == 0xEF);
    CHECK(file[1] == 0xBB);
    CHECK(file[2] == 0xBF);
    return std::string(file.begin() + 3, file.end());
}

JsonValue ParseJson(const std::string& text) {
    JsonValue doc;
    JsonReader reader(text);
    const bool parsed = reader.Parse(&doc);
    INFO("JSON error: ", reader.error(), " at ", reader.position());
    REQUIRE(parsed);
    return doc;
}

std::string Str(const JsonValue* v) {
    REQUIRE(v != nullptr);
    REQUIRE(v->kind == JsonValue::String);
    return v->text;
}

std::string Num(const JsonValue* v) {
    REQUIRE(v != nullptr);
    REQUIRE(v->kind == JsonValue::Number);
    return v->text;
}

} // namespace

TEST_CASE("CSV and JSON of a small recording are byte-exact") {
    ExportFixture f;
    TempFolder tmp;
    BuildSmallRecording(f);

    REQUIRE(ExportCsvToPath(f.app, tmp.Path16("small.csv").c_str()));
    CHECK(LastMessage(kIconInformation) == "3 events written to CSV.");
    CheckGolden("export_small.csv", ReadAll(tmp.Path("small.csv")));

    REQUIRE(ExportJsonToPath(f.app, tmp.Path16("small.json").c_str()));
    CHECK(LastMessage(kIconInformation) == "3 events written to JSON.");
    CheckGolden("export_small.json", ReadAll(tmp.Path("small.json")));

    CHECK(tmp.Names() == std::vector<std::string>{"small.csv", "small.json"});
}

TEST_CASE("CSV quoting: quotes doubled, everything else written as it is inside the quotes") {
    ExportFixture f;
    TempFolder tmp;
    BuildSmallRecording(f);
    REQUIRE(ExportCsvToPath(f.app, tmp.Path16("q.csv").c_str()));
    const std::string csv = CsvText(ReadAll(tmp.Path("q.csv")));

    const char* expectedLines[] = {
        // severity 0: an empty field; a process name: "pid (name)"
        "2024-03-05 14:07:10.005,,\"4012 (dropper.exe)\",\"dropper.exe\",Process,"
        "\"Process Start\",\"C:\\Windows\\System32\\cmd.exe\",\"/c \"\"whoami\"\" & echo, "
        "done\",\"\",\"\"\r\n",
        // no process name: the number alone and an empty quoted column; CR LF kept in quotes
        "2024-03-05 14:07:11.250,Medium,\"4013\",\"\",File,\"WriteFile\","
        "\"C:\\Users\\an\\AppData\\Roaming\\payload.dll\",\"Offset: 0\r\nLength: 4096\","
        "\"SUCCESS\",\"Executable dropped in AppData (+2)\"\r\n",
        // a leading '=' unchanged, tab and control characters as they are
        "2024-12-31 23:59:59.999,High,\"4012 (dropper.exe)\",\"dropper.exe\",Registry,"
        "\"RegSetValue\",\"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\caf\xC3\xA9\","
        "\"=HYPERLINK(\"\"x\"\")\tA\x01"
        "B\x7F"
        "C \xE4\xB8\xAD \xF0\x9F\x98\x80\",\"ACCESS DENIED\","
        "\"Run key persistence (+3)\"\r\n",
    };
    const std::string columns =
        "Time,Severity,PID,Process,Category,Operation,Path,Detail,Result,Threat\r\n";
    const size_t at = csv.find(columns);
    REQUIRE(at != std::string::npos);
    std::string expectedRows;
    for (const char* line : expectedLines)
        expectedRows += line;
    CHECK(csv.substr(at + columns.size()) == expectedRows);
    CHECK(csv.find("Connect") == std::string::npos); // hidden by the view
}

TEST_CASE("CSV comment block: header, view and notes lines") {
    ExportFixture f;
    TempFolder tmp;

    SUBCASE("incomplete record") {
        BuildSmallRecording(f);
        REQUIRE(ExportCsvToPath(f.app, tmp.Path16("n.csv").c_str()));
        const std::string csv = CsvText(ReadAll(tmp.Path("n.csv")));
        CHECK(
            csv.rfind("# Recorded by Olvetta 1.1\r\n"
                      "# Program examined: C:\\Samples\\dropper.exe\r\n"
                      "# Recording ran from 2024-03-05 14:07:09.123 to 2024-03-05 14:09:01.456 "
                      "(local time, UTC+60 minutes)\r\n"
                      "# Windows 10.0 build 19045\r\n"
                      "# This file holds 3 of the 4 rows recorded. The other 1 were hidden by the "
                      "view when it was written:\r\n"
                      "#   Network rows off.\r\n"
                      "# This record is incomplete:\r\n"
                      "#   2 event(s) arrived faster than they could be taken in.\r\n"
                      "#   1 registry row(s) have no full key path; what is shown is the "
                      "fragment the event carried.\r\n"
                      "#     Key names known while running: 10; after the trace was stopped: 12 "
                      "(7 keys opened while watching, 5 listed by Windows).\r\n"
                      "#   DNS lookups were not recorded (Windows 7 and 8 do not report "
                      "them).\r\n"
                      "Time,Severity,",
                      0) == 0);
        CHECK(csv.find("Nothing is known") == std::string::npos);
    }
    SUBCASE("nothing known to be missing") {
        f.Finished();
        f.Add(kSmallRows[0]);
        REQUIRE(ExportCsvToPath(f.app, tmp.Path16("c.csv").c_str()));
        const std::string csv = CsvText(ReadAll(tmp.Path("c.csv")));
        CHECK(csv.find("# All 1 recorded rows are in this file.\r\n"
                       "# Nothing is known to be missing from what was recorded.\r\n"
                       "Time,") != std::string::npos);
        CHECK(csv.find("incomplete") == std::string::npos);
    }
}

TEST_CASE("A view with no rows writes the head and the column row only") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    for (int id : {kIdFileCheck, kIdRegistryCheck, kIdNetworkCheck, kIdProcessCheck}) {
        HeadlessSetCheck(id, kUnchecked);
    }
    for (const RowSpec& spec : kSmallRows)
        f.Add(spec);
    REQUIRE(f.app->shownCount == 0);

    REQUIRE(ExportCsvToPath(f.app, tmp.Path16("e.csv").c_str()));
    CHECK(LastMessage(kIconInformation) == "0 events written to CSV.");
    const std::string csv = CsvText(ReadAll(tmp.Path("e.csv")));
    const std::string columns =
        "Time,Severity,PID,Process,Category,Operation,Path,Detail,Result,Threat\r\n";
    REQUIRE(csv.size() >= columns.size());
    CHECK(csv.substr(csv.size() - columns.size()) == columns);
    CHECK(csv.find("#   File rows off, Registry rows off, Network rows off, Process rows "
                   "off.\r\n") != std::string::npos);

    REQUIRE(ExportJsonToPath(f.app, tmp.Path16("e.json").c_str()));
    CHECK(LastMessage(kIconInformation) == "0 events written to JSON.");
    const std::string json = JsonText(ReadAll(tmp.Path("e.json")));
    const std::string tail = "\n    ]\n  },\n  \"events\": [\n  ]\n}\n";
    REQUIRE(json.size() >= tail.size());
    CHECK(json.substr(json.size() - tail.size()) == tail);
    const JsonValue doc = ParseJson(json);
    CHECK(doc.Get("events")->items.empty());
    CHECK(Num(doc.Get("rowsRecorded")) == "4");
    CHECK(Num(doc.Get("rowsInThisFile")) == "0");
}

TEST_CASE("Exported JSON is valid and carries every field of the shown rows") {
    ExportFixture f;
    TempFolder tmp;
    BuildSmallRecording(f);
    REQUIRE(ExportJsonToPath(f.app, tmp.Path16("r.json").c_str()));
    const JsonValue doc = ParseJson(JsonText(ReadAll(tmp.Path("r.json"))));

    REQUIRE(doc.kind == JsonValue::Object);
    CHECK(doc.Keys() == std::vector<std::string>{"tool", "target", "started", "stopped",
                                                 "stillRunningWhenSaved", "snapshotTakenAt",
                                                 "windowsBuild", "rowsRecorded", "rowsInThisFile",
                                                 "view", "completeness", "events"});
    CHECK(Str(doc.Get("tool")) == "Olvetta");
    CHECK(Str(doc.Get("target")) == "C:\\Samples\\dropper.exe");
    CHECK(Str(doc.Get("started")) == "2024-03-05 14:07:09.123");
    CHECK(Str(doc.Get("stopped")) == "2024-03-05 14:09:01.456");
    CHECK(doc.Get("stillRunningWhenSaved")->kind == JsonValue::Bool);
    CHECK_FALSE(doc.Get("stillRunningWhenSaved")->boolean);
    CHECK(Str(doc.Get("snapshotTakenAt")).empty());
    CHECK(Str(doc.Get("windowsBuild")) == "10.0.19045");
    CHECK(Num(doc.Get("rowsRecorded")) == "4");
    CHECK(Num(doc.Get("rowsInThisFile")) == "3");
    CHECK(Str(doc.Get("view")) == "This file holds 3 of the 4 rows recorded. The other 1 were "
                                  "hidden by the view when it was written:    Network rows off.  ");

    const JsonValue* completeness = doc.Get("completeness");
    REQUIRE(completeness != nullptr);
    CHECK(completeness->Keys() ==
          std::vector<std::string>{"droppedHere", "eventsLostByWindows", "buffersLostByWindows",
                                   "unreadableRecords", "childrenNotFollowed",
                                   "trackingSlotsRecycled", "fileResultsMissing",
                                   "filesNotIdentified", "registryKeysNotResolved", "notes"});
    CHECK(Num(completeness->Get("droppedHere")) == "2");
    CHECK(Num(completeness->Get("registryKeysNotResolved")) == "1");
    const JsonValue* notes = completeness->Get("notes");
    REQUIRE(notes != nullptr);
    REQUIRE(notes->items.size() == 4);
    CHECK(notes->items[0].text == "2 event(s) arrived faster than they could be taken in.");
    CHECK(notes->items[2].text == "  Key names known while running: 10; after the trace was "
                                  "stopped: 12 (7 keys opened while watching, 5 listed by "
                                  "Windows).");

    const JsonValue* events = doc.Get("events");
    REQUIRE(events != nullptr);
    REQUIRE(events->items.size() == 3);
    const char* severities[] = {"", "Medium", "High"};
    const char* categories[] = {"Process", "File", "Registry"};
    for (size_t i = 0; i < 3; ++i) {
        const JsonValue& e = events->items[i];
        const EventRow& row = f.app->rows[i];
        CAPTURE(i);
        CHECK(e.Keys() == std::vector<std::string>{"time", "severity", "pid", "parentPid",
                                                   "process", "category", "operation", "path",
                                                   "detail", "result", "threat"});
        CHECK(Str(e.Get("severity")) == severities[i]);
        CHECK(Num(e.Get("pid")) == std::to_string(row.pid));
        CHECK(Num(e.Get("parentPid")) == std::to_string(row.parentPid));
        CHECK(Str(e.Get("category")) == categories[i]);
        CHECK(Str(e.Get("process")) == U8(row.process));
        CHECK(Str(e.Get("operation")) == U8(row.operation));
        CHECK(Str(e.Get("path")) == U8(row.path));
        CHECK(Str(e.Get("detail")) == U8(row.detail));
        CHECK(Str(e.Get("result")) == U8(row.result));
        CHECK(Str(e.Get("threat")) == U8(row.threat));
    }
    CHECK(Str(events->items[2].Get("time")) == "2024-12-31 23:59:59.999");
}

TEST_CASE("JSON with no completeness notes has an empty notes array") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.Add(kSmallRows[0]);
    REQUIRE(ExportJsonToPath(f.app, tmp.Path16("n.json").c_str()));
    const std::string json = JsonText(ReadAll(tmp.Path("n.json")));
    CHECK(json.find("\"registryKeysNotResolved\": 0,\n    \"notes\": [\n    ]\n  },") !=
          std::string::npos);
    // The only event is the last one: "}" and LF, no comma.
    CHECK(json.find("\"threat\":\"\"}\n  ]\n}\n") != std::string::npos);
    ParseJson(json);
}

TEST_CASE("AppendJsonString escapes") {
    struct Case {
        const char16_t* in;
        const char* out;
    };
    const Case cases[] = {
        {u"C:\\dir\\file", "\"C:\\\\dir\\\\file\""},
        {u"a\tb\rc\nd", "\"a\\tb\\rc\\nd\""},
        {u"say \"hi\"", "\"say \\\"hi\\\"\""},
        {u"\u0001\u0008\u001b\u001f", "\"\\u0001\\u0008\\u001b\\u001f\""},
        {u"\u007f/\u00e9", "\"\x7F/\xC3\xA9\""},
        {u"", "\"\""},
        {nullptr, "\"\""},
    };
    for (const Case& c : cases) {
        char16_t buf[64] = u"x";
        AppendJsonString(buf, 64, c.in);
        CHECK(U8(buf) == std::string("x") + c.out);
    }
    SUBCASE("a long text is cut silently and still closed") {
        char16_t buf[20] = {};
        AppendJsonString(buf, 20, u"abcdefghijklmnopqrstuvwxyz");
        CHECK(U8(buf) == "\"abcdefghijk\"");
        char16_t esc[16] = {};
        AppendJsonString(esc, 16, u"\u0001\u0002\u0003");
        CHECK(U8(esc) == "\"\\u0001\\u0002\"");
    }
}

TEST_CASE("A recording saved while it runs says so; after Stop it does not") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.app->recordingInfo.stopped = SystemTime{};
    f.app->recording = 1;
    f.Add(kSmallRows[0]);
    SetClockOverride(133542496301234567ll);
    const SystemTime now = LocalNow();
    char16_t nowText[32];
    FormatLongTime(now, nowText, 32);
    REQUIRE(now.year != 0);

    REQUIRE(ExportJsonToPath(f.app, tmp.Path16("run.json").c_str()));
    JsonValue doc = ParseJson(JsonText(ReadAll(tmp.Path("run.json"))));
    CHECK(doc.Get("stillRunningWhenSaved")->boolean);
    CHECK(Str(doc.Get("snapshotTakenAt")) == U8(nowText));
    CHECK(Str(doc.Get("stopped")).empty());
    // The AppState's own block is not marked.
    CHECK((f.app->recordingInfo.flags & stillRunningWhenSaved) == 0);

    REQUIRE(ExportCsvToPath(f.app, tmp.Path16("run.csv").c_str()));
    std::string csv = CsvText(ReadAll(tmp.Path("run.csv")));
    CHECK(csv.find("# Recording started 2024-03-05 14:07:09.123 (local time, UTC+60 minutes); "
                   "still running when saved\r\n# The rows below are those taken in by " +
                   U8(nowText) + ". Anything") != std::string::npos);

    f.app->recording = 0;
    f.app->recordingInfo.stopped = SystemTime{2024, 3, 2, 5, 14, 9, 1, 456};
    REQUIRE(ExportJsonToPath(f.app, tmp.Path16("stopped.json").c_str()));
    doc = ParseJson(JsonText(ReadAll(tmp.Path("stopped.json"))));
    CHECK_FALSE(doc.Get("stillRunningWhenSaved")->boolean);
    CHECK(Str(doc.Get("snapshotTakenAt")).empty());
    REQUIRE(ExportCsvToPath(f.app, tmp.Path16("stopped.csv").c_str()));
    csv = CsvText(ReadAll(tmp.Path("stopped.csv")));
    CHECK(csv.find("# Recording ran from") != std::string::npos);
    CHECK(csv.find("still running") == std::string::npos);
    CHECK(csv.find("taken in by") == std::string::npos);
}

} // namespace olv
