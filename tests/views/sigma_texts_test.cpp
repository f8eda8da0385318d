// The Sigma Rules window (its texts, its list, a double-click showing one rule's rows), the
// status bar and export view description of that condition, and the row's "Rules Matched..." text.
#include "app/window_commands.h"
#include "views/sigma_texts.h"

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/recording_setup.h"
#include "app/commands.h"
#include "app/keyboard.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "doctest.h"
#include "platform/memory.h"
#include "record/stored_rows.h"
#include "report/completeness.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/headless_windows.h"
#include "rules/threat_rules.h"
#include "sigma/sigma.h"
#include "sigma/sigma_engine.h"
#include "support/text_check.h"
#include "views/row_details.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"
#include "views/sigma_rules_list.h"
#include "views/view_texts.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

const char kTempExe[] = R"(title: Executable written into Temp
id: 22222222-0000-0000-0000-000000000001
level: medium
logsource: {product: windows, category: file_event}
detection:
    selection:
        TargetFilename|contains: '\Temp\'
        TargetFilename|endswith: '.exe'
    condition: selection
)";

const char kAnyTemp[] = R"(title: Anything in Temp
level: low
logsource: {product: windows, category: file_event}
detection:
    selection:
        TargetFilename|contains: '\Temp\'
    condition: selection
)";

const char kEncodedShell[] = R"(title: Encoded shell
id: 22222222-0000-0000-0000-000000000003
level: critical
logsource: {product: windows, category: process_creation}
detection:
    selection:
        Image|endswith: '\powershell.exe'
        CommandLine|contains: '-enc'
    condition: selection
)";

const char kLinux[] = R"(title: Not ours
logsource: {product: linux, category: process_creation}
detection:
    selection:
        Image|endswith: '/sh'
    condition: selection
)";

struct TextsFixture : HeadlessRecording {
    TextsFixture() {
        ClearRows(app);
    }
    // Rules a.yml, b.yml, ... in order; refused texts are kept as refusals.
    void Install(std::initializer_list<const char*> texts) {
        SigmaRuleSet* set = NewSigmaRuleSet();
        REQUIRE(set != nullptr);
        int n = 0;
        for (const char* text : texts) {
            char16_t name[16];
            CopyAscii(name, 16, "a.yml");
            name[0] = static_cast<char16_t>(u'a' + n++);
            AddSigmaRuleText(set, text, std::strlen(text), name);
        }
        REQUIRE(InstallSigmaRules(app, set));
    }
    void Append(uint32_t category, uint32_t pid, const char16_t* process, const char16_t* operation,
                const char16_t* path, const char16_t* detail = u"") {
        EventRow row{};
        row.category = category;
        row.pid = pid;
        CopyBounded(row.process, kProcessChars, process);
        CopyBounded(row.operation, kOperationChars, operation);
        CopyBounded(row.path, kPathChars, path);
        CopyBounded(row.detail, kDetailChars, detail);
        CopyBounded(row.result, kResultChars, u"OK");
        row.severity = static_cast<uint32_t>(ScoreRow(&row, row.threat, kThreatChars));
        AppendRow(app, &row);
    }
    std::vector<int32_t> Shown() const {
        return std::vector<int32_t>(app->shownRows, app->shownRows + app->shownCount);
    }
    std::string Status() {
        char16_t text[kStatusTextChars];
        ComposeStatusText(app, text, kStatusTextChars);
        return U8(text);
    }
    std::string View() {
        char16_t text[2048];
        DescribeView(app, text, 2048, u"");
        return U8(text);
    }
    std::string Cell(int32_t item, int column) {
        char16_t text[kSigmaRulesCellChars];
        ComposeSigmaRulesCell(app, item, column, text, kSigmaRulesCellChars);
        return U8(text);
    }
    std::string Headline() {
        char16_t text[kSigmaRulesHeadlineChars];
        ComposeSigmaRulesHeadline(app, text, kSigmaRulesHeadlineChars);
        return U8(text);
    }
    std::string RulesMatched(int item) {
        std::vector<char16_t> text(kRulesMatchedChars);
        if (!ComposeRulesMatchedText(app, item, text.data(), text.size())) return "<none>";
        return U8(text.data());
    }
    std::vector<int32_t> Rules(int32_t row) {
        std::vector<int32_t> rules(8);
        rules.resize(static_cast<size_t>(SigmaRulesOfRow(app, row, rules.data(), 8)));
        return rules;
    }
    std::vector<std::pair<int32_t, uint32_t>> Possible(int32_t row) {
        SigmaPossibleMatch found[8];
        const int32_t n = SigmaPossibleRulesOfRow(app, row, found, 8);
        std::vector<std::pair<int32_t, uint32_t>> out;
        for (int32_t i = 0; i < n && i < 8; ++i) out.emplace_back(found[i].rule, found[i].unknownFields);
        return out;
    }
    // The rows of the recording these tests use: two writes into Temp, one elsewhere.
    void RecordFiles() {
        Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Users\\a\\AppData\\Local\\Temp\\x.exe");
        Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Users\\a\\Documents\\y.exe");
        Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Users\\a\\AppData\\Local\\Temp\\z.txt");
    }
};

