// Help > "Check Recording on This Machine" in the window's own state, on the headless model of
// the window and the simulated trace service: the helper's actions are played from the
// demonstration's self-test scenario, the table opens in a text window with the console's lines,
// and the check is refused while a recording runs or rows are unsaved.
#include "app/machine_check.h"
#include "doctest.h"

#include <string>

#include "app/commands.h"
#include "app/lifecycle.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "capture/script_logging.h"
#include "cli_pacer.h"
#include "platform/memory.h"
#include "platform/registry_values.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/headless_windows.h"
#include "platform/sim/sim_facts.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "platform/ui.h"
#include "scenario.h"
#include "support/text_check.h"
#include "views/row_store.h"

using namespace olv;

namespace {

// The table's count line with `missing` checks missing of all.
std::string Found(int missing) {
    return std::to_string(olv::kSelftestCheckCount - missing) + " of " +
           std::to_string(olv::kSelftestCheckCount) + " checks found";
}

struct Window {
    Recording* app = nullptr;
    replay::Scenario* scenario = nullptr;
    bool read = false;
    clidemo::CliPacer pacer{};

    explicit Window(const char* scenarioFile) {
        app = AllocRecord<Recording>();
        scenario = AllocRecord<replay::Scenario>();
        REQUIRE(app != nullptr);
        REQUIRE(scenario != nullptr);
        InitRecording(app);
        ResetHeadlessUi();
        ResetHeadlessWindows();
        WireControls(app, HeadlessControlHandle);
        const std::string path = std::string(OLV_SOURCE_DIR) + scenarioFile;
        char error[replay::kScenarioErrorChars] = {};
        read = replay::ReadScenario(path.c_str(), scenario, error, sizeof error);
        REQUIRE_MESSAGE(read, error);
        pacer.scenario = scenario;
        pacer.seconds = 30;
        pacer.playMs = 200;
        pacer.settleMs = 200;
        clidemo::ScriptPacer(&pacer);
    }
    ~Window() {
        clidemo::StopPacer(&pacer);
        CleanUpRecording(app);
        FreeBlock(app);
        if (read) replay::FreeScenario(scenario);
        FreeBlock(scenario);
        ResetHeadlessUi();
        ResetHeadlessWindows();
    }
};

SelftestPlan DemoPlan() {
    const char16_t* args[4] = {u"olvetta-selftest-demo",
                               u"C:\\Users\\analyst\\AppData\\Local\\Temp\\olvetta-selftest-demo",
                               u"50000", u"50016"};
    SelftestPlan plan{};
    REQUIRE(SelftestPlanFromArguments(args, 4, &plan));
    return plan;
}

// The window's timer and posted messages until the check has ended (bounded: 20 s).
bool TickUntilCheckEnded(Window* w) {
    for (int i = 0; i < 2000 && w->app->window->machineCheck != nullptr; ++i) {
        SleepMilliseconds(10);
        HandleTimerTick(w->app, TIMER_DRAIN);
        HeadlessPostedMessage m{};
        while (HeadlessTakePostedMessage(&m))
            HandlePostedMessage(w->app, m.message, m.wParam, m.lParam);
    }
    return w->app->window->machineCheck == nullptr;
}

std::string LastMessage() {
    const HeadlessUi* model = HeadlessModel();
    if (model->messageBoxCount == 0) return {};
    return U8(HeadlessMessageBoxAt(model->messageBoxCount - 1)->text);
}

} // namespace

TEST_CASE("the check records the helper in the window, shows the console's table, and keeps the "
          "user's path box") {
    Window w("/tools/cli_demo/selftest.jsonl");
    HeadlessSetText(kIdTargetEdit, u"C:\\samples\\mine.exe");
    StartMachineCheckWithPlan(w.app, w.scenario->programPath, DemoPlan());
    REQUIRE(w.app->recording != 0);
    REQUIRE(w.app->window->machineCheck != nullptr);
    REQUIRE(clidemo::StartPacer(&w.pacer));
    // While it runs the window is the recording window: Stop is there, the path box waits.
    REQUIRE(TickUntilCheckEnded(&w));
    CHECK(w.app->recording == 0);

    REQUIRE(HeadlessSummaryWindowCount() == 1);
    CHECK(U8(HeadlessSummaryTitle()) == "Check Recording on This Machine");
    const std::string table = U8(HeadlessSummaryText());
    CHECK(table.find("  found    Child process started    as \"Started child process\"\r\n") == 0);
    CHECK(table.find("  found    DNS query                as \"DNS query\"\r\n") !=
          std::string::npos);
    CHECK(table.find("MISSING") == std::string::npos);
    CHECK(table.find("\r\n\r\n" + Found(0) + "\r\n") != std::string::npos);
    char16_t path[64];
    UiGetText(w.app->window->targetEdit, path, 64);
    CHECK(U8(path) == "C:\\samples\\mine.exe");
}

