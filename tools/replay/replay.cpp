#include "replay.h"

#include "stand_ins.h"

#include <cstdio>

#include "app/lifecycle.h"
#include "app/window_state.h"
#include "capture/event_queue.h"
#include "capture/trace_controller.h"
#include "platform/files.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/headless_windows.h"
#include "platform/sim/sim_drives.h"
#include "platform/sim/sim_event.h"
#include "platform/sim/sim_process.h"
#include "platform/sim/sim_trace_service.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "platform/ui.h"
#include "views/row_facts_flow.h"

namespace olv::replay {

namespace {

const char* const kSessionWords[kSessionCount] = {"kernel", "DNS"};

constexpr int64_t kTickTicks = 1000000;    // the timer's 100 ms in FILETIME ticks
constexpr int64_t kLongestIdleTicks = 600; // quiet ticks in a row before the clock jumps ahead
constexpr uint32_t kPostWaitMs = 10000;    // how long a posted message may take to arrive
constexpr uint32_t kStallMs = 10000;       // how long delivery may make no progress

struct Engine {
    Recording* app;
    const Scenario* sc;
    ScenarioStreams streams;
    uint32_t released[kSessionCount]; // run events let through the gate so far
    bool alive[kSessionCount];        // the session's consumer still delivers
    char* error;
    size_t errorCapacity;
    int quietTicks;
    bool factsStalled;
};

bool Fail(Engine* en, const char* what, uint8_t session) {
    std::snprintf(en->error, en->errorCapacity, "the simulated %s session %s",
                  kSessionWords[session], what);
    return false;
}

// Hands the messages that other threads posted to the window's handlers, oldest first.
void PumpPostedMessages(Recording* app) {
    HeadlessPostedMessage m{};
    while (HeadlessTakePostedMessage(&m)) {
        HandlePostedMessage(app, m.message, m.wParam, m.lParam);
    }
}

// Waits (bounded) until another thread has posted a message.
bool WaitForPostedMessage() {
    for (uint32_t waited = 0; HeadlessPostedCount() == 0; ++waited) {
        if (waited >= kPostWaitMs) return false;
        SleepMilliseconds(1);
    }
    return true;
}

// Waits (bounded) until the facts worker has read every request, so that the clock never makes
// an answer late: the rows get the same facts on every run.
bool FactsSettled(Engine* en) {
    for (uint32_t waited = 0; RowFactsPending(en->app) != 0; ++waited) {
        if (waited >= kPostWaitMs) {
            std::snprintf(en->error, en->errorCapacity,
                          "the facts stand-ins did not answer the rows' reads in time");
            return false;
        }
        SleepMilliseconds(1);
    }
    return true;
}

// One tick of the 100 ms timer.
void Tick(Engine* en) {
    if (!FactsSettled(en)) en->factsStalled = true;
    AdvanceClockOverride(kTickTicks);
    HandleTimerTick(en->app, TIMER_DRAIN);
    PumpPostedMessages(en->app);
}

// Lets count more run events of the session through and waits until they were handed to the
// event callback (and so decoded and queued).
bool Deliver(Engine* en, uint8_t session, uint32_t count) {
    const uint32_t target = en->released[session] + count;
    SimTraceGateEvents(kSessionNames[session], target);
    en->released[session] = target;
    // Polled rather than waited for: a waiter would be woken by every single event, which makes
    // a storm of events crawl. Gives up only after kStallMs without progress.
    uint32_t last = 0;
    uint32_t stalled = 0;
    for (;;) {
        SimSessionInfo info{};
        if (!SimTraceQuerySession(kSessionNames[session], &info))
            return Fail(en, "is not known to the trace service", session);
        if (info.delivered >= target) return true;
        if (info.processing == 0) return Fail(en, "stopped delivering its events", session);
        if (info.delivered != last) {
            last = info.delivered;
            stalled = 0;
        } else if (++stalled >= kStallMs) {
            return Fail(en, "did not deliver its events in time", session);
        }
        SleepMilliseconds(1);
    }
}

// After Start: both consumers either wait at their gate or have returned; a kernel consumer
// that returned has posted that the trace stopped, which the window then handles.
bool Settle(Engine* en) {
    for (uint8_t s = 0; s < kSessionCount; ++s) {
        if (!SimTraceWaitIdle(kSessionNames[s])) return Fail(en, "did not settle in time", s);
        SimSessionInfo info{};
        en->alive[s] = SimTraceQuerySession(kSessionNames[s], &info) && info.processing != 0;
    }
    if (en->app->recording != 0 && !en->alive[kKernelSession]) {
        if (!WaitForPostedMessage())
            return Fail(en, "ended without telling the window", kKernelSession);
        PumpPostedMessages(en->app);
    }
    return true;
}

bool Fire(Engine* en, const Action& a, bool* stopNow) {
    switch (a.kind) {
    case kActionStop:
        *stopNow = true;
        return true;
    case kActionExit:
        if (en->app->recording == 0 || !EndSimulatedProcess(a.code)) return true;
        if (!WaitForPostedMessage()) {
            std::snprintf(en->error, en->errorCapacity,
                          "the launcher did not report the program's end in time");
            return false;
        }
        PumpPostedMessages(en->app);
        return true;
    case kActionTraceEnds:
        if (!en->alive[a.session] || !SimTraceEndSession(kSessionNames[a.session], a.code))
            return true;
        en->alive[a.session] = false;
        if (!SimTraceWaitIdle(kSessionNames[a.session]))
            return Fail(en, "did not end in time", a.session);
        if (a.session == kKernelSession) {
            if (!WaitForPostedMessage())
                return Fail(en, "ended without telling the window", a.session);
            PumpPostedMessages(en->app);
        }
        return true;
    default:
        return true;
    }
}

void ScriptStandIns(Engine* en) {
    ResetHeadlessWindows();
    ScriptScenarioStandIns(en->sc, &en->streams);
}

} // namespace

bool RecordScenario(Recording* app, const Scenario* sc, char* error, size_t errorCapacity) {
    Engine en{};
    en.app = app;
    en.sc = sc;
    en.error = error;
    en.errorCapacity = errorCapacity;
    ScriptStandIns(&en);

    // The scenario's facts stand for its machine's files and processes.
    const FactsWorkerConfig factsConfig = ScenarioFactsConfig(sc);
    app->readFacts = ScenarioHasFacts(sc) ? 1 : 0;
    app->factsConfig = &factsConfig;
    UiSetText(app->window->targetEdit, sc->programPath);
    DispatchCommand(app, kIdStartButton);
    app->factsConfig = nullptr; // taken by Start
    if (app->recording == 0) return true; // the start failed and said why
    if (!Settle(&en)) return false;

    // Run events are delivered in file order, each once the clock has reached its time stamp;
    // consecutive events of one session go through its gate together. Between deliveries the
    // timer ticks. The actions of the scenario happen once every run event numbered up to their
    // afterEvent has been delivered.
    uint32_t pos = 0;
    int nextAction = 0;
    bool stopNow = false;
    while (app->recording != 0) {
        const uint64_t nextNumber =
            pos < sc->runOrderCount ? sc->instances[sc->runOrder[pos]].number : UINT64_MAX;
        while (!stopNow && app->recording != 0 && nextAction < sc->actionCount &&
               sc->actions[nextAction].afterEvent < nextNumber) {
            if (!Fire(&en, sc->actions[nextAction++], &stopNow)) return false;
        }
        if (stopNow || app->recording == 0 || pos >= sc->runOrderCount) break;

        const EventInstance* first = &sc->instances[sc->runOrder[pos]];
        const int64_t now = NowTicks();
        const int64_t due = InstanceTime(sc, first);
        if (due > now) {
            // Nothing is due: the timer ticks. A long quiet stretch with nothing waiting is
            // skipped, so that a scenario spanning hours does not tick through them.
            if (QueuedRowCount(app) == 0 && ++en.quietTicks > kLongestIdleTicks &&
                due - now > kTickTicks) {
                AdvanceClockOverride(((due - now) / kTickTicks) * kTickTicks);
                en.quietTicks = 0;
            }
            Tick(&en);
            continue;
        }
        en.quietTicks = 0;
        const uint64_t limit =
            nextAction < sc->actionCount ? sc->actions[nextAction].afterEvent : UINT64_MAX;
        uint32_t end = pos;
        while (end < sc->runOrderCount) {
            const EventInstance* inst = &sc->instances[sc->runOrder[end]];
            if (inst->session != first->session || InstanceTime(sc, inst) > now ||
                inst->number > limit) {
                break;
            }
            ++end;
        }
        // Events of a session that does not run (DNS off or ended, kernel ended) never arrive.
        if (en.alive[first->session] && !Deliver(&en, first->session, end - pos)) return false;
        pos = end;
    }

    // Every run event is in: the timer takes the queue in and goes on until the clock has
    // reached the last time stamp of the stop rundown; then the user stops.
    if (!stopNow) {
        for (int i = 0; i < 64 && app->recording != 0 && QueuedRowCount(app) > 0; ++i)
            Tick(&en);
        const int64_t stopAt = LastStopTime(sc);
        if (app->recording != 0 && stopAt > NowTicks()) {
            const int64_t ticks = (stopAt - NowTicks() + kTickTicks - 1) / kTickTicks;
            if (ticks > kLongestIdleTicks) AdvanceClockOverride((ticks - 1) * kTickTicks);
            while (app->recording != 0 && stopAt > NowTicks())
                Tick(&en);
        }
    }
    if (!FactsSettled(&en)) en.factsStalled = true;
    if (app->recording != 0) DispatchCommand(app, kIdStopButton);
    PumpPostedMessages(app);
    return !en.factsStalled;
}

} // namespace olv::replay
