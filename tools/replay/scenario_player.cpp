#include "scenario_player.h"

#include "base/systime.h"
#include "platform/sim/sim_process.h"
#include "platform/sim/sim_trace_service.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "stand_ins.h"

namespace olv::replay {

namespace {

constexpr uint32_t kPlayMs = 4000;       // a scenario plays for about this long
constexpr uint32_t kLongestStepMs = 100; // but never waits longer than this between events
constexpr uint32_t kMostSteps = 400;     // larger scenarios go through the gates in batches
constexpr uint32_t kPollMs = 5;
constexpr uint32_t kStallMs = 10000; // a session that delivers nothing for this long has ended
constexpr uint32_t kSettleMs = 500;  // after the last event, before the Stop

struct Play {
    const ScenarioPlayHooks* hooks;
    uint32_t released[kSessionCount];
    bool alive[kSessionCount];
};

bool Current(const Play* play) {
    return play->hooks->current(play->hooks->context);
}

void Stop(const Play* play) {
    play->hooks->stop(play->hooks->context);
}

// Waits in small steps so that the end of the play is seen soon.
void Pause(const Play* play, uint32_t ms) {
    for (uint32_t waited = 0; waited < ms && Current(play); waited += kPollMs)
        SleepMilliseconds(kPollMs);
}

// Lets count more events of the session through and waits until they were handed to the event
// callback, so events of the two sessions reach the queue in file order.
void Deliver(Play* play, uint8_t session, uint32_t count) {
    const char16_t* name = kSessionNames[session];
    const uint32_t target = play->released[session] + count;
    SimTraceGateEvents(name, target);
    play->released[session] = target;
    uint32_t last = 0;
    for (uint32_t stalled = 0; Current(play); SleepMilliseconds(kPollMs)) {
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

// An action of the scenario; false when it was the user's Stop.
bool Fire(Play* play, const Action& a) {
    switch (a.kind) {
    case kActionExit:
        EndSimulatedProcess(a.code); // the watcher tells the front end
        return true;
    case kActionTraceEnds:
        if (play->alive[a.session]) SimTraceEndSession(kSessionNames[a.session], a.code);
        play->alive[a.session] = false;
        return true;
    default:
        Stop(play);
        return false;
    }
}

} // namespace

void PlayScenario(const Scenario* sc, const ScenarioPlayHooks* hooks) {
    Play play{hooks, {}, {}};
    for (uint8_t s = 0; s < kSessionCount; ++s) {
        SimTraceWaitIdle(kSessionNames[s]); // bounded: 10 seconds
        SimSessionInfo info{};
        play.alive[s] = SimTraceQuerySession(kSessionNames[s], &info) && info.processing != 0;
    }
    const uint32_t total = sc->runOrderCount;
    const uint32_t batch = total > kMostSteps ? (total + kMostSteps - 1) / kMostSteps : 1;
    const uint32_t steps = (total + batch - 1) / batch;
    const uint32_t playMs = hooks->playMs != 0 ? hooks->playMs : kPlayMs;
    uint32_t pause = steps > 0 ? playMs / steps : 0;
    if (pause > kLongestStepMs) pause = kLongestStepMs;

    // The seconds limit is on the scenario's clock: an event past it is not played; the clock is
    // moved to the limit and the recording stops there, as a front end's own check would stop it
    // on a real clock.
    const int64_t until =
        hooks->seconds != 0 ? NowTicks() + int64_t{hooks->seconds} * kTicksPerSecond : INT64_MAX;
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
        if (InstanceTime(sc, &sc->instances[sc->runOrder[end - 1]]) > until) {
            while (end > pos && InstanceTime(sc, &sc->instances[sc->runOrder[end - 1]]) > until)
                --end;
            if (end == pos) {
                ClockTo(until);
                Stop(&play);
                return;
            }
        }
        // Events of a session that does not run never arrive, as on Windows.
        if (play.alive[first->session]) {
            ClockTo(InstanceTime(sc, &sc->instances[sc->runOrder[end - 1]]));
            Deliver(&play, first->session, end - pos);
        }
        pos = end;
        Pause(&play, pause);
    }
    if (!Current(&play)) return;
    // Played: the front end's timer takes the last rows in (where a person can watch them
    // arrive), then the user stops, once the clock has reached the events the sessions deliver
    // as they stop.
    Pause(&play, hooks->settleMs != 0 ? hooks->settleMs : kSettleMs);
    if (!Current(&play)) return;
    ClockTo(LastStopTime(sc));
    Stop(&play);
}

} // namespace olv::replay
