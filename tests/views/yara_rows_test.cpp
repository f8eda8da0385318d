// YARA rules on a recording's rows, with real files in a temporary folder: loaded images and
// written files once closed are scanned, matches kept with their rows and raising them, a file
// deleted before its scan counted and named, the scanner's queue bounds.
#include "views/yara_rows.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "export/exports.h"
#include "export/session_compact.h"
#include "export/session_yara.h"
#include "report/summary.h"
#include "views/row_details.h"
#include "views/row_store.h"
#include "views/sigma_texts.h"
#include "views/sigma_rows.h"
#include "support/headless_recording.h"
#include "support/test_random.h"

using namespace olv;

namespace {

constexpr char kRules[] = R"(
rule dropper_marker { meta: severity = "high" strings: $a = "DROPPER-MARKER" condition: $a }
rule mild_marker { meta: threat_level = 2 strings: $a = "MILD-MARKER" condition: $a }
rule plain_marker { strings: $a = "PLAIN-MARKER" condition: $a }
)";

// A distinct short text for each number.
std::u16string Numbered(const char16_t* stem, uint32_t i) {
    std::u16string text = stem;
    do {
        text += static_cast<char16_t>(u'0' + i % 10);
        i /= 10;
    } while (i != 0);
    return text;
}

struct Fixture : HeadlessRecordingInFolder {
    Fixture() : HeadlessRecordingInFolder("olv_yara_rows_") {}
    void LoadRules(const char* text = kRules) {
        auto* set = AllocRecord<YaraRuleSet>();
        REQUIRE(set != nullptr);
        REQUIRE(LoadYaraRuleText(text, std::strlen(text), u"test.yar", set));
        REQUIRE(InstallYaraRules(app, set));
    }
    std::u16string File(const char* name, const std::string& bytes) {
        return Write(name, bytes).u16string();
    }
    int32_t Add(RowKind kind, const std::u16string& path, uint32_t pid = 4001) {
        EventRow row{};
        row.category = RowKindCategory(kind);
        row.pid = pid;
        row.parentPid = 3000;
        CopyBounded(row.operation, kOperationChars, RowKindOperation(kind));
        CopyBounded(row.path, kPathChars, path.c_str());
        CopyBounded(row.process, kProcessChars, u"sample.exe");
        AppendRow(app, &row);
        return app->rowCount - 1;
    }
    // Polls until no scan is pending: bounded, 20 seconds.
    void WaitForScans() {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (app->yara->scanner != nullptr && PendingYaraScans(app->yara->scanner) > 0 &&
               std::chrono::steady_clock::now() < until) {
            PollYaraRows(app);
            std::this_thread::yield();
        }
        PollYaraRows(app);
        REQUIRE_MESSAGE(PendingYaraScans(app->yara->scanner) == 0,
                        "waited 20 s for the YARA scans of the rows");
    }
    std::string RulesOf(int32_t row) {
        const YaraRowRule* rules[8];
        const int32_t n = YaraRulesOfRow(app, row, rules, 8);
        std::string out;
        for (int32_t i = 0; i < n && i < 8; ++i) out += std::string(i ? "," : "") + rules[i]->name;
        return out;
    }
    std::string Notes() {
        char16_t out[4096] = {};
        int32_t lines = 0;
        AppendYaraNotes(app, u"", out, 4096, &lines);
        std::string text;
        for (const char16_t* c = out; *c != 0; ++c)
            if (*c != u'\r') text += static_cast<char>(*c < 0x80 ? *c : '?');
        return text;
    }
    std::string Threat(int32_t row) {
        char16_t threat[kThreatChars];
        CopyStoredText(app, row, kTextThreat, threat, kThreatChars);
        std::string text;
        for (const char16_t* c = threat; *c != 0; ++c) text += static_cast<char>(*c);
        return text;
    }
};

} // namespace

