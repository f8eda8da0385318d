// Sigma rules on the row store: matched at intake, deferred starts, loading over rows present,
// clearing, and what the status bar and the summary say.
#include "views/sigma_rows.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "capture/event_queue.h"
#include "doctest.h"
#include "platform/memory.h"
#include "record/stored_rows.h"
#include "platform/sim/headless_ui.h"
#include "sigma/sigma.h"
#include "support/text_check.h"
#include "views/row_store.h"
#include "report/summary.h"
#include "views/view_texts.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

const char kTempExe[] = R"(title: Executable written into Temp
id: 11111111-0000-0000-0000-000000000001
level: medium
logsource: {product: windows, category: file_event}
detection:
    selection:
        TargetFilename|contains: '\Temp\'
        TargetFilename|endswith: '.exe'
    condition: selection
)";

const char kEncodedShell[] = R"(title: Encoded shell
id: 11111111-0000-0000-0000-000000000002
level: critical
logsource: {product: windows, category: process_creation}
detection:
    selection:
        Image|endswith: '\powershell.exe'
        CommandLine|contains: '-enc'
    condition: selection
)";

const char kAnyTempWrite[] = R"(title: Anything in Temp
id: 11111111-0000-0000-0000-000000000003
level: low
logsource: {product: windows, category: file_event}
detection:
    selection:
        TargetFilename|contains: '\Temp\'
    condition: selection
)";

const char kInformational[] = R"(title: Note only
id: 11111111-0000-0000-0000-000000000004
level: informational
logsource: {product: windows, category: file_event}
detection:
    selection:
        TargetFilename|endswith: '.txt'
    condition: selection
)";

SigmaRuleSet* RulesOf(std::initializer_list<const char*> texts) {
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    int n = 0;
    for (const char* text : texts) {
        char16_t name[32];
        CopyAscii(name, 32, "rule.yml");
        name[4] = static_cast<char16_t>(u'a' + n++);
        REQUIRE(AddSigmaRuleText(set, text, std::strlen(text), name));
    }
    return set;
}

struct SigmaFixture : HeadlessRecording {
    SigmaFixture() {
        ClearRows(app);
    }
    void Append(uint32_t category, uint32_t pid, const char16_t* process, const char16_t* operation,
                const char16_t* path, uint32_t severity = 0, const char16_t* threat = u"") {
        EventRow row{};
        row.category = category;
        row.pid = pid;
        row.severity = severity;
        CopyBounded(row.process, kProcessChars, process);
        CopyBounded(row.operation, kOperationChars, operation);
        CopyBounded(row.path, kPathChars, path);
        CopyBounded(row.threat, kThreatChars, threat);
        CopyBounded(row.result, kResultChars, u"OK");
        AppendRow(app, &row);
    }
    std::vector<int32_t> Rules(int32_t row) {
        std::vector<int32_t> rules(8);
        rules.resize(static_cast<size_t>(SigmaRulesOfRow(app, row, rules.data(), 8)));
        return rules;
    }
    std::string Threat(int32_t row) {
        char16_t threat[kThreatChars];
        CopyStoredText(app, row, kTextThreat, threat, kThreatChars);
        return U8(threat);
    }
    std::string Status() {
        char16_t text[kStatusTextChars];
        ComposeStatusText(app, text, kStatusTextChars);
        return U8(text);
    }
};

} // namespace

TEST_CASE_FIXTURE(SigmaFixture, "rows are matched as they arrive: severity raised, threat named") {
    REQUIRE(InstallSigmaRules(app, RulesOf({kTempExe, kAnyTempWrite, kInformational})));
    CHECK(Status().find("| 3 Sigma rules") != std::string::npos);
    Append(kCategoryFile, 10, u"a.exe", u"Wrote to file", u"C:\\Temp\\x.exe");
    // A built-in verdict stays in the threat text beside the rule's title, the more severe
    // first; only a higher level raises the severity.
    Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Temp\\y.exe", 3, u"Built-in");
    Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Temp\\n.txt", 1, u"");
    Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Docs\\note.txt");
    Append(kCategoryFile, 10, u"a.exe", u"Read file", u"C:\\Temp\\x.exe");
    REQUIRE(app->rowCount == 5);
    CHECK(StoredSeverity(app, 0) == 2);
    CHECK(Threat(0) == "Executable written into Temp"); // the most severe rule names it
    CHECK(Rules(0) == std::vector<int32_t>{0, 1});
    CHECK(StoredSeverity(app, 1) == 3);
    CHECK(Threat(1) == "Built-in; Executable written into Temp");
    CHECK(StoredSeverity(app, 2) == 1);
    CHECK(Threat(2) == "Anything in Temp");
    // Rows 0 to 2 were raised by a rule of level low or above; row 3's rule is informational.
    CHECK(SigmaRowsRaised(app) == 3);
    CHECK(Status().find("| 3 Sigma rules, 0 files refused, 3 rows raised") != std::string::npos);
    CHECK(Rules(2) == std::vector<int32_t>{1, 2});
    // Informational: kept, the row unchanged.
    CHECK(StoredSeverity(app, 3) == 0);
    CHECK(Threat(3).empty());
    CHECK(Rules(3) == std::vector<int32_t>{2});
    CHECK(Rules(4).empty());
    CHECK(SigmaRowsOfRule(app, 0) == 2);
    CHECK(SigmaRowsOfRule(app, 1) == 3);
    CHECK(SigmaRowsOfRule(app, 2) == 2);

    // Clear forgets the matches; the rules stay.
    ClearRows(app);
    CHECK(SigmaRowsOfRule(app, 1) == 0);
    CHECK(SigmaRowsRaised(app) == 0);
    CHECK(Rules(0).empty());
    CHECK(SigmaRulesLoaded(app));
}

