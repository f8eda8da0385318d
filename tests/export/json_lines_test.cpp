// The JSON Lines export: one object per line, in order (recording, events, end), each line valid
// JSON; the same rows as the JSON export; complete or absent.
#include <nlohmann/json.hpp>

#include <sstream>
#include <utility>

#include "app/view_controls.h"
#include "export/chunk_writer.h"
#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "platform/files.h"
#include "sigma/sigma.h"
#include "sigma/sigma_view.h"
#include "support/test_random.h"
#include "record/row_kind.h"
#include "record/stored_rows.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"

namespace olv {

namespace {

std::vector<nlohmann::json> Lines(const Bytes& file) {
    std::vector<nlohmann::json> lines;
    std::string text(file.begin(), file.end());
    CHECK(text.find('\r') == std::string::npos);
    REQUIRE(!text.empty());
    CHECK(text.back() == '\n');
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        INFO(line);
        lines.push_back(nlohmann::json::parse(line)); // throws on a broken line: the test fails
    }
    return lines;
}

const char kRule[] = R"(title: Library written into Roaming
id: 22222222-0000-0000-0000-000000000001
level: high
logsource: {product: windows, category: file_event}
detection:
    selection:
        TargetFilename|endswith: '\payload.dll'
    condition: selection
)";

const char kCriticalRule[] = R"(title: Anything written into Roaming
id: 22222222-0000-0000-0000-000000000002
level: critical
logsource: {product: windows, category: file_event}
detection:
    selection:
        TargetFilename|contains: '\Roaming\'
    condition: selection
)";

} // namespace

// The severity column has three levels (critical and high are both "High"); the files name the
// most severe level of each event's Sigma matches, whichever rule comes first.
TEST_CASE_FIXTURE(ExportFixture, "JSON and JSON Lines keep critical apart from high per event") {
    Finished();
    AddAll(1, u"Wrote to file");
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    REQUIRE(AddSigmaRuleText(set, kRule, sizeof kRule - 1, u"a.yml"));
    REQUIRE(AddSigmaRuleText(set, kCriticalRule, sizeof kCriticalRule - 1, u"b.yml"));
    REQUIRE(InstallSigmaRules(app, set));
    TempFolder folder;
    REQUIRE(ExportJsonLinesToPath(app, folder.Path16("levels.jsonl").c_str()));
    const std::vector<nlohmann::json> lines = Lines(ReadAll(folder.Path("levels.jsonl")));
    REQUIRE(lines.size() == 6);
    CHECK(lines[2]["severity"] == "High");
    CHECK(lines[2]["sigma"].size() == 2);
    CHECK(lines[2]["sigmaLevel"] == "critical");
    for (size_t i : {1u, 3u, 4u}) CHECK_FALSE(lines[i].contains("sigmaLevel"));

    REQUIRE(ExportJsonToPath(app, folder.Path16("levels.json").c_str()));
    const Bytes bytes = ReadAll(folder.Path("levels.json"));
    const nlohmann::json json = nlohmann::json::parse(std::string(bytes.begin(), bytes.end()));
    REQUIRE(json["events"].size() == 4);
    CHECK(json["events"][1]["sigmaLevel"] == "critical");
    CHECK_FALSE(json["events"][0].contains("sigmaLevel"));

    // The high rule alone: "high".
    SigmaRuleSet* high = NewSigmaRuleSet();
    REQUIRE(high != nullptr);
    REQUIRE(AddSigmaRuleText(high, kRule, sizeof kRule - 1, u"a.yml"));
    REQUIRE(InstallSigmaRules(app, high));
    REQUIRE(ExportJsonLinesToPath(app, folder.Path16("high.jsonl").c_str()));
    CHECK(Lines(ReadAll(folder.Path("high.jsonl")))[2]["sigmaLevel"] == "high");
}