bool Has(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

} // namespace

TEST_CASE_FIXTURE(TextsFixture, "the Sigma Rules window lists rules, then refused files, with counts") {
    CHECK(SigmaRulesItemCount(app) == 0);
    CHECK(Has(Headline(), "No Sigma rules are loaded."));
    CHECK(Has(Headline(), "The 44 built-in rules always apply."));
    CHECK(Cell(0, 0).empty());

    Install({kTempExe, kLinux, kAnyTemp, "title: [unclosed\n"});
    RecordFiles();
    REQUIRE(SigmaRulesItemCount(app) == 4);
    struct Expected {
        const char* cells[kSigmaRulesColumnCount];
        int32_t rule;
    };
    // Title, level, category, rows, possible, file, id or reason. A refused file whose title was
    // read shows it; one refused before that shows none.
    const Expected expected[] = {
        {{"Executable written into Temp", "medium", "file_event", "1", "0", "a.yml",
          "22222222-0000-0000-0000-000000000001"},
         0},
        {{"Anything in Temp", "low", "file_event", "2", "0", "c.yml", ""}, 1},
        {{"Not ours", "refused", "", "", "", "b.yml", nullptr}, -1},
        {{"", "refused", "", "", "", "d.yml", nullptr}, -1},
    };
    for (int32_t item = 0; item < 4; ++item) {
        CAPTURE(item);
        for (int column = 0; column < kSigmaRulesColumnCount; ++column) {
            CAPTURE(column);
            if (expected[item].cells[column] != nullptr) {
                CHECK(Cell(item, column) == expected[item].cells[column]);
            }
        }
        CHECK(SigmaRuleOfItem(app, item) == expected[item].rule);
    }
    CHECK(Has(Cell(2, kRulesColumnId), "another product: "));
    CHECK(Has(Cell(3, kRulesColumnId), "YAML or condition syntax: line "));
    CHECK(Cell(4, 0).empty());
    CHECK(Cell(-1, 0).empty());
    CHECK(Cell(0, kSigmaRulesColumnCount).empty());
    CHECK(SigmaRuleOfItem(app, 4) == -1);

    const std::string headline = Headline();
    CHECK(Has(headline, "2 Sigma rules loaded; 2 of the 4 files read")); // given as text: no folder
    CHECK(Has(headline, "; 2 of the 4 files read were refused (\"Refused files\" lists them with "
                        "their reasons)."));
    CHECK(Has(headline, " 0 tests hit the work bound and counted as no match."));
    CHECK(Has(headline, "Enter or a double-click on a rule shows only its rows"));

    // Every reason and category has a text of its own.
    for (uint32_t reason = 0; reason < kSigmaRefusalReasonCount; ++reason) {
        CAPTURE(reason);
        CHECK_FALSE(U8(SigmaRefusalReasonText(reason)).empty());
        for (uint32_t other = 0; other < reason; ++other)
            CHECK(U8(SigmaRefusalReasonText(reason)) != U8(SigmaRefusalReasonText(other)));
    }
    CHECK(U8(SigmaRefusalReasonText(kSigmaRefusalReasonCount)).empty());
    for (uint32_t c = 0; c < kSigmaCategoryCount; ++c)
        CHECK(U8(SigmaCategoryText(c)) == SigmaCategoryName(c));
    CHECK(U8(SigmaCategoryText(kSigmaCategoryCount)).empty());
}

