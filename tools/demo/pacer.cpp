#include "pacer.h"

#include <cstdint>

#include "app/window_state.h"
#include "platform/ui.h"
#include "scenario_player.h"

namespace olv::demo {

namespace {

// The pacer of this process: the wrapped window procedure finds it here.
Pacer* gPacer = nullptr;

void ScriptAfresh(Pacer* p) {
    replay::ScriptScenarioStandIns(p->scenario, &p->streams);
    p->generation.fetch_add(1);
}

// Runs the window's own procedure and watches the recording flag change on the window thread:
// a new recording is announced to the pacer; after one has ended the stand-ins are scripted
// afresh, so the next Start plays the scenario again.
LRESULT CALLBACK PacedWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Pacer* p = gPacer;
    const bool wasRecording = p->app->recording != 0;
    const LRESULT result = CallWindowProcW(p->windowProc, window, message, wParam, lParam);
    const bool recording = p->app->recording != 0;
    if (!wasRecording && recording) {
        p->started.store(p->generation.load());
    } else if (wasRecording && !recording) {
        ScriptAfresh(p);
    }
    return result;
}

struct Play {
    Pacer* p;
    uint32_t generation;
};

// This recording is still the one being played, and the demonstration goes on.
bool StillPlaying(void* context) {
    const Play* play = static_cast<const Play*>(context);
    return !play->p->quit.load() && play->p->generation.load() == play->generation;
}

// The user's Stop, as a click on the Stop button.
void PostStop(void* context) {
    if (!StillPlaying(context)) return;
    const Play* play = static_cast<const Play*>(context);
    PostMessageW(play->p->window, WM_COMMAND, MAKEWPARAM(kIdStopButton, BN_CLICKED), 0);
}

void PlayRecording(Pacer* p, uint32_t generation) {
    Play play{p, generation};
    replay::ScenarioPlayHooks hooks{};
    hooks.current = StillPlaying;
    hooks.stop = PostStop;
    hooks.context = &play;
    replay::PlayScenario(p->scenario, &hooks);
}

} // namespace

void AttachPacer(Pacer* pacer, Recording* app) {
    pacer->app = app;
    pacer->window = static_cast<HWND>(app->window->mainWindow);
    gPacer = pacer;
    ScriptAfresh(pacer);
    pacer->windowProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        pacer->window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PacedWindowProc)));
}

void RunPacer(Pacer* pacer) {
    uint32_t played = 0;
    while (!pacer->quit.load()) {
        const uint32_t started = pacer->started.load();
        if (started == 0 || started == played) {
            Sleep(20);
            continue;
        }
        played = started;
        PlayRecording(pacer, started);
    }
}

} // namespace olv::demo