TEST_CASE("Loaded images and closed written files are scanned; matches raise their rows") {
    if (!YaraRulesAvailable()) return; // a build without a YARA reader scans nothing
    Fixture f;
    f.LoadRules();
    StartYaraRows(f.app, nullptr);
    const std::u16string dll = f.File("evil.dll", "MZ....DROPPER-MARKER....");
    const std::u16string clean = f.File("clean.dll", "MZ nothing to see");
    const std::u16string dropped = f.File("dropped.bin", "xx MILD-MARKER PLAIN-MARKER yy");

    const int32_t load = f.Add(RowKind::LoadedDll, dll);
    const int32_t quiet = f.Add(RowKind::LoadedDll, clean);
    // A write is scanned once a row closes the file, not before: the content may still change.
    const int32_t write = f.Add(RowKind::WroteFile, dropped);
    f.Add(RowKind::WroteFile, dropped);
    f.WaitForScans();
    CHECK(YaraRowCounts(f.app).requested == 2);
    const int32_t close = f.Add(RowKind::ClosedFile, dropped);
    // A second close of the same file asks nothing: its write was scanned already.
    f.Add(RowKind::ReleasedFileHandle, dropped);
    f.WaitForScans();

    CHECK(YaraRowCounts(f.app).requested == 3);
    CHECK(f.RulesOf(load) == "dropper_marker");
    CHECK(f.RulesOf(quiet).empty());
    CHECK(f.RulesOf(write).empty());
    CHECK(f.RulesOf(close) == "mild_marker,plain_marker");
    CHECK(StoredSeverity(f.app, load) == 3);                // severity "high"
    CHECK(StoredSeverity(f.app, close) == 2);               // Low and Medium: the higher
    CHECK(StoredSeverity(f.app, quiet) == 0);
    CHECK(f.Threat(load) == "YARA rule dropper_marker");

    int32_t count = 0;
    const YaraRowRule* rules = YaraMatchedRules(f.app, &count);
    REQUIRE(count == 3);
    CHECK(rules[0].rows == 1);
    CHECK(rules[0].firstRow == load);
    CHECK(rules[1].severity == YaraSeverity::Low);
    CHECK(rules[2].severity == YaraSeverity::Medium); // no meta: Medium
    CHECK(f.Notes().empty()); // nothing lost: the record is complete

    // A content met again under another name is served from the cache.
    const std::u16string copy = f.File("copy.dll", "MZ....DROPPER-MARKER....");
    const int32_t again = f.Add(RowKind::LoadedDll, copy);
    f.WaitForScans();
    CHECK(f.RulesOf(again) == "dropper_marker");
    CHECK(YaraRowCounts(f.app).fromCache == 1);
    CHECK(YaraMatchedRules(f.app, &count)[0].rows == 2);
}

TEST_CASE("A YARA match raises a row to the higher of its own score and the rule's, and survives "
          "a rescoring") {
    if (!YaraRulesAvailable()) return; // a build without a YARA reader scans nothing
    Fixture f;
    f.LoadRules(R"(rule low_one { meta: severity = "low" strings: $a = "LOW-ONE" condition: $a })");
    StartYaraRows(f.app, nullptr);
    const std::u16string file = f.File("lib.dll", "LOW-ONE");
    const int32_t load = f.Add(RowKind::LoadedDll, file);
    f.WaitForScans();
    CHECK(StoredSeverity(f.app, load) == 1);
    // A row already more severe keeps its severity; the rule is named beside its own threat.
    char16_t before[kThreatChars] = u"Built-in finding";
    REQUIRE(SetStoredThreat(f.app, load, 3, before));
    ReapplyYaraRaises(f.app);
    CHECK(StoredSeverity(f.app, load) == 3);
    CHECK(f.Threat(load) == "Built-in finding; YARA rule low_one");
    // Every row's score taken afresh (new Sigma rules, say): the match raises it again.
    ScoreAllRows(f.app);
    CHECK(StoredSeverity(f.app, load) == 1);
    CHECK(f.Threat(load) == "YARA rule low_one");
}