TEST_CASE("a Sigma title joins a built-in threat text, the more severe first, bounded") {
    char16_t threat[kThreatChars] = {};
    ComposeSigmaThreat(u"Rule", 3, 0, threat, kThreatChars);
    CHECK(U8(threat) == "Rule");
    CopyBounded(threat, kThreatChars, u"Built-in (+1)");
    ComposeSigmaThreat(u"Rule", 3, 3, threat, kThreatChars);
    CHECK(U8(threat) == "Rule; Built-in (+1)"); // a tie: the rule first
    CopyBounded(threat, kThreatChars, u"Built-in");
    ComposeSigmaThreat(u"Rule", 1, 2, threat, kThreatChars);
    CHECK(U8(threat) == "Built-in; Rule");
    std::u16string longTitle(300, u'x');
    CopyBounded(threat, kThreatChars, u"Built-in");
    ComposeSigmaThreat(longTitle.c_str(), 3, 1, threat, kThreatChars);
    CHECK(U8(threat).size() == kThreatChars - 1);
}

TEST_CASE("the recorder's own rows are never scored by the built-in rules; look-alikes are") {
    auto row = std::make_unique<EventRow>();
    auto severity = [&row](uint32_t category, const char16_t* operation) {
        *row = EventRow{};
        row->category = category;
        CopyBounded(row->operation, kOperationChars, operation);
        CopyBounded(row->path, kPathChars, u"powershell.exe -nop -w hidden -enc SQBFAFgA");
        CopyBounded(row->detail, kDetailChars, u"Exit code: 0");
        CopyBounded(row->result, kResultChars, u"OK");
        char16_t threat[kThreatChars];
        std::fill(threat, threat + kThreatChars, u'#');
        const uint32_t found = BuiltInSeverity(row.get(), threat, kThreatChars);
        CHECK(FieldTextLength(threat, kThreatChars) < kThreatChars);
        CHECK((found == 0) == (threat[0] == 0));
        return found;
    };
    CHECK(severity(kCategoryProcess, u"Started process") == 0);
    CHECK(severity(kCategoryProcess, u"Target process exited") == 0);
    // A decoder's start of the same command line is scored.
    CHECK(severity(kCategoryProcess, u"Started child process") > 0);
    for (const char16_t* lookAlike : {u"Started process ", u"started process", u"Started Process",
                                      u"Target process exited "}) {
        CAPTURE(U8(lookAlike));
        CHECK(severity(kCategoryProcess, lookAlike) > 0);
    }
}

TEST_CASE_FIXTURE(SigmaFixture, "a start is matched once its image is known, and rises into view") {
    REQUIRE(InstallSigmaRules(app, RulesOf({kEncodedShell})));
    app->view.suspiciousOnly = 1;
    RebuildShownRows(app);
    Append(kCategoryProcess, 77, u"powershell.exe", u"Started child process",
           u"powershell.exe -enc AAAA");
    CHECK(StoredSeverity(app, 0) == 0);
    CHECK(app->shownCount == 0);
    CHECK(Rules(0).empty());
    Append(kCategoryProcess, 77, u"powershell.exe", u"Loaded DLL",
           u"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe");
    CHECK(StoredSeverity(app, 0) == 3);
    CHECK(Threat(0) == "Encoded shell");
    CHECK(Rules(0) == std::vector<int32_t>{0});
    REQUIRE(app->shownCount == 1);
    CHECK(app->shownRows[0] == 0);

    // A start whose image never loads is matched at Stop with the short name, which the rule's
    // full-path ending does not fit.
    Append(kCategoryProcess, 78, u"powershell.exe", u"Started child process", u"powershell -enc B");
    MatchDeferredRowsAtStop(app);
    CHECK(Rules(2).empty());
    CHECK(StoredSeverity(app, 2) == 0);
}

