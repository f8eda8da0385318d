#include "cli_pacer.h"

#include "cli/cli_run.h"
#include "scenario_player.h"

namespace olv::clidemo {

namespace {

bool StillPlaying(void* context) {
    return !static_cast<const CliPacer*>(context)->quit.load();
}

// The user's Stop: a stop request to the front end, as Ctrl+C would make one.
void EndRecording(void* context) {
    static_cast<CliPacer*>(context)->stoppedRecording.store(true);
    RequestCliEnd();
}

uint32_t PlayThread(void* argument) {
    CliPacer* p = static_cast<CliPacer*>(argument);
    replay::ScenarioPlayHooks hooks{};
    hooks.current = StillPlaying;
    hooks.stop = EndRecording;
    hooks.context = p;
    hooks.playMs = p->playMs;
    hooks.settleMs = p->settleMs;
    hooks.seconds = p->seconds;
    replay::PlayScenario(p->scenario, &hooks);
    return 0;
}

} // namespace

void ScriptPacer(CliPacer* pacer) {
    replay::ScriptScenarioStandIns(pacer->scenario, &pacer->streams);
}

bool StartPacer(CliPacer* pacer) {
    pacer->quit.store(false);
    pacer->stoppedRecording.store(false);
    pacer->thread = StartThread(PlayThread, pacer, nullptr);
    return pacer->thread != nullptr;
}

void StopPacer(CliPacer* pacer) {
    pacer->quit.store(true);
    JoinThread(pacer->thread);
    pacer->thread = nullptr;
}

} // namespace olv::clidemo