TEST_CASE("A written file deleted before its scan is counted and named; one still open at the "
          "stop is counted; nothing is scanned without rules or before Start") {
    if (!YaraRulesAvailable()) return; // a build without a YARA reader scans nothing
    Fixture f;
    const std::u16string early = f.File("early.bin", "PLAIN-MARKER");
    f.Add(RowKind::LoadedDll, early); // no rules: nothing asked
    f.LoadRules();
    CHECK(f.app->yara->scanner == nullptr);
    f.Add(RowKind::LoadedDll, early); // not recording: nothing asked
    CHECK(f.app->yara->scanner == nullptr);

    StartYaraRows(f.app, nullptr);
    const std::u16string gone = f.File("gone.bin", "PLAIN-MARKER");
    const std::u16string open = f.File("open.bin", "PLAIN-MARKER");
    f.Add(RowKind::CreatedNewFile, gone);
    f.Add(RowKind::WroteFile, open);
    std::filesystem::remove(std::filesystem::path(gone));
    f.Add(RowKind::ClosedFile, gone);
    f.WaitForScans();
    StopYaraRows(f.app, 2000);
    const std::string notes = f.Notes();
    CHECK(YaraRowCounts(f.app).gone == 1);
    CHECK(notes.find("1 files deleted or locked before their YARA scan: " +
                     std::filesystem::path(gone).string()) != std::string::npos);
    CHECK(notes.find("1 written files still open at the stop: not scanned") != std::string::npos);
    // After the stop nothing more is asked.
    CHECK(RequestRowYaraScan(f.app, f.Add(RowKind::LoadedDll, open)) == 0);
    // Clear forgets the matches and counts; the rules stay loaded.
    ClearRows(f.app);
    CHECK(f.Notes().empty());
    CHECK(YaraRulesLoaded(f.app));
}

TEST_CASE("The scanner refuses what it cannot hold and drops what is queued at a stop") {
    if (!YaraRulesAvailable()) return; // a build without a YARA reader scans nothing
    auto* set = AllocRecord<YaraRuleSet>();
    REQUIRE(LoadYaraRuleText(kRules, std::strlen(kRules), u"t.yar", set));
    YaraScannerConfig config{};
    config.slots = 2;
    YaraScanner* scanner = StartYaraScanner(&config);
    REQUIRE(scanner != nullptr);
    std::u16string longPath(kYaraScanPathChars, u'a');
    CHECK_FALSE(RequestYaraScan(scanner, 1, set, longPath.c_str()));
    YaraRuleSet empty{};
    CHECK_FALSE(RequestYaraScan(scanner, 1, &empty, u"/nonexistent")); // no rules: not counted
    int accepted = 0;
    for (int i = 0; i < 8; ++i) accepted += RequestYaraScan(scanner, 1, set, u"/nonexistent") ? 1 : 0;
    CHECK(accepted >= 2);
    StopYaraScanner(scanner, 5000);
    CHECK_FALSE(RequestYaraScan(scanner, 1, set, u"/nonexistent"));
    YaraScanCounts counts{};
    ReadYaraScanCounts(scanner, &counts);
    CHECK(counts.refusedLong == 1);
    CHECK(counts.refusedFull == static_cast<uint64_t>(8 - accepted));
    CHECK(counts.requested == static_cast<uint64_t>(accepted));
    // Each accepted scan was either done (the file is gone) or dropped at the stop.
    CHECK(counts.gone + counts.droppedAtStop == counts.requested);
    ReleaseYaraScanner(scanner);
    FreeYaraRuleSet(set);
    FreeBlock(set);
}

