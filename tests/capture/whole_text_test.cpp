// A script block far longer than a row's path field, from the trace session's parts to every
// output that keeps it whole: the store, the details window, the Sigma view, JSON, JSON Lines and
// the compact session.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture_fixture.h"
#include "export/exports.h"
#include "record/stored_rows.h"
#include "report/completeness.h"
#include "sigma/sigma_view.h"
#include "views/row_details.h"
#include "views/row_store.h"

using namespace olv;

namespace {

// Lines that name where they start, so that a part out of place or lost shows.
std::u16string NumberedLines(size_t n) {
    std::u16string text;
    while (text.size() < n) {
        char line[40];
        std::snprintf(line, sizeof line, "$v%zu = 'x';\n", text.size());
        for (const char* c = line; *c != 0; ++c)
            text.push_back(static_cast<char16_t>(*c));
    }
    text.resize(n);
    return text;
}

// The block as the PowerShell provider delivers it: parts of partUnits units, in order.
struct BlockParts {
    std::u16string text;
    uint32_t parts;
    size_t partUnits;
    std::u16string part; // the part being delivered (the producer runs on the consumer thread)

    static bool Produce(void* context, uint32_t index, SimEvent* e, bool* fault) {
        auto* s = static_cast<BlockParts*>(context);
        if (index >= s->parts) return false;
        *fault = false;
        BeginSimEvent(e, kPowerShellProvider, 15, 4104, kTargetPid, 9, kScriptStart + index);
        AddSimU32(e, u"MessageNumber", index + 1);
        AddSimU32(e, u"MessageTotal", s->parts);
        s->part = s->text.substr(index * s->partUnits, s->partUnits);
        AddSimWideString(e, u"ScriptBlockText", s->part.c_str());
        AddSimWideString(e, u"ScriptBlockId", u"{whole}");
        AddSimWideString(e, u"Path", u"C:\\s\\big.ps1");
        return true;
    }
};

std::u16string WholePath(const Recording* app, int32_t index) {
    const TextView view = StoredWholePath(app, index);
    std::u16string text(view.length, 0);
    CopyTextUnits(view, text.data());
    return text;
}

int32_t FindKind(const Recording* app, RowKind kind) {
    for (int32_t i = 0; i < app->rowCount; ++i)
        if (StoredKind(app, i) == kind) return i;
    return -1;
}

std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The text as a JSON member of ASCII text with line ends.
std::string JsonMember(const std::u16string& text) {
    std::string json = ",\"text\":\"";
    for (char16_t c : text) {
        if (c == u'\n') {
            json += "\\n";
        } else {
            json.push_back(static_cast<char>(c));
        }
    }
    return json + "\"";
}

} // namespace

TEST_CASE_FIXTURE(CaptureFixture, "a script block of 100,000 characters in twenty parts reaches "
                                  "every output whole") {
    BlockParts block{NumberedLines(100000), 20, 5000, {}};
    SimTraceSetEvents(kDnsName, BlockParts::Produce, &block);
    REQUIRE(Start());
    REQUIRE(SimTraceWaitDelivered(kDnsName, 20));
    StopTraceSessions(tc);
    CHECK(DrainEventQueue(app) == 0);
    const int32_t row = FindKind(app, RowKind::RanScriptBlock);
    REQUIRE(row >= 0);
    CHECK(WholePath(app, row) == block.text);
    CHECK(AtomicLoad(app->textsCutHere) == 0);
    // The path field, the list's cell and the older files, keeps the start.
    EventRow cell;
    ReadStoredRow(app, row, &cell);
    CHECK(std::u16string(cell.path) == block.text.substr(0, kPathChars - 1));

    int32_t item = -1;
    for (int32_t s = 0; s < app->shownCount; ++s)
        if (app->shownRows[s] == row) item = s;
    REQUIRE(item >= 0);
    std::vector<char16_t> details(RowDetailsChars(app, item));
    REQUIRE(BuildRowDetails(app, item, details.data(), details.size()));
    const std::u16string shown(details.data());
    std::u16string lines; // the window's text box breaks lines at CR LF only
    for (char16_t c : block.text) {
        if (c == u'\n') lines.push_back(u'\r');
        lines.push_back(c);
    }
    CHECK(shown.find(u"Text (100000 characters):\r\n" + lines + u"\r\n") != std::u16string::npos);

    // The rules see the whole block.
    SigmaViewContext* context = NewSigmaViewContext();
    REQUIRE(context != nullptr);
    SigmaViewBuffer* buffer = AllocRecord<SigmaViewBuffer>();
    REQUIRE(buffer != nullptr);
    REQUIRE(LearnSigmaRow(context, StoredTexts(app), StoredRecord(app, row), row, buffer) ==
            kSigmaViewReady);
    const SigmaText field = buffer->view.fields[kSigmaScriptBlockText];
    CHECK(std::u16string(field.text, field.length) == block.text);
    FreeBlock(buffer);
    FreeSigmaViewContext(context);

    const auto dir = std::filesystem::temp_directory_path() /
                     ("olv_whole_" + std::to_string(CurrentProcessId()));
    std::filesystem::remove_all(dir);
    REQUIRE(std::filesystem::create_directory(dir));
    const std::string member = JsonMember(block.text);
    REQUIRE(ExportJsonFile(app, (dir / "r.json").u16string().c_str()).code == OutcomeCode::kOk);
    CHECK(FileText(dir / "r.json").find(member + "}") != std::string::npos);
    REQUIRE(ExportJsonLinesFile(app, (dir / "r.jsonl").u16string().c_str()).code ==
            OutcomeCode::kOk);
    CHECK(FileText(dir / "r.jsonl").find(member + "}\n") != std::string::npos);

    app->trace = tc; // the counts are gathered from the recording's controller
    GatherCompletenessCounters(app);
    app->trace = nullptr;
    const auto session = (dir / "r.olvs").u16string();
    REQUIRE(SaveCompactSessionFile(app, session.c_str()).code == OutcomeCode::kOk);
    ClearRows(app);
    app->keptCounts = KeptCounts{};
    REQUIRE(OpenSessionFile(app, session.c_str()).code == OutcomeCode::kOk);
    const int32_t reopened = FindKind(app, RowKind::RanScriptBlock);
    REQUIRE(reopened >= 0);
    CHECK(WholePath(app, reopened) == block.text);
    CHECK((app->keptCounts.known & kKeptScripts) != 0);
    CHECK(app->keptCounts.value[kKeptScriptBlocksSeen] == 1);
    std::filesystem::remove_all(dir);
}