TEST_CASE("the check switches script block logging on for its own recording: the policy goes "
          "back when it ends or is stopped, and the menu's choice stays the user's") {
    ClearSimulatedRegistry();
    for (bool stopped : {false, true}) {
        CAPTURE(stopped);
        Window w("/tools/cli_demo/selftest.jsonl");
        w.app->scriptLogging = 0; // the menu's item unchecked
        StartMachineCheckWithPlan(w.app, w.scenario->programPath, DemoPlan());
        REQUIRE(w.app->recording != 0);
        CHECK(ScriptLoggingValuesKept());
        CHECK(w.app->scriptLogging == 0);
        if (stopped) {
            DispatchCommand(w.app, kCmdStop);
        } else {
            REQUIRE(clidemo::StartPacer(&w.pacer));
            REQUIRE(TickUntilCheckEnded(&w));
        }
        CHECK(w.app->recording == 0);
        CHECK_FALSE(ScriptLoggingValuesKept());
        CHECK(w.app->scriptLogging == 0);
        const std::string table = U8(HeadlessSummaryText());
        CHECK(table.find(stopped ? "  MISSING  Script block ran         the helper did not finish"
                                 : "  found    Script block ran         as \"Ran script block\"") !=
              std::string::npos);
    }
    auto* read = AllocRecord<RegistryValue>();
    REQUIRE(read != nullptr);
    CHECK_FALSE(ReadRegistryValue(kScriptBlockLoggingKey, u"EnableScriptBlockLogging", read));
    FreeBlock(read);
    ClearSimulatedRegistry();
}

TEST_CASE("the user's Stop ends the check early, and the table says what did not arrive") {
    Window w("/tools/cli_demo/selftest.jsonl");
    StartMachineCheckWithPlan(w.app, w.scenario->programPath, DemoPlan());
    REQUIRE(w.app->recording != 0);
    DispatchCommand(w.app, kCmdStop); // before any event was let through
    CHECK(w.app->window->machineCheck == nullptr);
    REQUIRE(HeadlessSummaryWindowCount() == 1);
    const std::string table = U8(HeadlessSummaryText());
    CHECK(table.find("  MISSING  DNS query                the helper did not finish within the "
                     "time given (30 s, or until Stop)\r\n") != std::string::npos);
    CHECK(table.find(Found(kSelftestCheckCount)) != std::string::npos);
}

TEST_CASE("the check is refused while a recording runs and while rows are unsaved; the rows stay") {
    Window w("/tools/cli_demo/selftest.jsonl");
    SUBCASE("unsaved rows") {
        EventRow row{};
        CopyBounded(row.operation, kOperationChars, u"File created");
        AppendRow(w.app, &row);
        w.app->rowsUnsaved = 1;
        StartMachineCheckWithPlan(w.app, w.scenario->programPath, DemoPlan());
        CHECK(w.app->recording == 0);
        CHECK(w.app->rowCount == 1);
        CHECK(LastMessage().find("1 rows have not been saved") == 0);
    }
    SUBCASE("a recording") {
        HeadlessSetText(kIdTargetEdit, w.scenario->programPath);
        StartMonitoring(w.app);
        REQUIRE(w.app->recording != 0);
        DispatchCommand(w.app, kCmdCheckRecording);
        CHECK(w.app->window->machineCheck == nullptr);
        CHECK(LastMessage().find("A recording is running.") == 0);
        StopMonitoring(w.app);
    }
    SUBCASE("the program's file is not known: the menu command says so") {
        DispatchCommand(w.app, kCmdCheckRecording);
        CHECK(w.app->recording == 0);
        CHECK(LastMessage().find("The check cannot run") == 0);
    }
    CHECK(HeadlessSummaryWindowCount() == 0);
}

TEST_CASE("a start that fails shows every check missing with the start's message") {
    Window w("/tools/cli_demo/selftest.jsonl");
    StartMachineCheckWithPlan(w.app, u"C:\\nowhere\\missing.exe", DemoPlan());
    CHECK(w.app->recording == 0);
    CHECK(w.app->window->machineCheck == nullptr);
    // "File not found." is Start's own refusal before anything is made: no table then.
    CHECK(LastMessage() == "File not found.");
    CHECK(HeadlessSummaryWindowCount() == 0);
}
