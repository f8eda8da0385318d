// Loading Sigma rule folders: the folder beside the program, what the user is told, a folder that
// cannot be read leaving the rules loaded before as they were, and the load on a worker behind a
// progress window (rows that arrive meanwhile, Cancel, no window or no thread).
#include "app/sigma_commands.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "app/commands.h"
#include "app/list_window_layout.h"
#include "app/sigma_load_job.h"
#include "app/window_layout.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_progress.h"
#include "platform/sim/headless_ui.h"
#include "platform/thread.h"
#include "base/text.h"
#include "sigma/sigma.h"
#include "support/text_check.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"
#include "views/view_texts.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

struct LoadFixture : HeadlessRecording {
    LoadFixture() {
        ClearRows(app);
    }
    std::string LastMessage() {
        const HeadlessMessageBox* box = HeadlessLastMessageBox();
        return box == nullptr ? std::string() : U8(box->text);
    }
};

std::u16string Folder(const char* relative) {
    const std::string path = std::string(OLV_SOURCE_DIR) + "/" + relative;
    return std::u16string(path.begin(), path.end());
}

} // namespace

TEST_CASE("the rules folder beside the program") {
    struct Case {
        const char16_t* program;
        const char* folder; // nullptr: none
    };
    const Case cases[] = {
        {u"C:\\Tools\\Olvetta\\Olvetta.exe", "C:\\Tools\\Olvetta\\rules"},
        {u"C:\\Olvetta.exe", "C:\\rules"},
        {u"/opt/olvetta/olvetta-replay", "/opt/olvetta/rules"},
        {u"Olvetta.exe", nullptr},
        {u"", nullptr},
    };
    for (const Case& c : cases) {
        char16_t out[64];
        const bool found = RulesFolderBeside(c.program, out, 64);
        CHECK(found == (c.folder != nullptr));
        if (c.folder != nullptr) CHECK(U8(out) == c.folder);
    }
    char16_t small[12];
    CHECK_FALSE(RulesFolderBeside(u"C:\\Tools\\Olvetta.exe", small, 12));
}

TEST_CASE_FIXTURE(LoadFixture, "a load says what was loaded; an unreadable folder changes nothing") {
    const std::u16string rules = Folder("tests/scenarios/sigma-rules");
    REQUIRE(LoadSigmaRulesFromFolder(app, rules.c_str(), false));
    CHECK(SigmaRuleCount(LoadedSigmaRules(app)) == 11);
    const std::string told = LastMessage();
    CHECK(told.rfind("Loaded 11 Sigma rules from ", 0) == 0);
    CHECK(told.find("3 files were refused; the Sigma Rules window (View menu) says why.") !=
          std::string::npos);
    CHECK(HeadlessLastMessageBox()->icon == kIconInformation);

    const std::u16string missing = Folder("tests/scenarios/no-such-rules");
    CHECK_FALSE(LoadSigmaRulesFromFolder(app, missing.c_str(), false));
    // Whole sentences, each ending with a full stop.
    CHECK(LastMessage() == "The Sigma rules could not be read from " + U8(missing.c_str()) +
                               ". The folder cannot be found. The rules loaded before are unchanged.");
    CHECK(HeadlessLastMessageBox()->icon == kIconError);
    CHECK(SigmaRuleCount(LoadedSigmaRules(app)) == 11);

    // Quiet: nothing shown.
    const uint32_t shown = HeadlessModel()->messageBoxCount;
    CHECK_FALSE(LoadSigmaRulesFromFolder(app, missing.c_str(), true));
    CHECK(HeadlessModel()->messageBoxCount == shown);
}