TEST_CASE_FIXTURE(TextsFixture, "Enter shows one rule's rows, marked, until Escape or the menu ends it") {
    Install({kTempExe, kAnyTemp, kLinux});
    RecordFiles();
    REQUIRE(Shown() == (std::vector<int32_t>{0, 1, 2}));
    ShowSigmaRulesWindow(app);
    REQUIRE(HeadlessListWindowCount() == 1);
    CHECK(U8(HeadlessListWindowTitle()) == "Sigma Rules");
    REQUIRE(HeadlessListWindowItemCount() == 3);
    CHECK(U8(HeadlessListWindowCell(1, kRulesColumnRows)) == "2");
    CHECK(U8(HeadlessListWindowCell(2, kRulesColumnLevel)) == "refused");
    CHECK(U8(HeadlessListWindowHeadline()) == Headline());
    CHECK(Has(Headline(), " Shown: 3 of 3."));

    // The second rule: the two rows in Temp; the status bar, the exports and the window say so,
    // and the rule's line carries the mark.
    REQUIRE(HeadlessActivateListItem(1));
    CHECK(SigmaRuleView(app) == 1);
    CHECK(Shown() == (std::vector<int32_t>{0, 2}));
    CHECK(Has(Status(), "| Shown: 2 | Only rows of Sigma rule \"Anything in Temp\" (Esc in the list "
                        "shows all rows)"));
    CHECK(Has(View(), "rows of Sigma rule \"Anything in Temp\" only."));
    CHECK(Has(U8(HeadlessListWindowHeadline()), "shows only the rows of \"Anything in Temp\""));
    CHECK(U8(HeadlessListWindowCell(1, kRulesColumnTitle)) == "\xC2\xBB Anything in Temp");
    CHECK(U8(HeadlessListWindowCell(0, kRulesColumnTitle)) == "Executable written into Temp");
    CHECK(CommandAvailable(app, kCmdShowAllRows));

    // New rows pass the condition only when they match the rule; other conditions still apply.
    Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Temp\\w.dll");
    Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Data\\w.dll");
    CHECK(Shown() == (std::vector<int32_t>{0, 2, 3}));
    app->view.categoryOn[kCategoryFile] = 0;
    RebuildShownRows(app);
    CHECK(Shown().empty());
    app->view.categoryOn[kCategoryFile] = 1;

    // Another rule replaces the condition; a refused file changes nothing; the same rule again
    // ends it.
    REQUIRE(HeadlessActivateListItem(0));
    CHECK(Shown() == (std::vector<int32_t>{0}));
    REQUIRE(HeadlessActivateListItem(2));
    CHECK(SigmaRuleView(app) == 0);
    REQUIRE(HeadlessActivateListItem(0));
    CHECK(SigmaRuleView(app) == -1);
    CHECK(Shown() == (std::vector<int32_t>{0, 1, 2, 3, 4}));
    CHECK_FALSE(Has(Status(), "Only rows"));
    CHECK(Has(U8(HeadlessListWindowHeadline()), "Enter or a double-click on a rule"));
    CHECK(U8(HeadlessListWindowCell(0, kRulesColumnTitle)) == "Executable written into Temp");
    CHECK_FALSE(CommandAvailable(app, kCmdShowAllRows));

    // The ways out: Escape on the event list (View > Show All Rows) and the window's menu.
    REQUIRE(HeadlessActivateListItem(1));
    DispatchCommand(app, kCmdShowAllRows);
    CHECK(SigmaRuleView(app) == -1);
    CHECK(app->shownCount == 5);
    CHECK(U8(HeadlessListWindowCell(1, kRulesColumnTitle)) == "Anything in Temp");
    REQUIRE(HeadlessActivateListItem(1));
    REQUIRE(HeadlessListWindowMenuCount() == 3);
    CHECK(U8(HeadlessListWindowMenuText(1)) == "Show &All Rows");
    REQUIRE(HeadlessListWindowMenuCommand(1));
    CHECK(SigmaRuleView(app) == -1);
    // The menu's first item is Enter's: the focused line's rule.
    const int32_t focus[] = {0};
    HeadlessListWindowSelect(focus, 1);
    REQUIRE(HeadlessListWindowMenuCommand(0));
    CHECK(SigmaRuleView(app) == 0);

    // Clear ends it, and so does a new set of rules (which picks the open window's lines afresh).
    ClearRows(app);
    CHECK(SigmaRuleView(app) == -1);
    RecordFiles();
    CHECK(app->shownCount == 3);
    REQUIRE(SetSigmaRuleView(app, 0));
    CHECK(app->shownCount == 1);
    Install({kAnyTemp});
    CHECK(SigmaRuleView(app) == -1);
    CHECK(app->shownCount == 3);
    CHECK_FALSE(SetSigmaRuleView(app, 1)); // no such rule
    CHECK(SigmaRuleView(app) == -1);
    CHECK(HeadlessListWindowItemCount() == 1);

    // Opening the window again brings the same one forward; a closed one is made anew.
    ShowSigmaRulesWindow(app);
    CHECK(HeadlessListWindowCount() == 1);
    HeadlessCloseListWindow();
    RefreshSigmaRulesWindow(app); // nothing to refresh
    ShowSigmaRulesWindow(app);
    CHECK(HeadlessListWindowCount() == 2);
}

