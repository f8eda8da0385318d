// olvetta-demo.exe: the program's own windows recording a scenario through the simulated trace
// service and the scripted launcher, so the real window can be watched and driven where Windows
// has no event tracing (Wine). One argument: a scenario file (docs/scenarios.md); without it the
// dropper scenario beside the executable.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <thread>

#include "app/win32/shell.h"
#include "base/text.h"
#include "pacer.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "scenario.h"
#include "stand_ins.h"

using namespace olv;

namespace {

constexpr wchar_t kTitle[] = L"Olvetta (demonstration)";
constexpr int kExitUsage = 2;

// The scenario's path as UTF-8 (the reader's argument): the first argument, else dropper.jsonl
// beside the executable. False when there are more arguments or a path does not fit.
bool ScenarioPath(char* out, size_t capacity) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc > 2) {
        LocalFree(argv);
        return false;
    }
    wchar_t path[MAX_PATH * 4] = {};
    if (argc == 2) {
        lstrcpynW(path, argv[1], MAX_PATH * 4);
    } else {
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
        wchar_t* slash = length > 0 ? wcsrchr(path, L'\\') : nullptr;
        if (slash == nullptr) {
            LocalFree(argv);
            return false;
        }
        lstrcpynW(slash + 1, L"dropper.jsonl", static_cast<int>(MAX_PATH * 4 - (slash + 1 - path)));
    }
    LocalFree(argv);
    return WideCharToMultiByte(CP_UTF8, 0, path, -1, out, static_cast<int>(capacity), nullptr,
                               nullptr) > 0;
}

void Refuse(const char* problem) {
    wchar_t text[1200];
    wchar_t wide[1024] = {};
    MultiByteToWideChar(CP_UTF8, 0, problem, -1, wide, 1024);
    wsprintfW(text,
              L"The scenario could not be read:\n\n%s\n\nUsage: olvetta-demo.exe [SCENARIO.jsonl]",
              wide);
    MessageBoxW(nullptr, text, kTitle, MB_ICONERROR);
}

void PutProgramInPathBox(Recording* app, void* context) {
    demo::Pacer* pacer = static_cast<demo::Pacer*>(context);
    UiSetText(app->window->targetEdit, pacer->scenario->programPath);
    // A scenario's facts stand for its machine's files and processes (none of this machine is
    // read); they need no file reader, so this build shows them as the native one does.
    static FactsWorkerConfig factsConfig;
    factsConfig = replay::ScenarioFactsConfig(pacer->scenario);
    app->factsConfig = &factsConfig;
    app->readFacts = replay::ScenarioHasFacts(pacer->scenario) ? 1 : 0;
    demo::AttachPacer(pacer, app);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    char path[MAX_PATH * 12] = {};
    if (!ScenarioPath(path, sizeof path)) {
        Refuse("one argument is taken: the scenario file");
        return kExitUsage;
    }
    // The scenario is large (its tables hold up to millions of events): a heap block.
    replay::Scenario* scenario = AllocRecord<replay::Scenario>();
    char error[1024] = {};
    if (scenario == nullptr || !replay::ReadScenario(path, scenario, error, sizeof error)) {
        Refuse(scenario == nullptr ? "not enough memory" : error);
        FreeBlock(scenario);
        return kExitUsage;
    }

    static demo::Pacer pacer;
    pacer.scenario = scenario;
    std::thread paceThread(demo::RunPacer, &pacer);
    // No single-instance check: the demonstration takes no kernel session from anybody.
    const ProgramOptions options{kTitle, nullptr, PutProgramInPathBox, &pacer, false};
    const int result = RunProgram(instance, showCommand, options);
    pacer.quit.store(true);
    paceThread.join();
    replay::FreeScenario(scenario);
    FreeBlock(scenario);
    return result;
}
