// TargetLauncher: the examined program, started suspended in a kill-on-close job, watched for its
// end, and ended with everything it started.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/process.h" // ProcessInfo
#include "platform/thread.h"
#include "platform/ui.h"

namespace olv {

struct TargetLauncher {
    char16_t errorText[256];
    ProcessInfo processInfo;
    void* job; // null when there is no job object
    UiHandle notifyWindow;
    ThreadHandle watcherThread;
    void* stopEvent; // null when none
    uint8_t processHeld;
    uint8_t notEnded;
    // Without a window to post to, the watcher leaves the program's end here: the exit code,
    // then exitNotice set to 1 (atomic, release) for TakeExitNotice.
    uint32_t exitNoticeCode;
    uint32_t exitNotice;
    // The trace clock (TraceClockNow) just before the process was created: events of its id
    // stamped earlier belong to an earlier process of that id, those after to this one, the
    // image loads that creating it logs included.
    int64_t launchedAt;
};

constexpr size_t kLauncherPathChars = 259; // longest program path taken
// The longest command line the system takes (with its terminator): path and arguments together.
constexpr size_t kLauncherCommandLineChars = 32767;

// Every handle null, processInfo zero, both flags clear, errorText empty.
void InitLauncher(TargetLauncher* tl);
// Creates the program at path suspended, in its own folder, with its quoted path as its command
// line, puts it into a kill-on-close job when one can be made, and starts the watcher that posts
// WM_APP_TARGET_EXITED (the exit code in wParam) to mainWindow when the program ends by itself
// (with a null mainWindow it leaves the notice for TakeExitNotice).
// False with errorText set and nothing left behind when the program or the watcher could not be
// made. A launch without a job succeeds (job stays null).
bool LaunchTarget(TargetLauncher* tl, const char16_t* path, UiHandle mainWindow);
// The same with arguments after the quoted path (null or empty: none). arguments is passed as it
// is: quote each argument the way the program splits its command line (launcher/command_line.h). A command
// line longer than kLauncherCommandLineChars - 1 is refused, with errorText set.
bool LaunchTargetWithArguments(TargetLauncher* tl, const char16_t* path,
                               const char16_t* arguments, UiHandle mainWindow);
// A front end without a window: whether the program ended by itself since the last call, with
// its exit code (what WM_APP_TARGET_EXITED would have carried). Taken once.
bool TakeExitNotice(TargetLauncher* tl, uint32_t* exitCode);
// Lets the program run; false when there is none or its main thread could not be resumed.
bool ResumeTarget(TargetLauncher* tl);
// After WM_APP_TARGET_EXITED: stops the watcher and closes the process and thread handles; the
// job stays, so EndTarget still ends the children the program left behind.
void TargetExited(TargetLauncher* tl);
// Ends the program (the whole job when there is one), stops the watcher and closes every
// handle. notEnded is set when the program could not be ended and may still run. Any number of
// calls; a later one finds nothing and leaves notEnded clear.
void EndTarget(TargetLauncher* tl);

} // namespace olv
