// The facts of a row in the JSON document's "fields", as JSON Lines writes them.
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>

#include "app/file_commands.h"
#include "export/export_fixture.h"
#include "export/exports.h"
#include "record/row_kind.h"
#include "record/stored_rows.h"

namespace olv {

namespace {

int32_t AddKind(ExportFixture& f, RowKind kind, uint32_t n) {
    EventRow row = MakeRow(kRows[n % 4]);
    row.category = RowKindCategory(kind);
    std::memset(row.operation, 0, sizeof row.operation);
    CopyBounded(row.operation, kOperationChars, RowKindOperation(kind));
    AppendRow(f.app, &row);
    return f.app->rowCount - 1;
}

nlohmann::json Document(const TempFolder& folder, const std::string& name) {
    const Bytes bytes = ReadAll(folder.Path(name));
    return nlohmann::json::parse(std::string(bytes.begin() + 3, bytes.end()));
}

std::vector<nlohmann::json> Lines(const TempFolder& folder, const std::string& name) {
    const Bytes bytes = ReadAll(folder.Path(name));
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(nlohmann::json::parse(line));
    return lines;
}

} // namespace

TEST_CASE_FIXTURE(ExportFixture, "JSON: a row's known facts in its fields, named as JSON Lines names them") {
    Finished();
    const int32_t other = AddKind(*this, RowKind::Other, 0);
    const int32_t load = AddKind(*this, RowKind::LoadedDll, 2);
    const int32_t write = AddKind(*this, RowKind::WroteRegistryValue, 3);
    const int32_t bare = AddKind(*this, RowKind::LoadedDll, 1);
    RowFactTexts image{};
    image.known = (1u << kFactOriginalFileName) | (1u << kFactDescription) | (1u << kFactHashes) |
                  (1u << kFactSigned) | (1u << kFactSignature);
    image.text[kFactOriginalFileName] = u"Cmd.Exe \"x\"\t\u00e9";
    image.text[kFactDescription] = nullptr; // known, empty: no value to write
    image.text[kFactHashes] = u"SHA1=AB,MD5=CD,SHA256=EF,IMPHASH=01";
    image.text[kFactSigned] = u"false";
    image.text[kFactSignature] = u"";
    REQUIRE(SetStoredFacts(app, load, image));
    RowFactTexts details{};
    details.known = 1u << kFactDetails;
    details.text[kFactDetails] = u"DWORD (0x00000001)";
    REQUIRE(SetStoredFacts(app, write, details));
    RowFactTexts unknown{}; // a record whose facts are all unknown: nothing to write
    unknown.known = 1u << kFactMd5;
    unknown.text[kFactMd5] = u"";
    REQUIRE(SetStoredFacts(app, bare, unknown));

    TempFolder folder;
    REQUIRE(ExportJsonToPath(app, folder.Path16("f.json").c_str()));
    REQUIRE(ExportJsonLinesToPath(app, folder.Path16("f.jsonl").c_str()));
    const nlohmann::json doc = Document(folder, "f.json");
    const std::vector<nlohmann::json> lines = Lines(folder, "f.jsonl");
    REQUIRE(doc["events"].size() == 4);
    REQUIRE(lines.size() == 6);
    const nlohmann::json& events = doc["events"];

    CHECK(events[load]["fields"] ==
          nlohmann::json{{"OriginalFileName", "Cmd.Exe \"x\"\t\u00e9"},
                         {"Hashes", "SHA1=AB,MD5=CD,SHA256=EF,IMPHASH=01"},
                         {"Signed", "false"}});
    CHECK(events[write]["fields"] == nlohmann::json{{"Details", "DWORD (0x00000001)"}});
    // Each fact the document writes is what the JSON Lines view of the row holds.
    for (const int32_t row : {load, write}) {
        const nlohmann::json& viewed = lines[size_t(row) + 1]["fields"];
        for (const auto& item : events[row]["fields"].items()) {
            const std::string name = item.key();
            CAPTURE(name);
            CHECK((viewed.contains(name) && viewed[name] == item.value()));
        }
    }
    // Rows without known facts are as they were: no member at all.
    CHECK_FALSE(events[other].contains("fields"));
    CHECK_FALSE(events[bare].contains("fields")); // known but empty: no value
    CHECK_FALSE(lines[size_t(bare) + 1]["fields"].contains("md5"));
}

TEST_CASE_FIXTURE(ExportFixture, "JSON: facts that would overflow a line are left out and counted") {
    Finished();
    EventRow row = MakeRow(kRows[0]);
    row.category = RowKindCategory(RowKind::StartedChildProcess);
    std::memset(row.operation, 0, sizeof row.operation);
    CopyBounded(row.operation, kOperationChars, RowKindOperation(RowKind::StartedChildProcess));
    // Every character of the path takes six in the file.
    for (size_t i = 0; i + 1 < kPathChars; ++i)
        row.path[i] = u'\x01';
    AppendRow(app, &row);
    const std::u16string heavy(kFactChars - 1, u'\x02');
    RowFactTexts facts{};
    const RowFact longOnes[] = {kFactOriginalFileName, kFactDescription, kFactProduct,
                                kFactCompany, kFactSignature, kFactUser};
    for (RowFact f : longOnes) {
        facts.known |= 1u << f;
        facts.text[f] = heavy.c_str();
    }
    facts.known |= 1u << kFactSigned;
    facts.text[kFactSigned] = u"true";
    REQUIRE(SetStoredFacts(app, 0, facts));

    TempFolder folder;
    REQUIRE(ExportJsonToPath(app, folder.Path16("big.json").c_str()));
    const nlohmann::json event = Document(folder, "big.json")["events"][0];
    REQUIRE(event.contains("fields"));
    const nlohmann::json& fields = event["fields"];
    const size_t written = fields.size();
    CHECK(written >= 1);
    CHECK(written < 7);
    CHECK(event["factsLeftOut"] == 7 - written);
    // What is written is whole: a fact is left out, never cut.
    for (const auto& item : fields.items()) {
        const std::string name = item.key();
        CAPTURE(name);
        const std::string text = item.value();
        CHECK((text == "true" || text.size() == kFactChars - 1));
    }
}

} // namespace olv
