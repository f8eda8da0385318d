// The Sigma Rules window with thousands of rules: opened once, never refilled by a reopening or
// a new row, its counts live; the choice, the search, the sort and the copy of selected lines.
#include "app/window_commands.h"
#include "views/sigma_rules_list.h"

#include <cstring>
#include <string>
#include <vector>

#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/headless_windows.h"
#include "sigma/sigma.h"
#include "support/text_check.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"
#include "views/sigma_texts.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

constexpr int kRules = 2400;
constexpr int kRefusedEvery = 8; // every eighth file is for another product

const char* const kLevels[] = {"informational", "low", "medium", "high", "critical"};

// Rule n matches a file written into folder \dn\ ; titles sort against load order.
std::string RuleText(int n) {
    std::string text = "title: Rule " + std::to_string(kRules - n) + " writes\n";
    text += "level: " + std::string(kLevels[n % 5]) + "\n";
    text += n % kRefusedEvery == 7 ? "logsource: {product: linux, category: file_event}\n"
                                   : "logsource: {product: windows, category: file_event}\n";
    text += "detection:\n    selection:\n        TargetFilename|contains: '\\d" +
            std::to_string(n) + "\\'\n    condition: selection\n";
    return text;
}

struct ListFixture : HeadlessRecording {
    ListFixture() {
        ClearRows(app);
    }
    void InstallMany() {
        SigmaRuleSet* set = NewSigmaRuleSet();
        REQUIRE(set != nullptr);
        for (int n = 0; n < kRules; ++n) {
            const std::string text = RuleText(n);
            char16_t name[32];
            CopyAscii(name, 32, ("r" + std::to_string(10000 + n) + ".yml").c_str());
            AddSigmaRuleText(set, text.data(), text.size(), name);
        }
        REQUIRE(SigmaRuleCount(set) == kRules - kRules / kRefusedEvery);
        REQUIRE(InstallSigmaRules(app, set));
    }
    void Write(int folder) {
        EventRow row{};
        row.category = kCategoryFile;
        row.pid = 10;
        CopyBounded(row.process, kProcessChars, u"a.exe");
        CopyBounded(row.operation, kOperationChars, u"Created new file");
        const std::string path = "C:\\d" + std::to_string(folder) + "\\x.bin";
        CopyAscii(row.path, kPathChars, path.c_str());
        CopyBounded(row.result, kResultChars, u"OK");
        AppendRow(app, &row);
    }
    std::string Cell(int32_t line, int column) {
        const char16_t* text = HeadlessListWindowCell(line, column);
        return text != nullptr ? U8(text) : "<none>";
    }
    // The loaded rule index of rule file n (refused files do not count).
    static int32_t RuleOfFile(int n) { return n - (n + 1) / kRefusedEvery; }
};

bool Has(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

} // namespace

