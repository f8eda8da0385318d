// Help > "Check Recording on This Machine": the console program's self-test in the window. The
// check is a recording of the window's own (Start and Stop, the same trace sessions and
// accounting) of the helper program, which is this program started again with a hidden switch;
// when it stops (the helper and its child have ended, the time is up, or the user pressed Stop)
// the rows are judged as the console judges them and the table opens in a text window.
// The check replaces the rows held as Start does, so it is refused while rows are unsaved (and
// while a recording runs): it never discards a recording.
#pragma once

#include <cstdint>

#include "app/recording_setup.h"
#include "selftest/selftest.h"

namespace olv {

constexpr uint32_t kMachineCheckSeconds = 30; // the helper's time, as the console's default
constexpr uint32_t kMachineCheckGraceTicks = 10; // after the helper's tree has ended

struct MachineCheck {
    SelftestPlan plan;
    SelftestContext context;
    char16_t startFailure[600];
    uint32_t ticks;      // drain ticks since Start
    uint32_t endedTicks; // drain ticks since the helper's tree was seen ended
};

// The menu command: the plan made from the window's tempFolder, with the program itself
// (programPath) as the helper.
void StartMachineCheck(Recording* app);
// The same with a given plan and helper (the demonstration and the tests play the helper).
void StartMachineCheckWithPlan(Recording* app, const char16_t* helper, const SelftestPlan& plan);
// Each drain tick of a check: stops the recording once the helper's tree has ended (and a
// second more passed for the last events) or the check's time is up.
void MachineCheckTick(Recording* app);
// Called when a recording has stopped (StopMonitoring): judges the check's rows, shows the
// table and ends the check. Nothing when no check runs.
void FinishMachineCheck(Recording* app);
// A start failure while a check starts (the message Start shows), kept for the table.
void NoteMachineCheckStartFailure(Recording* app, const char16_t* failure);
// The trace ended by itself during a check.
void NoteMachineCheckTraceEnded(Recording* app);

// The text window's title.
extern const char16_t kMachineCheckTitle[];

} // namespace olv