TEST_CASE_FIXTURE(TextsFixture, "a start matched once its image is known joins the rule's rows") {
    Install({kEncodedShell});
    REQUIRE(SetSigmaRuleView(app, 0));
    Append(kCategoryProcess, 77, u"powershell.exe", u"Started child process",
           u"powershell.exe -enc AAAA");
    CHECK(app->shownCount == 0);
    Append(kCategoryProcess, 77, u"powershell.exe", u"Loaded DLL",
           u"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe");
    CHECK(Shown() == (std::vector<int32_t>{0}));
}

TEST_CASE_FIXTURE(TextsFixture, "without rules the window opens empty; a refused window is silent") {
    ShowSigmaRulesWindow(app);
    CHECK(HeadlessListWindowCount() == 1);
    CHECK(HeadlessListWindowItemCount() == 0);
    CHECK(Has(U8(HeadlessListWindowHeadline()), "No Sigma rules are loaded."));
    CHECK(SetSigmaRuleView(app, -1)); // nothing to end
    CHECK_FALSE(SetSigmaRuleView(app, 0));
    HeadlessCloseListWindow();
    HeadlessSetListWindowFails(true);
    ShowSigmaRulesWindow(app);
    CHECK(HeadlessListWindowCount() == 1);
    CHECK(HeadlessModel()->messageBoxCount == 0);
}

