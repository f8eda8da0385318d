#include "pacer.h"

#include <cstdint>

#include "platform/sim/sim_process.h"
#include "platform/sim/sim_trace_service.h"
#include "platform/time.h"
#include "platform/ui.h"

namespace olv::demo {

using replay::Action;
using replay::EventInstance;
using replay::kSessionNames;
using replay::Scenario;

namespace {

constexpr DWORD kPlayMs = 4000;      // a scenario plays for about this long
constexpr DWORD kLongestStepMs = 100; // but never waits longer than this between events
constexpr uint32_t kMostSteps = 400;  // larger scenarios go through the gates in batches
constexpr DWORD kPollMs = 5;
constexpr DWORD kStallMs = 10000; // a session that delivers nothing for this long has ended

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
    uint32_t released[replay::kSessionCount];
    bool alive[replay::kSessionCount];
};

bool Current(const Play* play) {
    return !play->p->quit.load() && play->p->generation.load() == play->generation;
}

// Lets count more events of the session through and waits until they were handed to the event
// callback, so events of the two sessions reach the queue in file order.
void Deliver(Play* play, uint8_t session, uint32_t count) {
    const char16_t* name = kSessionNames[session];
    const uint32_t target = play->released[session] + count;
    SimTraceGateEvents(name, target);
    play->released[session] = target;
    uint32_t last = 0;
    for (DWORD stalled = 0; Current(play); Sleep(kPollMs)) {
        SimSessionInfo info{};
        if (!SimTraceQuerySession(name, &info) || info.processing == 0 ||
            info.delivered >= target) {
            play->alive[session] = info.processing != 0;
            return;
        }
        if (info.delivered != last) {
            last = info.delivered;
            stalled = 0;
        } else if ((stalled += kPollMs) >= kStallMs) {
            play->alive[session] = false;
            return;
        }
    }
}

void ClockTo(int64_t ticks) {
    const int64_t now = NowTicks();
    if (ticks > now) AdvanceClockOverride(ticks - now);
}

void PostStop(const Play* play) {
    if (Current(play)) {
        PostMessageW(play->p->window, WM_COMMAND, MAKEWPARAM(kIdStopButton, BN_CLICKED), 0);
    }
}

// An action of the scenario; false when it was the user's Stop.
bool Fire(Play* play, const Action& a) {
    switch (a.kind) {
    case replay::kActionExit:
        EndSimulatedProcess(a.code); // the watcher posts the end to the window
        return true;
    case replay::kActionTraceEnds:
        if (play->alive[a.session]) SimTraceEndSession(kSessionNames[a.session], a.code);
        play->alive[a.session] = false;
        return true;
    default:
        PostStop(play);
        return false;
    }
}

// The latest time stamp of the events the sessions deliver as they stop.
int64_t LastStopTime(const Scenario* sc) {
    int64_t last = INT64_MIN;
    for (uint8_t s = 0; s < replay::kSessionCount; ++s) {
        for (uint32_t i = 0; i < sc->stopCount[s]; ++i) {
            const int64_t t = InstanceTime(sc, &sc->instances[sc->stopStream[s][i]]);
            if (t > last) last = t;
        }
    }
    return last;
}

void PlayRecording(Pacer* p, uint32_t generation) {
    const Scenario* sc = p->scenario;
    Play play{p, generation, {}, {}};
    for (uint8_t s = 0; s < replay::kSessionCount; ++s) {
        SimTraceWaitIdle(kSessionNames[s]); // bounded: 10 seconds
        SimSessionInfo info{};
        play.alive[s] = SimTraceQuerySession(kSessionNames[s], &info) && info.processing != 0;
    }
    const uint32_t total = sc->runOrderCount;
    const uint32_t batch = total > kMostSteps ? (total + kMostSteps - 1) / kMostSteps : 1;
    const uint32_t steps = (total + batch - 1) / (batch == 0 ? 1 : batch);
    DWORD pause = steps > 0 ? kPlayMs / steps : 0;
    if (pause > kLongestStepMs) pause = kLongestStepMs;

    uint32_t pos = 0;
    int nextAction = 0;
    while (Current(&play)) {
        const uint64_t nextNumber =
            pos < total ? sc->instances[sc->runOrder[pos]].number : UINT64_MAX;
        while (nextAction < sc->actionCount && sc->actions[nextAction].afterEvent < nextNumber) {
            if (!Fire(&play, sc->actions[nextAction++])) return;
        }
        if (pos >= total) break;
        const EventInstance* first = &sc->instances[sc->runOrder[pos]];
        const uint64_t limit =
            nextAction < sc->actionCount ? sc->actions[nextAction].afterEvent : UINT64_MAX;
        uint32_t end = pos;
        while (end < total && end - pos < batch) {
            const EventInstance* inst = &sc->instances[sc->runOrder[end]];
            if (inst->session != first->session || inst->number > limit) break;
            ++end;
        }
        // Events of a session that does not run never arrive, as on Windows.
        if (play.alive[first->session]) {
            ClockTo(InstanceTime(sc, &sc->instances[sc->runOrder[end - 1]]));
            Deliver(&play, first->session, end - pos);
        }
        pos = end;
        Sleep(pause);
    }
    if (!Current(&play)) return;
    // The scenario has been played: give the window's timer a moment to take the last rows in
    // where the person can watch them arrive, then stop as the user would, once the clock has
    // reached the events the sessions deliver as they stop.
    Sleep(500);
    ClockTo(LastStopTime(sc));
    PostStop(&play);
}

} // namespace

void AttachPacer(Pacer* pacer, AppState* app) {
    pacer->app = app;
    pacer->window = static_cast<HWND>(app->mainWindow);
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
