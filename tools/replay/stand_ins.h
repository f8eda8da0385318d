// The stand-ins scripted from a scenario: what the simulated trace service, launcher, drives,
// clock and versions do when the program's own code records it. The replay tool drives them in
// lockstep with a simulated timer; the demonstration drives them in real time under the real
// window.
#pragma once

#include <cstdint>

#include "facts/facts_worker.h"
#include "scenario.h"

namespace olv::replay {

extern const char16_t* const kSessionNames[kSessionCount];

// The events one session's producer hands out: instances of the scenario, by stream index.
struct Stream {
    const Scenario* scenario;
    const uint32_t* instances;
    uint32_t count;
};

struct ScenarioStreams {
    Stream run[kSessionCount];
    Stream stop[kSessionCount];
};

// "Now" when Start is pressed: the clock line, else the first event's time stamp, else a fixed
// moment in December 2023.
int64_t ScenarioClockStart(const Scenario* sc);

// Resets the stand-ins and scripts them for the scenario: version, drives, the clock fixed at
// its start, the recorder's process id, the program (which exists), the launcher's failures,
// and both trace sessions with their events, rundowns, losses and failures. Both sessions'
// gates are closed: nothing is delivered until the driver raises them. streams must outlive the
// recording (the producers read it).
void ScriptScenarioStandIns(const Scenario* sc, ScenarioStreams* streams);

// Facts of the scenario's machine: its "facts" lines answer the trust check, the token and
// folder reads (the platform's stand-ins, scripted by ScriptScenarioStandIns) and, through this
// worker setting, the image reads, so that no file of this machine is read for a path of that
// one. Only a scenario with facts lines has the rows' facts read (readFacts). The image facts
// need no file reader: a build without one shows them alike.
bool ScenarioHasFacts(const Scenario* sc);
FactsWorkerConfig ScenarioFactsConfig(const Scenario* sc);
// The image facts a facts line gives for path; CannotOpen (file not found) for a path it does
// not name, as a file missing on this machine.
bool ReadScenarioImageFacts(void* scenario, const char16_t* path, ImageFacts* facts);

} // namespace olv::replay
