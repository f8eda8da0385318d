// olvetta-cli-demo: the console program's front end on the simulated trace service and the
// scripted launcher. `--scenario FILE` before the verb plays that scenario instead of tracing
// (default: the dropper scenario beside the executable, and for selftest the self-test's own
// scenario, which plays the helper's actions); the program launched is the one the scenario
// names. Everything else is the console program's.
#include <cstring>

#include "base/format.h"
#include "base/text.h"
#include "cli/cli_console.h"
#include "cli/cli_run.h"
#include "cli/cli_text.h"
#include "cli_pacer.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "scenario.h"

using namespace olv;

namespace {

// The self-test scenario's plan: the names its events carry.
const char16_t* const kDemoPlan[4] = {
    u"olvetta-selftest-demo", u"C:\\Users\\analyst\\AppData\\Local\\Temp\\olvetta-selftest-demo",
    u"50000", u"50016"};

struct Demo {
    replay::Scenario* scenario;
    bool scenarioRead;
    clidemo::CliPacer pacer;
    CliPlatform* platform;
};

bool Prepare(void* context, const CliOptions* o, bool selftest, char16_t* program, size_t capacity,
             char16_t* problem, size_t problemCapacity) {
    Demo* demo = static_cast<Demo*>(context);
    char16_t path[1024];
    if (o->scenario != nullptr) {
        CopyBounded(path, 1024, o->scenario);
    } else {
        FormatText(path, 1024, u"%s%c%s", demo->platform->executableFolder,
                   demo->platform->pathSeparator, selftest ? u"selftest.jsonl" : u"dropper.jsonl");
    }
    char path8[4096];
    Utf16ToUtf8(path, TextLength(path), path8, sizeof path8);
    char error[replay::kScenarioErrorChars] = {};
    if (demo->scenarioRead) replay::FreeScenario(demo->scenario);
    demo->scenarioRead = replay::ReadScenario(path8, demo->scenario, error, sizeof error);
    if (!demo->scenarioRead) {
        char16_t wide[replay::kScenarioErrorChars] = {};
        for (size_t i = 0; error[i] != 0 && i + 1 < replay::kScenarioErrorChars; ++i)
            wide[i] = static_cast<unsigned char>(error[i]) < 0x80 ? error[i] : u'?';
        FormatText(problem, problemCapacity, u"The scenario could not be read: %s", wide);
        return false;
    }
    demo->pacer.scenario = demo->scenario;
    demo->pacer.seconds = o->seconds;
    clidemo::ScriptPacer(&demo->pacer);
    CopyBounded(program, capacity, demo->scenario->programPath);
    return true;
}

void Started(void* context, Recording*) {
    Demo* demo = static_cast<Demo*>(context);
    if (!clidemo::StartPacer(&demo->pacer)) RequestCliEnd();
}

// Paced for people, as the window's demonstration is: after a Ctrl+C the person gets a second
// to press it again (which leaves the exports out) before the files are written.
constexpr uint32_t kSecondInterruptMs = 1000;

void Ended(void* context, Recording*) {
    Demo* demo = static_cast<Demo*>(context);
    clidemo::StopPacer(&demo->pacer);
    if (demo->pacer.stoppedRecording.load() || CliStopLevel() != 1) return;
    for (uint32_t waited = 0; waited < kSecondInterruptMs && CliStopLevel() < 2; waited += 10)
        SleepMilliseconds(10);
}

void DemoPlan(void*, SelftestPlan* plan) {
    SelftestPlanFromArguments(kDemoPlan, 4, plan);
}

} // namespace

#ifdef _WIN32
int wmain(int, wchar_t**) {
    int argc = 0;
    char** argv = nullptr;
#else
int main(int argc, char** argv) {
#endif
    static Demo demo;
    demo.scenario = AllocRecord<replay::Scenario>();
    if (demo.scenario == nullptr) return kCliExitNotStarted;
    static CliPlatform platform;
    platform.context = &demo;
    platform.scenarioAllowed = true;
    platform.programName = u"olvetta-cli-demo";
    platform.prepareRecording = Prepare;
    platform.recordingStarted = Started;
    platform.recordingEnded = Ended;
    platform.selftestPlan = DemoPlan;
    demo.platform = &platform;
    const int status = RunConsoleProgram(argc, argv, &platform);
    if (demo.scenarioRead) replay::FreeScenario(demo.scenario);
    FreeBlock(demo.scenario);
    return status;
}