TEST_CASE_FIXTURE(ListFixture, "thousands of rules: opened once, never refilled, counts live") {
    InstallMany();
    const int32_t entries = SigmaRulesItemCount(app);
    REQUIRE(entries == kRules);
    ShowSigmaRulesWindow(app);
    REQUIRE(HeadlessListWindowItemCount() == entries);
    CHECK(HeadlessListWindowLineCountsSet() == 1);

    // Reopening while open brings it forward: nothing is picked, ordered or set again.
    for (int k = 0; k < 5; ++k)
        ShowSigmaRulesWindow(app);
    CHECK(HeadlessListWindowCount() == 1);
    CHECK(HeadlessListWindowLineCountsSet() == 1);

    // Rows arriving: the counts are read when drawn; the timer's refresh redraws once for all
    // the rows since the last tick and sets no line count.
    const int32_t line = ListFixture::RuleOfFile(30);
    CHECK(Cell(line, kRulesColumnRows) == "0");
    Write(30);
    Write(30);
    Write(31); // a refused file's folder: no rule
    Write(32);
    CHECK(Cell(line, kRulesColumnRows) == "2");
    const int32_t redraws = HeadlessListWindowRedraws();
    RefreshSigmaRulesCounts(app);
    CHECK(HeadlessListWindowRedraws() == redraws + 1);
    RefreshSigmaRulesCounts(app); // nothing new
    CHECK(HeadlessListWindowRedraws() == redraws + 1);
    CHECK(HeadlessListWindowLineCountsSet() == 1);

    // "Rules that matched" follows new matches on the next refresh (the focused rule stays
    // focused), and so does a sort by rows.
    REQUIRE(HeadlessListWindowChoose(kRulesShowMatched));
    CHECK(HeadlessListWindowItemCount() == 2);
    CHECK(Has(U8(HeadlessListWindowHeadline()), " Shown: 2 of 2400."));
    const int32_t second[] = {1};
    HeadlessListWindowSelect(second, 1);
    const std::string focusedTitle = Cell(1, kRulesColumnTitle);
    Write(2);
    RefreshSigmaRulesCounts(app);
    REQUIRE(HeadlessListWindowItemCount() == 3);
    CHECK(Cell(UiListWindowFocusedLine(app->sigma->rulesWindow), kRulesColumnTitle) ==
          focusedTitle);
    CHECK(focusedTitle == "Rule 2368 writes");
    CHECK(Cell(0, kRulesColumnFile) == "r10002.yml");
}

TEST_CASE_FIXTURE(ListFixture, "the window's choice, search and sort pick and order its lines") {
    InstallMany();
    ShowSigmaRulesWindow(app);
    const int32_t rules = kRules - kRules / kRefusedEvery;

    REQUIRE(HeadlessListWindowChoose(kRulesShowRefused));
    CHECK(HeadlessListWindowItemCount() == kRules / kRefusedEvery);
    CHECK(Cell(0, kRulesColumnLevel) == "refused");
    CHECK(Cell(0, kRulesColumnTitle) == "Rule 2393 writes"); // its title was read before refusal
    REQUIRE(HeadlessListWindowChoose(kRulesShowPossible));
    CHECK(HeadlessListWindowItemCount() == 0);
    REQUIRE(HeadlessListWindowChoose(kRulesShowAll));
    CHECK(HeadlessListWindowItemCount() == kRules);
    // Load order: rules, then refused files.
    CHECK(Cell(0, kRulesColumnFile) == "r10000.yml");
    CHECK(Cell(rules, kRulesColumnLevel) == "refused");

    // The search looks at titles, files, levels, ids and reasons, case folded.
    REQUIRE(HeadlessListWindowSearch(u"RULE 1234 "));
    REQUIRE(HeadlessListWindowItemCount() == 1);
    CHECK(Cell(0, kRulesColumnTitle) == "Rule 1234 writes");
    REQUIRE(HeadlessListWindowSearch(u"r1000"));
    CHECK(HeadlessListWindowItemCount() == 10);
    REQUIRE(HeadlessListWindowSearch(u"another product"));
    CHECK(HeadlessListWindowItemCount() == kRules / kRefusedEvery);
    REQUIRE(HeadlessListWindowSearch(u"critical"));
    int32_t critical = 0;
    for (int n = 0; n < kRules; ++n)
        critical += n % 5 == 4 && n % kRefusedEvery != 7 ? 1 : 0;
    CHECK(HeadlessListWindowItemCount() == critical);
    REQUIRE(HeadlessListWindowSearch(u""));

    // A title sort, then the other direction; the arrow follows.
    REQUIRE(HeadlessListWindowHeadingClick(kRulesColumnTitle));
    int column = 0;
    int direction = 0;
    HeadlessListWindowSortArrow(&column, &direction);
    CHECK(column == kRulesColumnTitle);
    CHECK(direction == 1);
    for (int32_t line = 1; line < HeadlessListWindowItemCount(); ++line) {
        CHECK(CompareSigmaRulesEntries(app, SigmaRulesEntryAt(app->sigma->rulesList, line - 1),
                                       SigmaRulesEntryAt(app->sigma->rulesList, line),
                                       kRulesColumnTitle) <= 0);
    }
    CHECK(Cell(0, kRulesColumnTitle) == "Rule 1 writes");
    REQUIRE(HeadlessListWindowHeadingClick(kRulesColumnTitle));
    HeadlessListWindowSortArrow(&column, &direction);
    CHECK(direction == -1);
    CHECK(Cell(0, kRulesColumnTitle) == "Rule 999 writes");

    // Levels: the most severe first on the first click; ties stay in load order; refused last.
    REQUIRE(HeadlessListWindowHeadingClick(kRulesColumnLevel));
    CHECK(Cell(0, kRulesColumnLevel) == "critical");
    CHECK(Cell(0, kRulesColumnFile) == "r10004.yml");
    CHECK(Cell(1, kRulesColumnFile) == "r10009.yml");
    CHECK(Cell(kRules - 1, kRulesColumnLevel) == "refused");
    CHECK(Cell(kRules - 1, kRulesColumnFile) == "r12399.yml");
}