TEST_CASE_FIXTURE(LoadFixture, "the load as an operation returns its outcome and shows nothing") {
    const std::u16string rules = Folder("tests/scenarios/sigma-rules");
    const Outcome loaded = LoadSigmaRuleFiles(app, rules.c_str());
    CHECK(loaded.code == OutcomeCode::kOk);
    CHECK(loaded.icon == kIconInformation);
    CHECK(U8(loaded.text).rfind("Loaded 11 Sigma rules from ", 0) == 0);

    const std::u16string missing = Folder("tests/scenarios/no-such-rules");
    const Outcome refused = LoadSigmaRuleFiles(app, missing.c_str());
    CHECK(refused.code == OutcomeCode::kBadInput);
    CHECK(refused.icon == kIconError);
    CHECK(U8(refused.text).find("The folder cannot be found.") != std::string::npos);
    CHECK(SigmaRuleCount(LoadedSigmaRules(app)) == 11);

    // One piece of work at a time: refused with nothing to tell.
    app->sessionReading = 1;
    const Outcome busy = LoadSigmaRuleFiles(app, rules.c_str());
    app->sessionReading = 0;
    CHECK(busy.code == OutcomeCode::kBusy);
    CHECK_FALSE(OutcomeHasMessage(busy));
    CHECK(HeadlessModel()->messageBoxCount == 0);
}

TEST_CASE_FIXTURE(LoadFixture, "at start-up the rules folder beside the program is loaded quietly") {
    // The scenarios' folder stands in for the program's: its "rules" folder does not exist.
    const std::u16string program = Folder("tests/scenarios/olvetta");
    CHECK_FALSE(LoadRulesBesideProgram(app, program.c_str()));
    CHECK_FALSE(SigmaRulesLoaded(app));
    CHECK(U8(SigmaRecorderImageOf(app)) == U8(program.c_str()));
    CHECK(HeadlessModel()->messageBoxCount == 0);
}

TEST_CASE_FIXTURE(LoadFixture, "Load Sigma Rules: the folder picker, from the folder loaded last") {
    const std::u16string rules = Folder("tests/scenarios/sigma-rules");
    // Cancelled: nothing loaded, nothing said.
    HeadlessQueueDialogCancel();
    DispatchCommand(app, kCmdLoadSigmaRules);
    CHECK(HeadlessModel()->dialogCount == 1);
    CHECK(HeadlessModel()->lastDialog.folder == 1);
    CHECK(HeadlessModel()->lastDialog.owned == 1);
    CHECK(U8(HeadlessModel()->lastDialog.initialPath).empty());
    CHECK_FALSE(SigmaRulesLoaded(app));
    CHECK(HeadlessModel()->messageBoxCount == 0);

    HeadlessQueueDialogPath(rules.c_str());
    DispatchCommand(app, kCmdLoadSigmaRules);
    CHECK(SigmaRuleCount(LoadedSigmaRules(app)) == 11);
    CHECK(LastMessage().rfind("Loaded 11 Sigma rules from ", 0) == 0);
    char16_t status[kStatusTextChars];
    ComposeStatusText(app, status, kStatusTextChars);
    CHECK(U8(status).find("| 11 Sigma rules") != std::string::npos);

    // The next picker starts at that folder; a folder that cannot be read keeps the rules.
    const std::u16string missing = Folder("tests/scenarios/no-such-rules");
    HeadlessQueueDialogPath(missing.c_str());
    DispatchCommand(app, kCmdLoadSigmaRules);
    CHECK(U8(HeadlessModel()->lastDialog.initialPath) == U8(rules.c_str()));
    CHECK(HeadlessLastMessageBox()->icon == kIconError);
    CHECK(SigmaRuleCount(LoadedSigmaRules(app)) == 11);
}