TEST_CASE_FIXTURE(ExportFixture, "JSON Lines: recording, one event per shown row, end") {
    Finished();
    // The file row becomes a file_event once it is a first write by its process.
    AddAll(1, u"Wrote to file");
    TempFolder folder;
    REQUIRE(ExportJsonLinesToPath(app, folder.Path16("out.jsonl").c_str()));
    CHECK(LastMessage(kIconInformation) == "4 events written to JSON Lines.");
    const Bytes file = ReadAll(folder.Path("out.jsonl"));
    REQUIRE(file.size() > 3);
    CHECK_FALSE((file[0] == 0xEF && file[1] == 0xBB)); // no byte order mark
    const std::vector<nlohmann::json> lines = Lines(file);
    REQUIRE(lines.size() == 6);
    CHECK(lines[0]["kind"] == "recording");
    CHECK(lines[0]["target"] == "C:\\Samples\\dropper.exe");
    CHECK(lines[0]["rowsInThisFile"] == 4);
    CHECK(lines[0].contains("completeness"));
    CHECK_FALSE(lines[0].contains("rules"));
    for (size_t i = 1; i <= 4; ++i) {
        CHECK(lines[i]["kind"] == "event");
        CHECK(lines[i].contains("categories"));
        CHECK(lines[i].contains("fields"));
        CHECK_FALSE(lines[i].contains("sigma"));
    }
    CHECK(lines[2]["path"] == "C:\\Users\\an\\AppData\\Roaming\\payload.dll");
    CHECK(lines[2]["categories"] == nlohmann::json::array({"file_event"}));
    CHECK(lines[2]["fields"]["TargetFilename"] == "C:\\Users\\an\\AppData\\Roaming\\payload.dll");
    CHECK(lines[2]["fields"]["ProcessId"] == "4013");
    CHECK(lines[1]["categories"].empty()); // "Process Start" is no process start row
    CHECK(lines[5] == nlohmann::json{{"kind", "end"}, {"events", 4}});

    // With rules: "rules" in the first line, "sigma" on the row that matched.
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    REQUIRE(AddSigmaRuleText(set, kRule, sizeof kRule - 1, u"rule.yml"));
    REQUIRE(InstallSigmaRules(app, set));
    REQUIRE(ExportJsonLinesToPath(app, folder.Path16("rules.jsonl").c_str()));
    const std::vector<nlohmann::json> withRules = Lines(ReadAll(folder.Path("rules.jsonl")));
    REQUIRE(withRules.size() == 6);
    CHECK(withRules[0]["rules"]["loaded"] == 1);
    CHECK(withRules[0]["rules"]["refusedByReason"].empty());
    REQUIRE(withRules[2].contains("sigma"));
    CHECK(withRules[2]["sigma"][0]["title"] == "Library written into Roaming");
    CHECK(withRules[2]["sigma"][0]["level"] == "high");
    CHECK(withRules[2]["sigma"][0]["id"] == "22222222-0000-0000-0000-000000000001");
    CHECK_FALSE(withRules[3].contains("sigma"));
    CHECK_FALSE(withRules[0]["rules"].contains("partial"));
    // The dropper's process started before the recording: its path, command line and family
    // were never learned.
    CHECK(withRules[2]["unknownFields"] ==
          nlohmann::json::array(
              {"Image", "CommandLine", "ParentImage", "ParentCommandLine", "GrandParentImage"}));
    CHECK_FALSE(withRules[1].contains("unknownFields")); // a row of no category

    // A rule undecided on that row (its filter tests the Image the row could not learn) is a
    // possible match in both files; a partial rule is listed in both heads with its fields.
    const std::string possible = std::string(kRule).replace(std::string(kRule).find("    condition: selection"),
        std::string::npos, "    filter:\n        Image|endswith: '\\explorer.exe'\n    condition: selection and not filter\n");
    const char partial[] = "title: By original name\nid: p1\nlevel: low\nlogsource: {product: windows, category: "
                           "process_creation}\ndetection:\n    selection:\n        - TerminalSessionId: 7\n"
                           "        - Image|endswith: '\\a.exe'\n    condition: selection\n";
    set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    REQUIRE(AddSigmaRuleText(set, possible.data(), possible.size(), u"possible.yml"));
    REQUIRE(AddSigmaRuleText(set, partial, sizeof partial - 1, u"partial.yml"));
    REQUIRE(InstallSigmaRules(app, set));
    REQUIRE(ExportJsonLinesToPath(app, folder.Path16("possible.jsonl").c_str()));
    REQUIRE(ExportJsonToPath(app, folder.Path16("possible.json").c_str()));
    const std::vector<nlohmann::json> possibleLines = Lines(ReadAll(folder.Path("possible.jsonl")));
    const Bytes document = ReadAll(folder.Path("possible.json"));
    const nlohmann::json json = nlohmann::json::parse(std::string(document.begin() + 3, document.end()));
    const nlohmann::json expected = nlohmann::json::array(
        {{{"id", "22222222-0000-0000-0000-000000000001"}, {"title", "Library written into Roaming"}, {"level", "high"}}});
    CHECK_FALSE(possibleLines[2].contains("sigma"));
    CHECK(possibleLines[2]["sigmaPossible"] == expected);
    CHECK_FALSE(possibleLines[3].contains("sigmaPossible"));
    const nlohmann::json partialRules = nlohmann::json::array(
        {{{"id", "p1"}, {"title", "By original name"}, {"fields", "TerminalSessionId"}}});
    for (const nlohmann::json& rules : {possibleLines[0]["rules"], json["rules"]}) {
        CHECK(rules["partial"] == 1);
        CHECK(rules["partialRules"] == partialRules);
        CHECK(rules["partialRulesLeftOut"] == 0);
    }
    bool listed = false;
    for (const nlohmann::json& event : json["events"]) {
        if (event["path"] != "C:\\Users\\an\\AppData\\Roaming\\payload.dll") continue;
        CHECK(event["sigmaPossible"] == expected);
        CHECK_FALSE(event.contains("sigma"));
        listed = true;
    }
    CHECK(listed);
}

