// Loading Sigma rule folders: the folder beside the program, what the user is told, and a folder
// that cannot be read leaving the rules loaded before as they were.
#include "app/sigma_commands.h"

#include <string>

#include "app/window_layout.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "sigma/sigma.h"
#include "support/text_check.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"

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
    CHECK(LastMessage().find("The rules loaded before are unchanged.") != std::string::npos);
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
