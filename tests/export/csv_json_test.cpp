// CSV and JSON exports: byte-exact files for a small recording (the goldens hold the quoting and
// escaping cases, the header and view lines, the "incomplete" and "nothing missing" forms and a
// file without rows), the JSON read back by a strict reader, and the menu commands with their
// dialogs.
#include "doctest.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "export/json_text.h"
#include "report/completeness.h"
#include "report/summary.h"

namespace olv {

namespace {

// Compares with the golden file; OLV_UPDATE_GOLDEN=1 rewrites it first.
void CheckGolden(const char* name, const Bytes& actual) {
    const auto golden = std::filesystem::path(OLV_SOURCE_DIR) / "tests" / "golden" / name;
    const char* update = std::getenv("OLV_UPDATE_GOLDEN");
    if (update != nullptr && update[0] == '1') WriteAll(golden, actual);
    const Bytes expected = ReadAll(golden);
    INFO("first difference at byte ",
         std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first -
             actual.begin());
    CHECK(actual == expected);
}

bool Has16(const std::u16string& text, const std::u16string& part) {
    return text.find(part) != std::u16string::npos;
}

} // namespace

TEST_CASE("CSV and JSON of a small recording are byte-exact") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    RecordingInfo& info = f.app->recordingInfo;
    info.droppedHere = 2;
    info.registryKeysNotResolved = 1;
    info.keyNamesWhileRunning = 10;
    info.keyNamesAfterStop = 12;
    info.keysNamedByCreate = 7;
    info.keysNamedByRundown = 5;
    info.flags = dnsNotRecorded;
    f.app->view.categoryOn[kCategoryNetwork] = 0;
    f.AddAll();

    REQUIRE(ExportCsvToPath(f.app, tmp.Path16("small.csv").c_str()));
    CHECK(LastMessage(kIconInformation) == "3 events written to CSV.");
    CheckGolden("export_small.csv", ReadAll(tmp.Path("small.csv")));
    REQUIRE(ExportJsonToPath(f.app, tmp.Path16("small.json").c_str()));
    CHECK(LastMessage(kIconInformation) == "3 events written to JSON.");
    const Bytes json = ReadAll(tmp.Path("small.json"));
    CheckGolden("export_small.json", json);
    CHECK(tmp.Names() == std::vector<std::string>{"small.csv", "small.json"});

    std::vector<std::string> strings; // every text of the shown rows reads back whole
    JsonText(json, &strings);
    for (int i = 0; i < 3; ++i) {
        for (RowText which : {kTextPath, kTextDetail}) {
            char16_t text[kPathChars];
            CopyStoredText(f.app, i, which, text, kPathChars);
            CHECK(std::count(strings.begin(), strings.end(), U8(text)) == 1);
        }
    }
}

TEST_CASE("CSV: loaded and recorded texts cannot end a comment line early or break UTF-16") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    RecordingInfo& info = f.app->recordingInfo;
    // A crafted session file: each break would otherwise start a forged data line.
    CopyBounded(info.tool, 64, u"Olvetta\r\n2024-01-01,High,1,x");
    CopyBounded(info.target, 520, u"C:\\a.exe\n\"forged\"\u007f\u0001");
    RowSpec spec = kRows[1];
    spec.operation = u"Read\nfile";
    spec.path = u"C:\\a\xD800"
                u"z\xDC00\xDBFF";     // lone high, lone low, high at the end
    spec.detail = u"\U0001F600 a\tb"; // a pair is kept
    f.Add(spec);
    f.Add(kRows[0]);
    ViewSpec view = f.app->view;
    CopyBounded(view.operation, kOperationNameChars, u"Read\nfile"); // with a line break
    CopyBounded(view.filter, kFilterTextChars + 1, u"a\tb");
    REQUIRE(SetView(f.app, view));

    REQUIRE(ExportCsvToPath(f.app, tmp.Path16("h.csv").c_str()));
    const Bytes file = ReadAll(tmp.Path("h.csv"));
    std::u16string wide; // as written: a lone surrogate must not reach the file
    for (size_t i = 2; i + 1 < file.size(); i += 2)
        wide.push_back(static_cast<char16_t>(file[i] | (file[i + 1] << 8)));
    CHECK(Has16(wide, u",\"C:\\a\xFFFD"
                      u"z\xFFFD\xFFFD\",\"\U0001F600 a\tb\","));
    const std::string csv = CsvText(file);
    const size_t columns = csv.find("Time,Severity,");
    REQUIRE(columns != std::string::npos);
    const std::string head = csv.substr(0, columns);
    CHECK(Has(head, "# Recorded by Olvetta  2024-01-01,High,1,x 1.1\r\n"));
    CHECK(Has(head, "# Program examined: C:\\a.exe \"forged\"  \r\n"));
    CHECK(Has(head, "operation \"Read file\" only, text filter \"a b\""));
    size_t lines = 0;
    for (size_t at = 0; at < head.size(); at = head.find("\r\n", at) + 2, ++lines)
        CHECK(head[at] == '#');
    CHECK(std::count(head.begin(), head.end(), '\n') == static_cast<long>(lines));

    // The summary builds the same header lines.
    char16_t* summary = BuildSummaryText(f.app);
    REQUIRE(summary != nullptr);
    CHECK(Has(U8(summary), "\r\nRecorded by Olvetta  2024-01-01,High,1,x 1.1\r\n"));
    FreeBlock(summary);
}