TEST_CASE_FIXTURE(ExportFixture, "JSON and JSON Lines heads list refused files, bounded, with the count left out") {
    Finished();
    AddAll();
    TempFolder folder;
    // Short names: the first 100 are listed. Long names full of characters to escape: as many as
    // the head has room for. Either way each is whole, and none is lost without being counted.
    for (const size_t nameChars : {size_t{8}, size_t{500}}) {
        CAPTURE(nameChars);
        SigmaRuleSet* set = NewSigmaRuleSet();
        REQUIRE(set != nullptr);
        REQUIRE(AddSigmaRuleText(set, kRule, sizeof kRule - 1, u"rule.yml"));
        const std::string broken = "title: x\ndetection: {sel: {Image: a}, condition: nothing}\n"
                                   "logsource: {category: process_creation}\n";
        // A file in a sub-folder is named with '/' whatever the system's separator.
        const std::u16string sub = std::u16string(u"sub") + kPathSeparator + u"first.yml";
        REQUIRE_FALSE(AddSigmaRuleText(set, broken.data(), broken.size(), sub.c_str()));
        for (int i = 1; i < 150; ++i) {
            std::u16string name = std::u16string(nameChars, u'"') + static_cast<char16_t>(u'a' + i % 26);
            name += u".yml";
            REQUIRE_FALSE(AddSigmaRuleText(set, broken.data(), broken.size(), name.c_str()));
        }
        REQUIRE(InstallSigmaRules(app, set));
        const std::string stem = "refused" + std::to_string(nameChars);
        REQUIRE(ExportJsonLinesToPath(app, folder.Path16(stem + ".jsonl").c_str()));
        REQUIRE(ExportJsonToPath(app, folder.Path16(stem + ".json").c_str()));
        const Bytes document = ReadAll(folder.Path(stem + ".json"));
        const std::string text(document.begin() + 3, document.end()); // after the byte order mark
        const nlohmann::json heads[] = {Lines(ReadAll(folder.Path(stem + ".jsonl")))[0]["rules"],
                                        nlohmann::json::parse(text)["rules"]};
        for (const nlohmann::json& rules : heads) {
            CHECK(rules["refused"] == 150);
            const nlohmann::json& files = rules["refusedFiles"];
            REQUIRE(files.is_array());
            CHECK(files.size() + rules["refusedFilesLeftOut"].get<size_t>() == 150);
            if (nameChars == 8) CHECK(files.size() == 100);
            else CHECK((files.size() >= 5 && files.size() < 100));
            REQUIRE(!files.empty());
            REQUIRE(files.size() >= 2);
            CHECK(files[0]["file"] == "sub/first.yml");
            CHECK(files[0]["reason"] == "syntax");
            CHECK(files[0]["detail"] == "line 2: condition: unknown search identifier nothing");
            CHECK(files[1]["file"] == std::string(nameChars, '"') + "b.yml");
            CHECK(files[files.size() - 1]["reason"] == "syntax");
        }
    }
}