TEST_CASE("the list window: its headline as high as its text, the search row, the list below") {
    struct Case {
        int width, height, dpi, headlineHeight;
        ControlRect headline, searchLabel, search, choiceLabel, choice, list;
    };
    const Case cases[] = {
        // Nothing measured yet: two lines.
        {900, 480, 96, 0, {8, 8, 884, 32}, {8, 50, 56, 18}, {64, 46, 540, 22},
         {610, 50, 56, 18}, {672, 46, 220, 160}, {0, 74, 900, 406}},
        // Three lines of text at this width: the row and the list move down with it.
        {900, 480, 96, 48, {8, 8, 884, 48}, {8, 66, 56, 18}, {64, 62, 540, 22},
         {610, 66, 56, 18}, {672, 62, 220, 160}, {0, 90, 900, 390}},
        // A narrow window wraps the text into many lines: at most six, scaled.
        {1350, 720, 144, 200, {12, 12, 1326, 144}, {12, 171, 84, 27}, {96, 165, 810, 33},
         {915, 171, 84, 27}, {1008, 165, 330, 240}, {0, 207, 1350, 513}},
        // Smaller than its parts: nothing negative.
        {10, 40, 96, 0, {8, 8, 0, 32}, {8, 50, 56, 18}, {64, 46, 0, 22}, {0, 50, 56, 18},
         {0, 46, 2, 160}, {0, 74, 10, 0}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.dpi);
        CAPTURE(c.headlineHeight);
        ListWindowLayout layout{};
        ComputeListWindowLayout(c.width, c.height, c.dpi, c.headlineHeight, &layout);
        const ControlRect* got[] = {&layout.headline, &layout.searchLabel, &layout.search,
                                    &layout.choiceLabel, &layout.choice, &layout.list};
        const ControlRect* want[] = {&c.headline, &c.searchLabel, &c.search,
                                     &c.choiceLabel, &c.choice, &c.list};
        for (int k = 0; k < 6; ++k) {
            CAPTURE(k);
            CHECK(got[k]->x == want[k]->x);
            CHECK(got[k]->y == want[k]->y);
            CHECK(got[k]->width == want[k]->width);
            CHECK(got[k]->height == want[k]->height);
        }
        CHECK(ListWindowHeadlineWidth(c.width, c.dpi) == c.headline.width);
    }
}

namespace {

const char kTempRule[] = "title: Executable written into Temp\nlevel: high\n"
                         "logsource: {product: windows, category: file_event}\n"
                         "detection:\n    sel:\n        TargetFilename|contains: '\\Temp\\'\n"
                         "    condition: sel\n";

// A folder of count copies of one rule file, made afresh.
std::u16string RuleFolder(const char* name, int count) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    for (int i = 0; i < count; ++i)
        std::ofstream(path / ("r" + std::to_string(i) + ".yml"), std::ios::binary) << kTempRule;
    const std::string text = path.string();
    return std::u16string(text.begin(), text.end());
}

void RemoveFolder(const std::u16string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(std::string(path.begin(), path.end()), ignored);
}

// What the window thread saw inside the progress window's first step.
struct DuringLoad {
    Recording* app = nullptr;
    bool loading = false;
    std::string status;
    uint32_t dialogsBefore = 0, dialogsAfter = 0;
};

void AppendTempRow(Recording* app) {
    EventRow row{};
    row.category = kCategoryFile;
    row.pid = 10;
    CopyBounded(row.process, kProcessChars, u"a.exe");
    CopyBounded(row.operation, kOperationChars, u"Created new file");
    CopyBounded(row.path, kPathChars, u"C:\\Users\\a\\AppData\\Local\\Temp\\x.exe");
    CopyBounded(row.result, kResultChars, u"OK");
    AppendRow(app, &row);
}

void AtFirstStep(void* context, uint32_t step) {
    DuringLoad* seen = static_cast<DuringLoad*>(context);
    if (step != 1) return;
    Recording* app = seen->app;
    seen->loading = app->sigmaLoading != 0;
    char16_t status[kStatusTextChars];
    ComposeStatusText(app, status, kStatusTextChars);
    seen->status = U8(status);
    // A row arrives, and the user asks for another load: the row waits for the new set, the
    // command is ignored while this one runs.
    AppendTempRow(app);
    seen->dialogsBefore = HeadlessModel()->dialogCount;
    DispatchCommand(app, kCmdLoadSigmaRules);
    seen->dialogsAfter = HeadlessModel()->dialogCount;
}

} // namespace