TEST_CASE("YARA matches in Rules Matched, the row details, the summary and the JSON exports") {
    if (!YaraRulesAvailable()) return; // a build without a YARA reader scans nothing
    Fixture f;
    f.LoadRules();
    StartYaraRows(f.app, nullptr);
    const std::u16string dll = f.File("evil.dll", "DROPPER-MARKER");
    const std::u16string dropped = f.File("out.bin", "PLAIN-MARKER");
    const int32_t load = f.Add(RowKind::LoadedDll, dll);
    f.Add(RowKind::WroteFile, dropped);
    const int32_t close = f.Add(RowKind::ClosedFile, dropped);
    const int32_t quiet = f.Add(RowKind::ReadFile, dropped);
    f.WaitForScans();
    REQUIRE(f.app->shownCount == 4);
    auto u8 = [](const char16_t* text) {
        std::string s;
        for (; *text != 0; ++text) s += static_cast<char>(*text < 0x80 ? *text : '?');
        return s;
    };

    std::u16string text(65536, u'\0');
    REQUIRE(ComposeRulesMatchedText(f.app, load, text.data(), text.size()));
    std::string said = u8(text.c_str());
    CHECK(said.find("YARA rules matched: 1\r\n  YARA rule (high): dropper_marker  file: test.yar") !=
          std::string::npos);
    CHECK(said.find("This row matched no rule.") == std::string::npos);
    REQUIRE(ComposeRulesMatchedText(f.app, quiet, text.data(), text.size()));
    CHECK(u8(text.c_str()).find("YARA rule") == std::string::npos);

    REQUIRE(BuildRowDetails(f.app, close, text.data(), text.size()));
    CHECK(u8(text.c_str()).find("  YARA rule (medium): plain_marker  file: test.yar\r\n") !=
          std::string::npos);

    char16_t* summary = BuildSummaryText(f.app);
    REQUIRE(summary != nullptr);
    said = u8(summary);
    FreeBlock(summary);
    CHECK(said.find("[YARA rules matched]\r\n  3 rules loaded\r\n  2 files scanned (files up "
                    "to 64 MB are scanned)\r\n") != std::string::npos);
    CHECK(said.find("      1  high      dropper_marker  first: " +
                    std::filesystem::path(dll).string()) != std::string::npos);
    CHECK(said.find("      1  medium    plain_marker  first: " +
                    std::filesystem::path(dropped).string()) != std::string::npos);

    const std::filesystem::path json = f.dir / "rows.json";
    const std::filesystem::path jsonl = f.dir / "rows.jsonl";
    REQUIRE(OutcomeOk(ExportJsonFile(f.app, json.u16string().c_str())));
    REQUIRE(OutcomeOk(ExportJsonLinesFile(f.app, jsonl.u16string().c_str())));
    for (const auto& path : {json, jsonl}) {
        std::ifstream in(path, std::ios::binary);
        const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        CHECK(all.find("\"yara\":[\"dropper_marker\"]") != std::string::npos);
        CHECK(all.find("\"yara\":[\"plain_marker\"]") != std::string::npos);
        // Absent from rows without a match: two rows carry the member, no other.
        size_t members = 0;
        for (size_t at = all.find("\"yara\""); at != std::string::npos;
             at = all.find("\"yara\"", at + 1)) {
            ++members;
        }
        CHECK(members == 2);
    }
}