TEST_CASE_FIXTURE(TextsFixture, "Rules Matched lists every built-in and Sigma rule of the row") {
    Install({kTempExe, kAnyTemp});
    // A file row that two built-in rules and both Sigma rules match.
    int32_t builtIn[kThreatRuleCount];
    Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Users\\a\\AppData\\Local\\Temp\\x.exe");
    auto stored = std::make_unique<EventRow>();
    ReadStoredRow(app, 0, stored.get());
    const int32_t builtInCount = MatchingThreatRules(stored.get(), builtIn, kThreatRuleCount);
    REQUIRE(builtInCount >= 1);
    const std::string text = RulesMatched(0);
    CHECK(Has(text, "Operation: Created new file\r\n"));
    CHECK(Has(text, "Process: a.exe (PID 10)\r\n"));
    CHECK(Has(text, "Path: C:\\Users\\a\\AppData\\Local\\Temp\\x.exe\r\n"));
    CHECK(Has(text, "Threat: " + U8(stored->threat) + "\r\n"));
    CHECK_FALSE(Has(text, "Detail: "));
    CHECK(Has(text, "Built-in rules matched: " + std::to_string(builtInCount) + "\r\n"));
    for (int32_t k = 0; k < builtInCount; ++k) {
        const ThreatRule& rule = kThreatRules[builtIn[k]];
        const int number = builtIn[k] + 1;
        const std::string id = std::string("built-in-") + (number < 10 ? "0" : "") +
                               std::to_string(number);
        CAPTURE(id);
        const std::string line = "  " + U8(SeverityLabel(static_cast<uint32_t>(rule.severity)));
        CHECK(Has(text, id));
        CHECK(Has(text, U8(rule.name)));
        CHECK(Has(text, line));
    }
    CHECK(Has(text, "Sigma rules matched: 2\r\n"));
    CHECK(Has(text, "  medium         22222222-0000-0000-0000-000000000001   Executable written "
                    "into Temp\r\n"));
    CHECK(Has(text, "  low            (no id)                                Anything in Temp\r\n"));
    CHECK(Has(text, "file: b.yml\r\n"));

    // A row no rule matched, and items that are no shown row.
    Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Data\\plain.txt");
    CHECK(Has(RulesMatched(1), "This row matched no rule.\r\n\r\nBuilt-in rules matched: 0\r\n\r\n"
                               "Sigma rules matched: 0\r\n"));
    CHECK(RulesMatched(2) == "<none>");
    CHECK(RulesMatched(-1) == "<none>");

    // Without Sigma rules the text says none are loaded.
    REQUIRE(InstallSigmaRules(app, nullptr));
    CHECK(Has(RulesMatched(1), "Built-in rules matched: 0\r\n\r\nNo Sigma rules are loaded.\r\n"));
    CHECK_FALSE(Has(RulesMatched(0), "Sigma rules matched"));

    // The shown item, not the stored row: with the view narrowed, item 0 is another row.
    CopyBounded(app->view.filter, kFilterTextChars + 1, u"plain");
    RebuildShownRows(app);
    CHECK(Has(RulesMatched(0), "plain.txt"));

    // A small buffer is cut, never overrun.
    char16_t small[40];
    CHECK(ComposeRulesMatchedText(app, 0, small, 40));
    CHECK(TextLength(small) == 39);

    // The window shows that text, in a window with Copy that Escape closes.
    ShowRulesMatched(app, 0);
    CHECK(HeadlessDetailsWindowCount() == 1);
    CHECK(U8(HeadlessDetailsTitle()) == "Rules Matched");
    CHECK(Has(U8(HeadlessDetailsText()), "plain.txt"));
}

