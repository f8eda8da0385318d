// Plays a scenario through the simulated trace sessions at a pace a person can follow, for the
// two demonstrations (the window and the console program): it lets the scenario's events through
// the sessions' gates in file order, moves the clock to their time stamps, fires the scenario's
// actions (the program ends, a session ends, the user's Stop) and, once everything was played,
// asks for the Stop. Runs on a thread of its own while the front end records.
#pragma once

#include <cstdint>

#include "scenario.h"

namespace olv::replay {

struct ScenarioPlayHooks {
    // False once the play must end at once (the front end quits, or this recording is over).
    bool (*current)(void* context);
    // The user's Stop: the scenario's stop action, its end, or the --seconds limit.
    void (*stop)(void* context);
    void* context;
    uint32_t playMs;   // how long the whole scenario plays; 0: about four seconds
    uint32_t settleMs; // after the last event, before the Stop; 0: half a second
    uint32_t seconds;  // no event past this much of the scenario's clock is played; 0: no limit
};

// The stand-ins must have been scripted for the scenario (ScriptScenarioStandIns) and the
// recording started.
void PlayScenario(const Scenario* scenario, const ScenarioPlayHooks* hooks);

} // namespace olv::replay
