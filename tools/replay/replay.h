// Recording a scenario through the program's own code on the stand-ins: the headless main window,
// the simulated trace service and the scripted launcher. docs/scenarios.md describes the run.
#pragma once

#include <cstddef>

#include "app/recording_setup.h"
#include "scenario.h"

namespace olv::replay {

// Records the scenario into app, which is initialised and wired to the headless controls; the
// caller has set the answers of questions. On return the recording has stopped (or never
// started, when Start failed and said so in a message box). False only when the stand-ins did
// not do what the scenario asked of them in time, with a message in error.
bool RecordScenario(Recording* app, const Scenario* scenario, char* error, size_t errorCapacity);

} // namespace olv::replay
