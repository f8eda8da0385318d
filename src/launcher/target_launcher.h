// TargetLauncher: the examined program, started suspended in a kill-on-close job, watched for its
// end, and ended with everything it started.
#pragma once

#include <cstdint>

#include "platform/thread.h"
#include "platform/ui.h"

namespace olv {

struct ProcessInfo {
    void* process; // handle, null when none
    void* thread;  // handle of the main thread, null when none
    uint32_t processId;
    uint32_t threadId;
};

struct TargetLauncher {
    char16_t errorText[256];
    ProcessInfo processInfo;
    void* job;       // null when there is no job object
    UiHandle notifyWindow;
    ThreadHandle watcherThread;
    void* stopEvent; // null when none
    uint8_t processHeld;
    uint8_t notEnded;
};

void InitLauncher(TargetLauncher* tl);
bool LaunchTarget(TargetLauncher* tl, const char16_t* path, UiHandle mainWindow);
bool ResumeTarget(TargetLauncher* tl);
void TargetExited(TargetLauncher* tl);
void EndTarget(TargetLauncher* tl);

} // namespace olv