namespace {

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Spill(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

uint32_t WordAt(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

} // namespace

TEST_CASE("The compact session file keeps the YARA matches; a file without matches keeps the "
          "older version; a damaged block is refused") {
    if (!YaraRulesAvailable()) return; // a build without a YARA reader scans nothing
    Fixture f;
    f.LoadRules();
    StartYaraRows(f.app, nullptr);
    const std::u16string dll = f.File("evil.dll", "DROPPER-MARKER MILD-MARKER");
    f.Add(RowKind::ReadFile, dll);
    const int32_t load = f.Add(RowKind::LoadedDll, dll);
    f.WaitForScans();
    REQUIRE(f.RulesOf(load) == "dropper_marker,mild_marker");
    const std::filesystem::path path = f.dir / "kept.ols";
    REQUIRE(OutcomeOk(SaveCompactSessionFile(f.app, path.u16string().c_str())));
    const std::string file = Slurp(path);
    CHECK(WordAt(file, 4) == kSessionVersionYara);

    // Opened again with no rules loaded: the matches, the severity and the summary come back.
    ClearRows(f.app);
    FreeYaraState(f.app);
    REQUIRE(OutcomeOk(OpenSessionFile(f.app, path.u16string().c_str())));
    REQUIRE(f.app->rowCount == 2);
    CHECK(f.RulesOf(load) == "dropper_marker,mild_marker");
    CHECK(f.RulesOf(0).empty());
    CHECK(StoredSeverity(f.app, load) == 3);
    int32_t count = 0;
    const YaraRowRule* rules = YaraMatchedRules(f.app, &count);
    REQUIRE(count == 2);
    CHECK(std::string(rules[0].file) == "test.yar");
    CHECK(rules[1].severity == YaraSeverity::Low);
    // Saved again, the same file.
    const std::filesystem::path again = f.dir / "again.ols";
    REQUIRE(OutcomeOk(SaveCompactSessionFile(f.app, again.u16string().c_str())));
    CHECK(Slurp(again) == file);

    // Without matches the file is of the version before, which earlier builds read.
    ClearRows(f.app);
    f.Add(RowKind::ReadFile, dll);
    const std::filesystem::path plain = f.dir / "plain.ols";
    REQUIRE(OutcomeOk(SaveCompactSessionFile(f.app, plain.u16string().c_str())));
    CHECK(WordAt(Slurp(plain), 4) == kSessionVersionCompact);

    // The block follows the fixed blocks; find it by its tag and damage it in turn.
    const size_t tag = file.find("YARA", 16);
    REQUIRE(tag != std::string::npos);
    const size_t block = tag - 4;
    const size_t firstMatch = block + kYaraBlockHeadBytes + 2 * kYaraBlockRuleBytes;
    struct Damage {
        const char* what;
        size_t at;
        uint32_t value;
        const char* said;
    } damages[] = {
        {"a match past the rows", firstMatch, 2, "the YARA block's match 1 names row 3"},
        {"a match past the rules", firstMatch + 4, 7, "the YARA block's match 1 names row"},
        {"a rule count the block does not hold", block + 8, 3, "the YARA block's head is damaged"},
        {"a block size that is not its counts'", block, 17, "the YARA block's head is damaged"},
        {"a rule name that is not an identifier", block + kYaraBlockHeadBytes, 0x2D2D2D2D,
         "the YARA block's rule 1 has a damaged name"},
        {"a severity no rule has",
         block + kYaraBlockHeadBytes + kYaraRuleNameChars + kYaraFileChars, 9,
         "the YARA block's rule 1 has a damaged severity"},
    };
    const std::filesystem::path bad = f.dir / "bad.ols";
    for (const Damage& d : damages) {
        CAPTURE(d.what);
        std::string bytes = file;
        std::memcpy(bytes.data() + d.at, &d.value, 4);
        Spill(bad, bytes);
        const Outcome outcome = OpenSessionFile(f.app, bad.u16string().c_str());
        CHECK_FALSE(OutcomeOk(outcome));
        std::string text;
        for (const char16_t* c = outcome.text; *c != 0; ++c) text += static_cast<char>(*c);
        CHECK(text.find(d.said) != std::string::npos);
        CHECK(f.app->rowCount == 1); // the rows in memory stay
    }
    // Cut inside the block.
    Spill(bad, file.substr(0, block + 20));
    CHECK_FALSE(OutcomeOk(OpenSessionFile(f.app, bad.u16string().c_str())));
}

TEST_CASE("A started program's image is scanned; rules replaced while scans are queued keep the "
          "old set alive until they end") {
    if (!YaraRulesAvailable()) return; // a build without a YARA reader scans nothing
    Fixture f;
    f.LoadRules();
    StartYaraRows(f.app, nullptr);
    const std::u16string program = f.File("sample.exe", "MZ DROPPER-MARKER");
    // The command line's program part names the image; a bare name names no file.
    const int32_t start = f.Add(RowKind::StartedChildProcess, u"\"" + program + u"\" /quiet");
    CHECK(RequestRowYaraScan(f.app, f.Add(RowKind::StartedChildProcess, u"sample.exe /quiet")) ==
          0);
    // Many scans queued with the first set, then a new set installed at once: the queued scans
    // still read the set they were asked with (freed only with the scanner).
    for (int i = 0; i < 40; ++i) f.Add(RowKind::LoadedDll, program);
    f.LoadRules(R"(rule other { strings: $a = "DROPPER" condition: $a })");
    CHECK(f.app->yara->retiredCount == 1);
    const int32_t later = f.Add(RowKind::LoadedDll, program);
    f.WaitForScans();
    CHECK(f.RulesOf(start) == "dropper_marker");
    CHECK(f.RulesOf(later) == "other");
    StopYaraRows(f.app, 2000);
    const YaraScanCounts counts = YaraRowCounts(f.app);
    CHECK(counts.requested == 42);
    CHECK(counts.scanned + counts.refusedFull == 42);
    // Clear releases the scanner, and with it the sets it may have used.
    ClearRows(f.app);
    CHECK(f.app->yara->retiredCount == 0);
    CHECK(YaraRulesLoaded(f.app));
}

TEST_CASE("The size limit reaches the scanner and is shown; the written-files table is bounded and "
          "reuses the places of closed files") {
    if (!YaraRulesAvailable()) return; // a build without a YARA reader scans nothing
    Fixture f;
    f.LoadRules();
    YaraScannerConfig config{};
    config.sizeLimit = uint64_t{1} << 20;
    StartYaraRows(f.app, &config);
    const std::u16string big = f.File("big.bin", std::string((1u << 20) + 1, 'x') + "PLAIN-MARKER");
    const std::u16string small = f.File("small.bin", "PLAIN-MARKER");
    const int32_t bigRow = f.Add(RowKind::LoadedDll, big);
    const int32_t smallRow = f.Add(RowKind::LoadedDll, small);
    f.WaitForScans();
    CHECK(f.RulesOf(bigRow).empty());
    CHECK(f.RulesOf(smallRow) == "plain_marker");
    CHECK(f.Notes() == "1 files over 1 MB not scanned by the YARA rules\n");
    char16_t* summary = BuildSummaryText(f.app);
    REQUIRE(summary != nullptr);
    std::string said;
    for (const char16_t* c = summary; *c != 0; ++c) said += static_cast<char>(*c < 0x80 ? *c : '?');
    FreeBlock(summary);
    CHECK(said.find("  1 files scanned (files up to 1 MB are scanned)") != std::string::npos);

    // Written and closed many more times than the table has places: each close frees its place.
    for (uint32_t i = 0; i < 10000; ++i) {
        const std::u16string path = Numbered(u"/nonexistent/w", i);
        f.Add(RowKind::WroteFile, path);
        f.Add(RowKind::ClosedFile, path);
        if (i % 64 == 0) f.WaitForScans();
    }
    CHECK(f.app->yara->written.count == 0);
    CHECK(f.app->yara->writtenNotTracked == 0);
    // Left open, the table fills to its bound and counts the rest.
    for (uint32_t i = 0; i < kYaraWrittenSlots; ++i)
        f.Add(RowKind::WroteFile, Numbered(u"/nonexistent/open", i));
    CHECK(f.app->yara->written.count == kYaraWrittenSlots / 4 * 3);
    CHECK(f.app->yara->writtenNotTracked == kYaraWrittenSlots / 4);
    StopYaraRows(f.app, 2000);
    CHECK(f.Notes().find("2048 written files not scanned: too many open at once") !=
          std::string::npos);
    CHECK(f.Notes().find("6144 written files still open at the stop: not scanned") !=
          std::string::npos);
}

TEST_CASE("Each written file is found at its close whatever was closed before it in its slot's run") {
    if (!YaraRulesAvailable()) return;
    Fixture f;
    f.LoadRules();
    StartYaraRows(f.app, nullptr);
    // Families of three files whose path ids lie a table's size apart, so that each family shares
    // a slot and makes a run; other texts fill the ids in between. The rows' other texts are
    // taken first.
    f.Add(RowKind::ReadFile, u"/nonexistent/first");
    constexpr uint32_t kFamilies = 100;
    constexpr uint32_t kMembers = 3;
    std::vector<std::u16string> paths;
    uint32_t filler = 0;
    uint32_t first = 0;
    for (uint32_t m = 0; m < kMembers; ++m) {
        if (m > 0) {
            while (TextCount(StoredTexts(f.app)) < first + m * kYaraWrittenSlots) {
                const std::u16string text = Numbered(u"filler", filler++);
                uint32_t id = 0;
                REQUIRE(InternText(&f.app->rowTexts, text.data(), text.size(), &id));
            }
        }
        for (uint32_t family = 0; family < kFamilies; ++family) {
            paths.push_back(Numbered(u"/nonexistent/family", m * kFamilies + family));
            const int32_t row = f.Add(RowKind::WroteFile, paths.back());
            const uint32_t id = StoredRecord(f.app, row).path;
            if (m == 0 && family == 0) first = id;
            REQUIRE(id == first + m * kYaraWrittenSlots + family);
        }
    }
    REQUIRE(f.app->yara->written.count == kFamilies * kMembers);
    // Closed in random order: each close of an open file asks for one scan, a second asks none.
    const auto asked = [&] {
        const YaraScanCounts c = YaraRowCounts(f.app);
        return c.requested + c.refusedFull;
    };
    TestRandom r{0x5eed0004};
    const uint64_t before = asked();
    uint64_t closes = 0;
    while (!paths.empty()) {
        const uint32_t at = r.Below(static_cast<uint32_t>(paths.size()));
        f.Add(RowKind::ClosedFile, paths[at]);
        f.Add(RowKind::ClosedFile, paths[at]);
        ++closes;
        paths[at] = paths.back();
        paths.pop_back();
        CHECK(asked() - before == closes);
        if (closes % 64 == 0) f.WaitForScans();
    }
    CHECK(f.app->yara->written.count == 0);
    f.WaitForScans();
    StopYaraRows(f.app, 2000);
}