// The writer learns the field view a chunk at a time, with the table keys of rows made ahead of
// their turn: every event's categories and fields must be what one context learning the rows one
// by one gives, whatever the chunking. Few processes, paths and endpoint pairs, so that first
// writes and first pairs are followed by repeats, in the same chunk and in later ones.
TEST_CASE_FIXTURE(ExportFixture, "JSON Lines: every event's view is the one learned row by row") {
    Finished();
    struct Kind {
        uint32_t category;
        const char16_t* operation;
        const char16_t* paths[3];
    };
    static const Kind kKinds[] = {
        {kCategoryFile, u"Wrote to file", {u"C:\\a\\one.dll", u"C:\\a\\two.dll", u"C:\\b.txt"}},
        {kCategoryNetwork,
         u"Sent data (TCP)",
         {u"10.0.0.1:5000 -> 10.0.0.2:443", u"10.0.0.1:5001 -> 10.0.0.2:443",
          u"[fe80::1]:7 -> [fe80::2]:80"}},
        {kCategoryNetwork,
         u"Received data (UDP)",
         {u"10.0.0.1:53 -> 10.0.0.9:53", u"10.0.0.1:54 -> 10.0.0.9:53", u"10.0.0.1:53 -> 10.0.0.8:53"}},
        {kCategoryFile, u"Read file", {u"C:\\a\\one.dll", u"C:\\c.txt", u"C:\\b.txt"}},
        {kCategoryNetwork, u"DNS answer", {u"x.example", u"y.example", u"z.example"}},
    };
    TestRandom r{2024};
    for (int i = 0; i < 700; ++i) {
        const Kind& kind = kKinds[r.Below(5)];
        EventRow row{};
        row.time = SystemTime{2024, 4, 2, 2, 14, 5, static_cast<uint16_t>(i % 60), 0};
        row.category = kind.category;
        row.pid = 1000 + r.Below(3) * 4;
        CopyBounded(row.operation, kOperationChars, kind.operation);
        CopyBounded(row.path, kPathChars, kind.paths[r.Below(3)]);
        CopyBounded(row.detail, kDetailChars, r.Below(2) == 0 ? u"A \u2192 10.0.0.2" : u"A \u2192 10.0.0.9");
        CopyBounded(row.result, kResultChars, u"OK");
        CopyBounded(row.process, kProcessChars, u"q.exe");
        AppendRow(app, &row);
    }
    // What one context learns from the rows in order.
    std::vector<nlohmann::json> expected;
    {
        SigmaViewContext* context = NewSigmaViewContext();
        auto* buffer = new SigmaViewBuffer{};
        REQUIRE(context != nullptr);
        SetSigmaRecorderImage(context, SigmaRecorderImageOf(app));
        for (int32_t i = 0; i < app->rowCount; ++i) {
            nlohmann::json view{{"categories", nlohmann::json::array()},
                                {"fields", nlohmann::json::object()}};
            if (LearnSigmaRow(context, StoredTexts(app), StoredRecord(app, i), i, buffer) ==
                kSigmaViewReady) {
                for (uint32_t c = 0; c < kSigmaCategoryCount; ++c) {
                    if ((buffer->view.categories & (1u << c)) != 0) {
                        view["categories"].push_back(SigmaCategoryName(c));
                    }
                }
                for (uint32_t f = 0; f < kSigmaFieldCount && buffer->view.categories != 0; ++f) {
                    const SigmaText& text = buffer->view.fields[f];
                    if (text.text == nullptr || text.length == 0) continue;
                    const std::u16string field(text.text, text.length);
                    view["fields"][SigmaFieldName(f)] = U8(field.c_str());
                }
                for (uint32_t f = 0; f < kSigmaFieldCount && buffer->view.categories != 0; ++f) {
                    if ((ListedUnknownFields(*buffer) & SigmaFieldBit(f)) != 0)
                        view["unknownFields"].push_back(SigmaFieldName(f));
                }
            }
            expected.push_back(view);
        }
        delete buffer;
        FreeSigmaViewContext(context);
    }
    TempFolder folder;
    const int32_t chunkings[][2] = {{0, 0}, {2, 7}, {2, 64}, {1, 100}};
    for (const auto& chunking : chunkings) {
        CAPTURE(chunking[0]);
        CAPTURE(chunking[1]);
        SetExportChunking(chunking[0], chunking[1], 0);
        const bool written = ExportJsonLinesToPath(app, folder.Path16("views.jsonl").c_str());
        SetExportChunking(0, 0, 0);
        REQUIRE(written);
        const std::vector<nlohmann::json> lines = Lines(ReadAll(folder.Path("views.jsonl")));
        REQUIRE(lines.size() == expected.size() + 2);
        int firsts = 0;
        for (size_t i = 0; i < expected.size(); ++i) {
            CAPTURE(i);
            CHECK(lines[i + 1]["categories"] == expected[i]["categories"]);
            CHECK(lines[i + 1]["fields"] == expected[i]["fields"]);
            CHECK(lines[i + 1].value("unknownFields", nlohmann::json()) == expected[i].value("unknownFields", nlohmann::json()));
            firsts += expected[i]["categories"].empty() ? 0 : 1;
        }
        CHECK(firsts > 20); // the rows hold first writes, first pairs and answers
        CHECK(firsts < 400); // and repeats that have no view
    }
    // The network rows hidden: they are still learned on the way to each shown row, so every
    // shown row keeps the view it has in the whole recording.
    HeadlessSetCheck(kIdNetworkCheck, kUnchecked);
    ViewControlChanged(app, kIdNetworkCheck);
    REQUIRE((app->shownCount > 100 && app->shownCount < 500));
    for (const auto& chunking : {std::pair{2, 7}, std::pair{1, 5}, std::pair{2, 64}}) {
        CAPTURE(chunking.second);
        SetExportChunking(chunking.first, chunking.second, 0);
        const bool written = ExportJsonLinesToPath(app, folder.Path16("shown.jsonl").c_str());
        SetExportChunking(0, 0, 0);
        REQUIRE(written);
        const std::vector<nlohmann::json> lines = Lines(ReadAll(folder.Path("shown.jsonl")));
        REQUIRE(lines.size() == static_cast<size_t>(app->shownCount) + 2);
        for (int32_t s = 0; s < app->shownCount; ++s) {
            CAPTURE(s);
            const nlohmann::json& want = expected[static_cast<size_t>(app->shownRows[s])];
            CHECK(lines[static_cast<size_t>(s) + 1]["categories"] == want["categories"]);
            CHECK(lines[static_cast<size_t>(s) + 1]["fields"] == want["fields"]);
        }
    }
}