TEST_CASE("CSV doubles the quotes of narrow and wide texts at every place around a step") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    // Texts of one byte a unit in the store (up to U+00FF) and of two, each of every length
    // around the sixteen units the writer takes at a time, with quotes at several places, the
    // first and the last; in the path, the detail (of another length), and the process name,
    // which the PID column cuts at 63 units.
    std::vector<std::u16string> texts;
    for (const char16_t other : {u'\u00e9', u'\u4e2d'}) {
        for (size_t length = 1; length <= 40; ++length) {
            for (size_t q = 0; q < length; q += 5) {
                std::u16string t(length, u'a');
                t[length / 2] = other;
                t[q] = u'"';
                t[length - 1] = u'"';
                texts.push_back(t);
            }
        }
    }
    texts.push_back(std::u16string(70, u'"'));
    std::vector<RowSpec> specs;
    for (size_t i = 0; i < texts.size(); ++i) {
        RowSpec spec = kRows[1];
        spec.path = texts[i].c_str();
        spec.detail = texts[(i * 7 + 3) % texts.size()].c_str();
        spec.process = texts[(i * 3 + 1) % texts.size()].c_str();
        specs.push_back(spec);
    }
    for (const RowSpec& spec : specs)
        f.Add(spec);
    REQUIRE(ExportCsvToPath(f.app, tmp.Path16("q.csv").c_str()));
    const Bytes file = ReadAll(tmp.Path("q.csv"));
    std::u16string wide;
    for (size_t i = 2; i + 1 < file.size(); i += 2)
        wide.push_back(static_cast<char16_t>(file[i] | (file[i + 1] << 8)));
    auto doubled = [](const std::u16string& t) {
        std::u16string out;
        for (const char16_t c : t) {
            out.push_back(c);
            if (c == u'"') out.push_back(u'"');
        }
        return out;
    };
    size_t at = wide.find(u"Time,Severity,");
    REQUIRE(at != std::u16string::npos);
    for (const RowSpec& spec : specs) {
        at = wide.find(u"\r\n", at) + 2;
        const std::u16string process = std::u16string(spec.process).substr(0, kProcessChars - 1);
        const std::u16string want = u"\"4013 (" + doubled(process) + u")\",\"" + doubled(process) +
                                    u"\",File,\"WriteFile\",\"" + doubled(spec.path) + u"\",\"" +
                                    doubled(spec.detail) + u"\",\"SUCCESS\",";
        const size_t line = wide.find(u"\r\n", at);
        const std::string path = U8(spec.path);
        CAPTURE(path);
        CHECK(wide.substr(at, line - at).find(want) != std::u16string::npos);
    }
}

TEST_CASE("AppendJsonString cuts a long text before capacity - 8 and still closes it") {
    const char16_t* in[] = {u"abcdefghijklmnopqrstuvwxyz", u"\u0001\u0002\u0003", nullptr};
    const size_t capacity[] = {20, 17, 32};
    const char* out[] = {"x\"abcdefghij\"", "x\"\\u0001\\u0002\"", "x\"\""};
    for (int i = 0; i < 3; ++i) {
        char16_t buf[32] = u"x";
        AppendJsonString(buf, capacity[i], in[i]);
        CHECK(U8(buf) == out[i]);
    }
}

TEST_CASE("Menu commands show their dialog, then write or read the chosen file") {
    struct Case {
        void (*command)(Recording*);
        std::u16string filter;
        const char* extension;
        uint32_t flags;
        const char* file;
        const char* success;
    };
    const std::u16string sessions(u"Olvetta Session (*.ols)\0*.ols\0\0", 31);
    // Saving offers the compact form as a second type.
    const std::u16string saveSessions(
        u"Olvetta Session (*.ols)\0*.ols\0Olvetta Compact Session (*.ols)\0*.ols\0\0", 69);
    const Case cases[] = {
        {ExportCsv, std::u16string(u"CSV (*.csv)\0*.csv\0Text (*.txt)\0*.txt\0\0", 38), "csv",
         kOfnOverwritePrompt, "a.csv", "1 events written to CSV."},
        {ExportJson, std::u16string(u"JSON (*.json)\0*.json\0\0", 22), "json", kOfnOverwritePrompt,
         "a.json", "1 events written to JSON."},
        {SaveSession, saveSessions, "ols", kOfnOverwritePrompt, "a.ols", "1 events saved."},
        {OpenSession, sessions, "", kOfnPathMustExist | kOfnFileMustExist, "a.ols", nullptr},
    };
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.Add(kRows[0]);
    for (const Case& c : cases) {
        INFO(std::string(c.extension));
        HeadlessQueueDialogCancel(); // a cancelled dialog does nothing
        c.command(f.app);
        HeadlessQueueDialogPath(tmp.Path16(c.file).c_str());
        c.command(f.app);
        const HeadlessDialog& d = HeadlessModel()->lastDialog;
        CHECK(d.save == (c.success != nullptr ? 1 : 0));
        CHECK(d.owned == 1);
        CHECK(d.flags == c.flags);
        CHECK(std::u16string(d.filter, c.filter.size()) == c.filter);
        CHECK(U8(d.defaultExtension) == c.extension);
        CHECK(U8(d.initialPath).empty());
        if (c.success != nullptr) CHECK(LastMessage(kIconInformation) == c.success);
    }
    CHECK(HeadlessModel()->dialogCount == 8);
    CHECK(f.Messages() == 3); // a complete session opens without a message
    CHECK(f.app->rowCount == 1);
    CHECK(tmp.Names() == std::vector<std::string>{"a.csv", "a.json", "a.ols"});

    f.app->recording = 1; // Open Session while recording: refused before any dialog
    OpenSession(f.app);
    f.app->recording = 0;
    CHECK(HeadlessModel()->dialogCount == 8);
    CHECK(LastMessage(kIconWarning) == "Stop monitoring before opening a session.");
}

} // namespace olv
