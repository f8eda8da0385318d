// The demonstration's driver of the stand-ins: while the real window records, it lets the
// scenario's events through the simulated sessions' gates at a pace a person can follow, fires
// the scenario's actions (the program ends, a session ends, Stop), and stops the recording when
// the scenario has been played, as the replay tool does.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "app/recording_setup.h"
#include "stand_ins.h"

namespace olv::demo {

struct Pacer {
    const replay::Scenario* scenario;
    replay::ScenarioStreams streams;
    Recording* app;
    HWND window;
    WNDPROC windowProc;               // the main window's own procedure, which the demo wraps
    std::atomic<uint32_t> generation; // counts the times the stand-ins were scripted
    std::atomic<uint32_t> started;    // the generation whose recording started; 0: none yet
    std::atomic<bool> quit;
};

// Scripts the stand-ins for the scenario (gates closed) and wraps the main window's procedure
// so that the pacer learns of each Start and the stand-ins are scripted afresh after each Stop.
// Window thread.
void AttachPacer(Pacer* pacer, Recording* app);
// The pacer's thread: waits for a recording, plays it, waits for the next, until quit is set.
void RunPacer(Pacer* pacer);

} // namespace olv::demo