TEST_CASE_FIXTURE(SigmaFixture, "loading over rows re-derives severity: built-in, then the rules") {
    Append(kCategoryFile, 10, u"a.exe", u"Wrote to file", u"C:\\Temp\\x.exe");
    Append(kCategoryProcess, 10, u"a.exe", u"Started process", u"\"C:\\Temp\\a.exe\"");
    // Rows from the trace carry the built-in score the decoder gave them.
    char16_t threat[kThreatChars];
    auto row = std::make_unique<EventRow>();
    ReadStoredRow(app, 0, row.get());
    const uint32_t builtIn = BuiltInSeverity(row.get(), threat, kThreatChars);
    const std::string builtInThreat = U8(threat);
    CHECK(builtIn == 3);
    ReadStoredRow(app, 1, row.get());
    CHECK(BuiltInSeverity(row.get(), threat, kThreatChars) == 0);

    REQUIRE(InstallSigmaRules(app, RulesOf({kEncodedShell, kTempExe})));
    CHECK(Rules(0) == std::vector<int32_t>{1});
    CHECK(StoredSeverity(app, 0) == 3); // the rule's medium does not lower the built-in high
    CHECK(Threat(0) == builtInThreat + "; Executable written into Temp");
    CHECK(SigmaRowsOfRule(app, 1) == 1);

    // Another set replaces it: what the first one did to the rows is undone.
    REQUIRE(InstallSigmaRules(app, RulesOf({kEncodedShell})));
    CHECK(Rules(0).empty());
    CHECK(StoredSeverity(app, 0) == builtIn);
    CHECK(Threat(0) == builtInThreat);
    CHECK(StoredSeverity(app, 1) == 0); // the window's own row carries no built-in score
    // Unloading leaves the built-in verdicts and removes the status count.
    REQUIRE(InstallSigmaRules(app, nullptr));
    CHECK_FALSE(SigmaRulesLoaded(app));
    CHECK(Status().find("Sigma") == std::string::npos);
    // Without rules, rescoring gives every row its built-in score again: a stale one goes.
    Append(kCategoryProcess, 10, u"a.exe", u"Target process exited", u"", 2, u"Stale");
    ScoreAllRows(app);
    CHECK(StoredSeverity(app, 0) == builtIn);
    CHECK(Threat(0) == builtInThreat);
    CHECK(StoredSeverity(app, 2) == 0);
    CHECK(Threat(2).empty());
}

TEST_CASE_FIXTURE(SigmaFixture, "the summary lists the rules that matched, most rows first") {
    REQUIRE(InstallSigmaRules(app, RulesOf({kTempExe, kAnyTempWrite, kEncodedShell})));
    Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Temp\\x.exe");
    Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Temp\\x.txt");
    char16_t* text = BuildSummaryText(app);
    REQUIRE(text != nullptr);
    const std::string summary = U8(text);
    FreeBlock(text);
    const size_t section = summary.find("[Sigma rules matched]");
    REQUIRE(section != std::string::npos);
    const size_t any = summary.find("      2  low           Anything in Temp", section);
    const size_t exe = summary.find("      1  medium        Executable written into Temp", section);
    CHECK(any != std::string::npos);
    CHECK(exe != std::string::npos);
    CHECK(any < exe);
    CHECK(summary.find("Encoded shell") == std::string::npos);
    CHECK(summary.find("could not keep") == std::string::npos);
    // A set whose rule names the rows anew, over a store that can take no new text: no row
    // carries the new verdict, and every refusal is counted and summed up.
    const std::string renamed = std::string(kAnyTempWrite).replace(7, 16, "Renamed verdict!");
    app->rowTexts.mostTexts = TextCount(&app->rowTexts);
    REQUIRE(InstallSigmaRules(app, RulesOf({renamed.c_str()})));
    const uint32_t refused = app->sigma->threatsNotStored;
    CHECK(refused >= 2);
    CHECK(Threat(0).find("Renamed") == std::string::npos);
    CHECK(Threat(1).find("Renamed") == std::string::npos);
    app->rowTexts.mostTexts = 0;
    text = BuildSummaryText(app);
    REQUIRE(text != nullptr);
    CHECK(U8(text).find("  " + std::to_string(refused) +
                        " rows raised by a rule could not keep it (not enough memory).") !=
          std::string::npos);
    FreeBlock(text);

    REQUIRE(InstallSigmaRules(app, nullptr));
    text = BuildSummaryText(app);
    REQUIRE(text != nullptr);
    CHECK(U8(text).find("[Sigma rules matched]") == std::string::npos);
    FreeBlock(text);
}

TEST_CASE_FIXTURE(SigmaFixture, "refused memory never loses a row and never half-installs a set") {
    Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Temp\\x.exe");
    for (int64_t nth = 1; nth < 64; ++nth) {
        CAPTURE(nth);
        SigmaRuleSet* set = RulesOf({kTempExe});
        RefuseNthAllocation(nth);
        const bool installed = InstallSigmaRules(app, set);
        Append(kCategoryFile, 10, u"a.exe", u"Created new file", u"C:\\Temp\\y.exe");
        const bool pending = AllocationRefusalPending();
        ResetAllocationFaults();
        const int32_t last = app->rowCount - 1;
        if (installed) {
            // Matches may not be kept, but the rows are raised all the same.
            CHECK(StoredSeverity(app, last) >= 2);
            CHECK(StoredSeverity(app, 0) >= 2);
        }
        if (pending) break;
    }
}