TEST_CASE_FIXTURE(TextsFixture, "rule and row texts show hidden characters as marks, each on its line") {
    // A rule's author and the examined program both choose these texts.
    const char kHostile[] = "title: \"Invoice\\u202Efdp.exe\"\n"
                            "id: \"a\\u2066b\"\n"
                            "level: low\n"
                            "logsource: {product: windows, category: file_event}\n"
                            "detection:\n"
                            "    selection:\n"
                            "        TargetFilename|contains: 'Temp'\n"
                            "    condition: selection\n";
    Install({kHostile});
    Append(kCategoryFile, 10, u"evil\u202Eexe.txt", u"Created new file",
           u"C:\\Temp\\a\r\nForged line: \u202Ex.exe");
    CHECK(Cell(0, 0) == "Invoice[U+202E]fdp.exe");
    CHECK(Cell(0, kRulesColumnId) == "a[U+2066]b");
    const std::string text = RulesMatched(0);
    CHECK(Has(text, "Process: evil[U+202E]exe.txt (PID 10)\r\n"));
    CHECK(Has(text, "Path: C:\\Temp\\a  Forged line: [U+202E]x.exe\r\n"));
    CHECK(Has(text, "a[U+2066]b"));
    CHECK(Has(text, "Invoice[U+202E]fdp.exe\r\n"));
    CHECK_FALSE(Has(text, "\r\nForged line"));
    CHECK(text.find("\xE2\x80\xAE") == std::string::npos); // no raw U+202E reaches the window
}

TEST_CASE_FIXTURE(TextsFixture, "rules set aside for cost and rows past the budget are told in the window and the notes") {
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    REQUIRE(AddSigmaRuleText(set, kTempExe, std::strlen(kTempExe), u"a.yml"));
    REQUIRE(AddSigmaRuleText(set, kAnyTemp, std::strlen(kAnyTemp), u"b.yml"));
    // Room for one comparison of a Temp path, not two: the first rule runs the row out (and is
    // struck for its share), the second is never reached.
    set->work.row = 60;
    set->work.ruleShare = 1;
    set->work.strikes = 2;
    REQUIRE(InstallSigmaRules(app, set));
    std::vector<char16_t> notes(8192);
    CHECK(BuildCompletenessNotes(app, notes.data(), notes.size(), u"") == 0);
    CHECK_FALSE(Has(Headline(), "set aside"));

    RecordFiles();
    const std::string headline = Headline();
    CHECK(Has(headline, " Sigma rules set aside for cost: 1 (they kept hitting the matching work "
                        "bound and match nothing for the rest of the recording). Rows whose Sigma "
                        "matching ran out of its work budget: 2 (the rules not tried on them "
                        "counted as no match)."));
    CHECK(BuildCompletenessNotes(app, notes.data(), notes.size(), u"# ") == 2);
    const std::string text = U8(notes.data());
    CHECK(Has(text, "# Sigma rules set aside for cost: 1 ("));
    CHECK(Has(text, "# Rows whose Sigma matching ran out of its work budget: 2 ("));
    CHECK(SigmaRowsOfRule(app, 1) == 0);
}

TEST_CASE_FIXTURE(TextsFixture, "rows not matched for want of memory are told in the notes") {
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    REQUIRE(AddSigmaRuleText(set, kTempExe, std::strlen(kTempExe), u"a.yml"));
    REQUIRE(InstallSigmaRules(app, set));
    std::vector<char16_t> notes(8192);
    CHECK(BuildCompletenessNotes(app, notes.data(), notes.size(), u"# ") == 0);
    set->rowsWithoutMemory = 3; // as MatchSigmaRules counts a row whose index or fold was refused
    CHECK(BuildCompletenessNotes(app, notes.data(), notes.size(), u"# ") == 1);
    CHECK(U8(notes.data()) == "# Rows not matched against the Sigma rules because memory was "
                              "refused: 3.\r\n");
}

namespace {

const char kRenamedRundll[] = R"(title: Renamed rundll32
id: 22222222-0000-0000-0000-000000000011
level: high
logsource: {product: windows, category: process_creation}
detection:
    selection:
        CommandLine|contains: 'DllRegisterServer'
    filter:
        Image|endswith: '\rundll32.exe'
    condition: selection and not filter
)";