TEST_CASE_FIXTURE(LoadFixture, "a load runs on a worker behind a progress window; rows meanwhile get the new set") {
    const std::u16string path = RuleFolder("olvetta-sigmaload-worker", 30);
    DuringLoad seen;
    seen.app = app;
    HeadlessSetProgressStepHandler(&AtFirstStep, &seen);
    REQUIRE(LoadSigmaRulesFromFolder(app, path.c_str(), true));
    HeadlessSetProgressStepHandler(nullptr, nullptr);

    const HeadlessProgress* progress = HeadlessProgressModel();
    CHECK(progress->ends == 1);
    CHECK(progress->stepsOwnerEnabled == 0);
    CHECK(progress->strayCalls == 0);
    CHECK(seen.loading);
    CHECK(seen.status.find("| Loading Sigma rules: ") != std::string::npos);
    CHECK(seen.dialogsAfter == seen.dialogsBefore);
    CHECK(app->sigmaLoading == 0);

    // The row that arrived during the load was matched by the new rules once they were in place.
    REQUIRE(SigmaRuleCount(LoadedSigmaRules(app)) == 30);
    REQUIRE(app->rowCount == 1);
    int32_t rules[40];
    CHECK(SigmaRulesOfRow(app, 0, rules, 40) == 30);
    char16_t status[kStatusTextChars];
    ComposeStatusText(app, status, kStatusTextChars);
    CHECK(U8(status).find("| 30 Sigma rules, 0 files refused") != std::string::npos);
    RemoveFolder(path);
}

TEST_CASE_FIXTURE(LoadFixture, "Cancel keeps the rules loaded before, whenever it comes") {
    const std::u16string before = Folder("tests/scenarios/sigma-rules");
    REQUIRE(LoadSigmaRulesFromFolder(app, before.c_str(), true));
    REQUIRE(SigmaRuleCount(LoadedSigmaRules(app)) == 11);
    AppendTempRow(app);
    int32_t rules[40];
    const int32_t matchedBefore = SigmaRulesOfRow(app, 0, rules, 40);

    const std::u16string path = RuleFolder("olvetta-sigmaload-cancel", 20);
    HeadlessCancelProgressAtStep(1);
    CHECK_FALSE(LoadSigmaRulesFromFolder(app, path.c_str(), false));
    HeadlessCancelProgressAtStep(0);
    CHECK(LastMessage() == "Loading the Sigma rules was cancelled. The rules loaded before are unchanged.");
    CHECK(SigmaRuleCount(LoadedSigmaRules(app)) == 11);
    CHECK(U8(SigmaRuleFolder(LoadedSigmaRules(app))) == U8(before.c_str()));
    CHECK(SigmaRulesOfRow(app, 0, rules, 40) == matchedBefore);
    CHECK(HeadlessProgressModel()->shown == 0);
    CHECK(app->sigmaLoading == 0);
    CHECK(HeadlessModel()->controls[0].enabled != 0);
    RemoveFolder(path);
}

TEST_CASE_FIXTURE(LoadFixture, "without a progress window or a worker the folder is read on this thread") {
    const std::u16string path = RuleFolder("olvetta-sigmaload-inline", 3);
    HeadlessSetProgressBeginFails(true);
    REQUIRE(LoadSigmaRulesFromFolder(app, path.c_str(), true));
    HeadlessSetProgressBeginFails(false);
    CHECK(SigmaRuleCount(LoadedSigmaRules(app)) == 3);
    RefuseNthThreadStart(1);
    REQUIRE(LoadSigmaRulesFromFolder(app, path.c_str(), true));
    RefuseNthThreadStart(0);
    CHECK(SigmaRuleCount(LoadedSigmaRules(app)) == 3);
    CHECK(HeadlessProgressModel()->shown == 0);
    RemoveFolder(path);
}

TEST_CASE("a load asked to stop reads no file and says it was cancelled") {
    const std::u16string path = RuleFolder("olvetta-sigmaload-job", 5);
    SigmaLoadProgress stopped{};
    stopped.cancel = 1;
    SigmaRuleSet* partial = LoadSigmaRuleFolderWatched(path.c_str(), &stopped);
    REQUIRE(partial != nullptr);
    CHECK(SigmaRuleCount(partial) == 0);
    CHECK(stopped.total == 5);
    CHECK(U8(SigmaRuleFolderError(partial)) == "The load was cancelled.");
    FreeSigmaRuleSet(partial);
    RemoveFolder(path);
}