TEST_CASE("the sort's first direction and its turn, and entry order in both directions") {
    SigmaRulesList list{};
    list.sortColumn = -1;
    SortSigmaRulesBy(&list, kRulesColumnTitle);
    CHECK(list.sortColumn == kRulesColumnTitle);
    CHECK(list.descending == 0);
    SortSigmaRulesBy(&list, kRulesColumnTitle);
    CHECK(list.descending == 1);
    for (int column : {kRulesColumnRows, kRulesColumnPossible, kRulesColumnLevel}) {
        SortSigmaRulesBy(&list, column);
        CHECK(list.descending == 1); // the most first
    }
    SortSigmaRulesBy(&list, kRulesColumnCount); // no such column: nothing changes
    CHECK(list.sortColumn == kRulesColumnLevel);
    CHECK(SigmaRulesEntryAt(&list, 0) == -1);
    CHECK(SigmaRulesLineOf(&list, 0) == -1);
}

TEST_CASE_FIXTURE(ListFixture, "Ctrl+C copies the selected lines as the window shows them") {
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    const char kFormula[] = "title: \"=HYPERLINK(\\\"x\\\")\\tand a tab\"\nlevel: high\n"
                            "logsource: {category: file_event}\n"
                            "detection:\n    s:\n        TargetFilename: x\n    condition: s\n";
    REQUIRE(AddSigmaRuleText(set, kFormula, sizeof kFormula - 1, u"f.yml"));
    const std::string refused = RuleText(7);
    AddSigmaRuleText(set, refused.data(), refused.size(), u"g.yml");
    REQUIRE(InstallSigmaRules(app, set));
    ShowSigmaRulesWindow(app);
    const int32_t both[] = {0, 1};
    HeadlessListWindowSelect(both, 2);
    REQUIRE(HeadlessListWindowCommand(kListWindowCopy));
    const std::string copied = U8(HeadlessModel()->clipboard);
    CHECK(copied ==
          "Rule\tLevel\tCategory\tRows\tPossible\tFile\tId or reason\r\n"
          "'=HYPERLINK(\"x\")[U+0009]and a tab\thigh\tfile_event\t0\t0\tf.yml\t\r\n"
          "Rule 2393 writes\trefused\t\t\t\tg.yml\tanother product: " +
              U8(GetSigmaRefusal(LoadedSigmaRules(app), 0)->detail) + "\r\n");
    // Nothing selected: the clipboard is left alone.
    const uint32_t sets = HeadlessModel()->clipboardSets;
    HeadlessListWindowSelect(both, 0);
    REQUIRE(HeadlessListWindowCommand(kListWindowCopy));
    CHECK(HeadlessModel()->clipboardSets == sets);
}