const char kInstallerOutsideCache[] = R"(title: Installer outside the client cache
id: 22222222-0000-0000-0000-000000000012
level: high
logsource: {product: windows, category: process_creation}
detection:
    selection:
        Image|endswith: '\msiexec.exe'
    filter_ccm:
        CurrentDirectory|contains: '\ccmcache\'
    condition: selection and not 1 of filter_*
)";

const char kCertutilOrOriginalName[] = R"(title: Certutil by path or original name
level: medium
logsource: {product: windows, category: process_creation}
detection:
    selection:
        - Image|endswith: '\certutil.exe'
        - TerminalSessionId: '7'
    condition: selection
)";

} // namespace

TEST_CASE_FIXTURE(TextsFixture, "what held for a row stays its own while other rows are matched") {
    Install({kTempExe, kEncodedShell});
    Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Users\\a\\AppData\\Local\\Temp\\x.exe");
    // A start named only by its short name: held until Stop.
    Append(kCategoryProcess, 77, u"powershell.exe", u"Started child process", u"powershell.exe -enc AAAA");
    const std::string first = RulesMatched(0);
    CHECK(Has(first, "    held: selection: "));
    // Stop views the held start; row 0's kept explanation is not made from that row.
    MatchDeferredRowsAtStop(app);
    CHECK(RulesMatched(0) == first);
}

