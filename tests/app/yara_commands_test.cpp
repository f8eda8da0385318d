// Loading YARA rule folders: the folder beside the program, File > "Load YARA Rules...", what the
// user is told of good, broken and hostile files (each refused file with its line and libyara's
// message), and a folder that cannot be read leaving the rules loaded before in force.
#include "app/yara_commands.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "app/commands.h"
#include "app/window_layout.h"
#include "doctest.h"
#include "facts/yara_rules.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "support/text_check.h"
#include "views/row_store.h"
#include "views/yara_rows.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

struct YaraLoadFixture : HeadlessRecordingInFolder {
    YaraLoadFixture() : HeadlessRecordingInFolder("olv_yara_load_") {
        std::filesystem::create_directories(dir / "yara");
    }
    void Rule(const char* name, const std::string& text) { Write("yara/" + std::string(name), text); }
    std::u16string Path(const char* relative) { return (dir / relative).u16string(); }
    std::string LastMessage() {
        const HeadlessMessageBox* box = HeadlessLastMessageBox();
        return box == nullptr ? std::string() : U8(box->text);
    }
    uint32_t Loaded() {
        const YaraRuleSet* set = LoadedYaraRules(app);
        return set == nullptr ? 0 : set->rulesLoaded;
    }
};

} // namespace

TEST_CASE("the yara folder beside the program") {
    char16_t out[64];
    CHECK(YaraFolderBeside(u"C:\\Tools\\Olvetta.exe", out, 64));
    CHECK(U8(out) == "C:\\Tools\\yara");
    CHECK(YaraFolderBeside(u"/opt/olv/olvetta-cli", out, 64));
    CHECK(U8(out) == "/opt/olv/yara");
    CHECK_FALSE(YaraFolderBeside(u"Olvetta.exe", out, 64)); // no folder
    CHECK(out[0] == 0);
    CHECK_FALSE(YaraFolderBeside(u"C:\\Tools\\Olvetta.exe", out, 12)); // does not fit
}

TEST_CASE_FIXTURE(YaraLoadFixture, "good, broken and hostile rule files: the good load, each "
                                   "refused one is listed with its line and message") {
    if (!YaraRulesAvailable()) {
        CHECK(U8(LoadYaraRuleFiles(app, Path("yara").c_str()).text) ==
              "YARA rules are not available in this build.");
        return;
    }
    Rule("good.yar", "rule one { strings: $a = \"one\" condition: $a }\n"
                     "rule two { condition: filesize > 10 }\n");
    Rule("broken.yar", "rule ok { condition: true }\n\nrule bad { condition: alpha }\n");
    Rule("huge.yara", "rule huge { strings: $a = \"" + std::string(500000, 'x') +
                          "\" condition: $a }\n");
    Rule("ignored.txt", "not a rule file");
    const Outcome outcome = LoadYaraRuleFiles(app, Path("yara").c_str());
    REQUIRE(OutcomeOk(outcome));
    CHECK(outcome.icon == kIconWarning);
    const std::string text = U8(outcome.text);
    CHECK(text.rfind("Loaded 2 YARA rules from 1 files of ", 0) == 0);
    CHECK(text.find(" 2 files were refused:\n  broken.yar, line 3 (syntax): undefined identifier "
                    "\"alpha\"") != std::string::npos);
    CHECK(text.find("\n  huge.yara, line 1 (syntax): ") != std::string::npos);
    CHECK(Loaded() == 2);

    // A folder that cannot be read keeps the rules loaded before.
    const Outcome missing = LoadYaraRuleFiles(app, Path("no-such-folder").c_str());
    CHECK_FALSE(OutcomeOk(missing));
    CHECK(U8(missing.text).find("The rules loaded before are unchanged.") != std::string::npos);
    CHECK(Loaded() == 2);
    // As does one where no file compiles.
    std::filesystem::remove(dir / "yara" / "good.yar");
    const Outcome none = LoadYaraRuleFiles(app, Path("yara").c_str());
    CHECK_FALSE(OutcomeOk(none));
    CHECK(U8(none.text).find("broken.yar, line 3") != std::string::npos);
    CHECK(Loaded() == 2);
}

TEST_CASE_FIXTURE(YaraLoadFixture, "at start-up the yara folder beside the program loads quietly; "
                                   "Load YARA Rules starts at the folder loaded last") {
    if (!YaraRulesAvailable()) return;
    Rule("a.yar", "rule a { condition: true }\n");
    CHECK(LoadYaraRulesBesideProgram(app, Path("Olvetta.exe").c_str()));
    CHECK(Loaded() == 1);
    CHECK(HeadlessModel()->messageBoxCount == 0);
    CHECK_FALSE(LoadYaraRulesBesideProgram(app, Path("sub/Olvetta.exe").c_str()));

    HeadlessQueueDialogCancel();
    DispatchCommand(app, kCmdLoadYaraRules);
    CHECK(HeadlessModel()->dialogCount == 1);
    CHECK(HeadlessModel()->lastDialog.folder == 1);
    CHECK(U8(HeadlessModel()->lastDialog.initialPath) == U8(Path("yara").c_str()));
    CHECK(HeadlessModel()->messageBoxCount == 0);

    Rule("b.yar", "rule b { condition: false }\nrule c { condition: false }\n");
    const std::u16string chosen = Path("yara");
    HeadlessQueueDialogPath(chosen.c_str());
    DispatchCommand(app, kCmdLoadYaraRules);
    CHECK(Loaded() == 3);
    CHECK(HeadlessLastMessageBox()->icon == kIconInformation);
    CHECK(LastMessage().rfind("Loaded 3 YARA rules from 2 files of ", 0) == 0);
}