TEST_CASE_FIXTURE(ExportFixture, "JSON Lines: a failed write leaves the target as it was") {
    Finished();
    AddAll();
    TempFolder folder;
    WriteAll(folder.Path("out.jsonl"), BytesOf("old"));
    for (int64_t nth = 1; nth <= 8; ++nth) {
        CAPTURE(nth);
        FailNthFileWrite(nth);
        const bool written = ExportJsonLinesToPath(app, folder.Path16("out.jsonl").c_str());
        const bool pending = FileFaultPending();
        ResetFileFaults();
        if (pending) {
            CHECK(written);
            break;
        }
        CHECK_FALSE(written);
        CHECK(ReadAll(folder.Path("out.jsonl")) == BytesOf("old"));
        CHECK(folder.Names() == std::vector<std::string>{"out.jsonl"});
    }
}

} // namespace olv

namespace olv {

namespace {

// UTF-8 of UTF-16 units as the writers convert them: a pair is one character, any other
// surrogate U+FFFD.
std::string Utf8Of(const std::u16string& text) {
    std::string out;
    auto put = [&out](uint32_t c) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            put(0x10000 + ((uint32_t{c} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else {
            put(c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c);
        }
    }
    return out;
}

} // namespace

TEST_CASE_FIXTURE(ExportFixture, "JSON and JSON Lines write a script row's whole text exactly, "
                                 "hostile units and pairs across the writer's pieces included") {
    Finished();
    AddAll();
    EventRow row = MakeRow(kRows[0]);
    std::memset(row.operation, 0, sizeof row.operation);
    CopyBounded(row.operation, kOperationChars, RowKindOperation(RowKind::RanScriptBlock));
    AppendRow(app, &row);
    const int32_t script = app->rowCount - 1;
    // 20,000 units: quotes, a backslash, controls, a zero unit, a pair across the first piece's
    // end (units 4095 and 4096), lone halves of pairs, and a high half as the last unit.
    std::u16string text;
    for (size_t i = 0; i < 20000; ++i)
        text.push_back(static_cast<char16_t>(u'a' + i % 26));
    text[10] = u'"';
    text[11] = u'\\';
    text[12] = 0x01;
    text[13] = 0;
    text[14] = u'\n';
    text[15] = 0x7F;
    text[4095] = 0xD83D;
    text[4096] = 0xDE00;
    text[9000] = 0xDC00;
    text[12000] = 0xD800;
    text[15000] = 0x4E2D;
    text[19999] = 0xDBFF;
    uint32_t id = 0;
    REQUIRE(InternText(&app->rowTexts, text.data(), text.size(), &id));
    app->rows[script].path = id;
    RebuildShownRows(app);
    REQUIRE(app->shownCount == 5);

    TempFolder folder;
    REQUIRE(ExportJsonLinesToPath(app, folder.Path16("out.jsonl").c_str()));
    const std::vector<nlohmann::json> lines = Lines(ReadAll(folder.Path("out.jsonl")));
    REQUIRE(lines.size() == 7);
    CHECK(lines[5]["text"].get<std::string>() == Utf8Of(text));
    // The path is the start the row's field holds, the zero unit within it written as such.
    CHECK(lines[5]["path"].get<std::string>() == Utf8Of(text.substr(0, kPathChars - 1)));
    CHECK_FALSE(lines[4].contains("text")); // only a row whose text passes its field
    CHECK(lines[6]["events"] == 5);

    REQUIRE(ExportJsonToPath(app, folder.Path16("out.json").c_str()));
    const Bytes file = ReadAll(folder.Path("out.json"));
    const nlohmann::json document = nlohmann::json::parse(std::string(file.begin(), file.end()));
    const nlohmann::json& events = document["events"];
    REQUIRE(events.size() == 5);
    CHECK(events[4]["text"].get<std::string>() == Utf8Of(text));
    CHECK_FALSE(events[3].contains("text"));
}

} // namespace olv
