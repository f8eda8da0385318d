// Loading Sigma rule folders: the folder beside the program, what the user is told, and a folder
// that cannot be read leaving the rules loaded before as they were.
#include "app/sigma_commands.h"

#include <string>

#include "app/commands.h"
#include "app/list_window_layout.h"
#include "app/window_layout.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "sigma/sigma.h"
#include "support/text_check.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"
#include "views/view_texts.h"

using namespace olv;

namespace {

struct LoadFixture {
    AppState* app;
    LoadFixture() {
        ResetAllocationFaults();
        ResetHeadlessUi();
        app = AllocRecord<AppState>();
        InitAppState(app);
        WireControls(app, HeadlessControlHandle);
        ClearRows(app);
    }
    ~LoadFixture() {
        CleanUpAppState(app);
        FreeBlock(app);
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
