// A recording wired to the headless controls, as the window thread sees one: the allocation
// hooks and the headless controls and windows reset before it is made and after it is cleaned
// up, so no test inherits another's refusals or window state.
#pragma once

#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/headless_windows.h"
#include "record/recording.h"
#include "support/test_folder.h"

namespace olv {

struct HeadlessRecording {
    Recording* app = nullptr;

    HeadlessRecording() {
        ResetAllocationFaults();
        ResetHeadlessUi();
        ResetHeadlessWindows();
        app = AllocRecord<Recording>();
        REQUIRE(app != nullptr);
        InitRecording(app);
        WireControls(app, HeadlessControlHandle);
    }
    ~HeadlessRecording() {
        // Cleaning up must not meet a refusal a test armed and never reached.
        ResetAllocationFaults();
        ResetHeadlessWindows();
        if (app != nullptr) CleanUpRecording(app);
        FreeBlock(app);
    }
    HeadlessRecording(const HeadlessRecording&) = delete;
    HeadlessRecording& operator=(const HeadlessRecording&) = delete;
};

// The same with a folder of its own for the files its rows name. The recording is cleaned up
// first (its workers stop reading the files), then the folder is removed.
struct HeadlessRecordingInFolder : TestFolder, HeadlessRecording {
    explicit HeadlessRecordingInFolder(const char* prefix) : TestFolder(prefix) {}
};

} // namespace olv
