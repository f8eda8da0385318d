// The console demonstration's driver of the stand-ins: while the console program records, it lets
// the scenario's events through the simulated sessions' gates at the demonstration's pace, moves
// the clock to their time stamps, fires the scenario's actions (the program ends, a session ends,
// the user's Stop as a stop request) and asks the recording to stop once the scenario has been
// played. It runs on a thread of its own, as the window demonstration's pacer does.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/thread.h"
#include "stand_ins.h"

namespace olv::clidemo {

struct CliPacer {
    const replay::Scenario* scenario;
    replay::ScenarioStreams streams;
    ThreadHandle thread;
    uint32_t playMs;   // how long a scenario plays; 0: about four seconds, as in the window
    uint32_t settleMs; // after the last event, before the stop; 0: half a second
    uint32_t seconds;  // --seconds: no event past this much of the scenario's clock is played
    std::atomic<bool> quit;
    std::atomic<bool> stoppedRecording; // the pacer asked for the stop (the scenario's end or stop)
};

// Scripts the stand-ins for the scenario, gates closed (before Start).
void ScriptPacer(CliPacer* pacer);
// Starts playing (after Start); false when the thread could not be made.
// stoppedRecording is cleared here.
bool StartPacer(CliPacer* pacer);
// Ends the playing and joins the thread (after Stop); safe when it never started.
void StopPacer(CliPacer* pacer);

} // namespace olv::clidemo