TEST_CASE_FIXTURE(TextsFixture, "fields a row could not learn: no false match, a possible one named and counted") {
    Install({kRenamedRundll, kInstallerOutsideCache, kCertutilOrOriginalName});
    auto start = [&](uint32_t pid, uint32_t parent, const char16_t* process, const char16_t* operation,
                     const char16_t* line) {
        EventRow row{};
        row.category = kCategoryProcess;
        row.pid = pid;
        row.parentPid = parent;
        CopyBounded(row.process, kProcessChars, process);
        CopyBounded(row.operation, kOperationChars, operation);
        CopyBounded(row.path, kPathChars, line);
        CopyBounded(row.result, kResultChars, u"OK");
        AppendRow(app, &row);
    };
    // The examined program: its path and folder are known.
    start(100, 7, u"msiexec.exe", u"Started process", u"\"C:\\Windows\\System32\\msiexec.exe\" /i a.msi");
    // A child installer: its path is known from its command line, its folder is not.
    start(200, 100, u"msiexec.exe", u"Started child process", u"C:\\Windows\\System32\\msiexec.exe /V");
    // A child named only by its short name, which ends before any image of it loads.
    start(300, 100, u"rundll32.exe", u"Started child process", u"rundll32.exe x.dll,DllRegisterServer");
    Append(kCategoryProcess, 300, u"rundll32.exe", u"Process exited", u"", u"Exit code: 0");

    CHECK(RowMatchedSigmaRule(app, 0, 1)); // the examined program's folder is not the cache
    CHECK_FALSE(RowMatchedSigmaRule(app, 1, 1));
    CHECK(Rules(2).empty()); // the short name is no path: the filter is undecided, not false
    CHECK(StoredSeverity(app, 2) == 0);
    CHECK(StoredTextEmpty(app, 2, kTextThreat));
    CHECK(Possible(1) == std::vector<std::pair<int32_t, uint32_t>>{{1, 1u << kSigmaCurrentDirectory}});
    // Image not learned: the path might be rundll32's (the filter) or certutil's (the selection).
    CHECK(Possible(2) ==
          std::vector<std::pair<int32_t, uint32_t>>{{0, 1u << kSigmaImage}, {2, 1u << kSigmaImage}});
    CHECK(SigmaPossibleRowsOfRule(app, 0) == 1);
    CHECK(SigmaPossibleRowsOfRule(app, 1) == 1);
    CHECK(SigmaRowsOfRule(app, 1) == 1);
    CHECK(SigmaPossibleRowsOfRule(app, 2) == 1);
    CHECK(SigmaPossibleRowsOfRule(app, 3) == 0);

    CHECK(Cell(0, 6) == "22222222-0000-0000-0000-000000000011; possible on 1 row: Image not known");
    CHECK(Cell(1, 6) == "22222222-0000-0000-0000-000000000012; possible on 1 row: CurrentDirectory "
                        "not known");
    CHECK(Cell(2, 6) == "partial: TerminalSessionId never recorded; possible on 1 row: Image not known");
    CHECK(Cell(1, 3) == "1");
    CHECK(Cell(1, 4) == "1"); // matched by the examined program, possible for its child
    CHECK(Cell(0, 4) == "1");
    const std::string headline = Headline();
    CHECK(Has(headline, "3 Sigma rules loaded; ")); // given as text: no folder to name
    CHECK(Has(headline, " 1 rule is partial: it names fields that are never recorded"));
    CHECK(Has(headline, " 3 rules are undecided on some rows for fields those rows could not learn"));

    // Rules Matched: what held for a match, the unknown field for a possible one.
    const std::string matched = RulesMatched(0);
    CHECK(Has(matched, "Sigma rules matched: 1\r\n"));
    CHECK(Has(matched, "    held: selection: Image endswith \\msiexec.exe\r\n"));
    CHECK_FALSE(Has(matched, "possibly"));
    const std::string possible = RulesMatched(2);
    CHECK(Has(possible, "Sigma rules matched: 0\r\n"));
    CHECK(Has(possible, "Sigma rules possibly matched (undecided: fields this row could not learn; "
                        "no severity raised): 2\r\n"));
    CHECK(Has(possible, "  high           22222222-0000-0000-0000-000000000011   Renamed rundll32\r\n"
                        "    not known: Image\r\n"));

    // The row details say the same.
    std::vector<char16_t> details(kRowDetailsChars);
    REQUIRE(BuildRowDetails(app, 0, details.data(), details.size()));
    CHECK(Has(U8(details.data()), "  What held for Installer outside the client cache:\r\n"
                                  "    selection: Image endswith \\msiexec.exe\r\n"));
    REQUIRE(BuildRowDetails(app, 2, details.data(), details.size()));
    CHECK(Has(U8(details.data()), "  Possible Sigma rule (high, no severity): Renamed rundll32 - not "
                                  "known: Image\r\n"));
    CHECK_FALSE(Has(U8(details.data()), "  none\r\n"));

    // Asked again, after a row more, row 0 says the same (its view is made again once per row).
    Append(kCategoryFile, 100, u"msiexec.exe", u"Created new file", u"C:\\x.txt");
    CHECK(Has(RulesMatched(0), "    held: selection: Image endswith \\msiexec.exe\r\n"));
    CHECK(Has(RulesMatched(0), "Sigma rules matched: 1\r\n"));

    // A new set forgets the possible matches with the rest.
    Install({kTempExe});
    CHECK(Possible(2).empty());
    CHECK(SigmaPossibleRowsOfRule(app, 0) == 0);
}

TEST_CASE_FIXTURE(TextsFixture, "Rules Matched names the facts the row's fields were given") {
    Append(kCategoryRegistry, 10, u"a.exe", u"Wrote registry value", u"\\REGISTRY\\MACHINE\\X",
           u"Value: Run");
    Append(kCategoryRegistry, 10, u"a.exe", u"Wrote registry value", u"\\REGISTRY\\MACHINE\\Y",
           u"Value: Run");
    RowFactTexts given{};
    given.known = 1u << kFactDetails;
    given.text[kFactDetails] = u"DWORD (0x00000001)";
    REQUIRE(SetStoredFacts(app, 0, given));
    CHECK(Has(RulesMatched(0), "\r\nFacts:\r\n  Details: DWORD (0x00000001)\r\n\r\n"));
    CHECK_FALSE(Has(RulesMatched(1), "Facts:")); // none read for it
}
