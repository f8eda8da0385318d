// The JSON Lines export: one object per line, in order (recording, events, end), each line valid
// JSON; the same rows as the JSON export; complete or absent.
#include <nlohmann/json.hpp>

#include <sstream>

#include "export/export_fixture.h"
#include "export/exports.h"
#include "sigma/sigma.h"
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

} // namespace

TEST_CASE_FIXTURE(ExportFixture, "JSON Lines: recording, one event per shown row, end") {
    Finished();
    AddAll();
    // The file row becomes a file_event once it is a first write by its process.
    CopyBounded(app->rows[1].operation, kOperationChars, u"Wrote to file");
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
