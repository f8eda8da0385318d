// The examined program: created suspended in a kill-on-close job, watched by a thread of its own
// for its end, and ended together with everything it started.
#include "launcher/target_launcher.h"

#include "base/atomic.h"
#include "platform/error_message.h"

#include "base/format.h"
#include "base/text.h"
#include "platform/memory.h"
#include "platform/time.h"

namespace olv {

namespace {

constexpr uint32_t kEndExitCode = 1;
constexpr uint32_t kErrorFilenameTooLong = 206; // ERROR_FILENAME_EXCED_RANGE
constexpr size_t kFolderChars = kLauncherPathChars + 1;
constexpr size_t kCommandLineChars = 264;
constexpr uint32_t kErrorNotEnoughMemory = 8; // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kErrorBadArguments = 160;  // ERROR_BAD_ARGUMENTS

// A console program gets a console of its own, as it does when started from the desktop: the
// recorder's Ctrl+C, Ctrl+Break and console close then reach only the recorder, which stops the
// recording and ends the program as Stop does, so the record never shows an end the program did
// not choose. (A process group of its own would not do: Ctrl+Break and the close still reach
// every process of a console, and the group starts with Ctrl+C turned off in the program.)
constexpr uint32_t kTargetLaunchFlags = kLaunchOwnConsole;

const char16_t kWatcherFailedText[] =
    u"The thread that watches for the program ending could not be "
    u"created, so the program was not started.";

// The folder the program starts in: the path up to its last '\' or '/'. A root keeps its
// separator ("C:\x.exe" gives "C:\", "\x.exe" gives "\"), since "C:" alone names the current
// folder of drive C. False when the path has no separator: the program then starts in this
// program's current folder.
bool ProgramFolder(const char16_t* path, char16_t* folder, size_t capacity) {
    CopyBounded(folder, capacity, path);
    size_t last = 0;
    bool found = false;
    for (size_t i = 0; folder[i] != 0; ++i) {
        if (folder[i] == u'\\' || folder[i] == u'/') {
            last = i;
            found = true;
        }
    }
    if (!found) {
        folder[0] = 0;
        return false;
    }
    const bool root = last == 0 || (last == 2 && folder[1] == u':');
    folder[root ? last + 1 : last] = 0;
    return true;
}

void CloseAndClear(void** handle) {
    if (*handle != nullptr) {
        CloseSystemHandle(*handle);
        *handle = nullptr;
    }
}

// Runs on the watcher thread. It reads only what LaunchTarget set before the thread started and
// writes only the exit notice; the window thread joins it before it closes the handles.
uint32_t WatchTarget(void* argument) {
    TargetLauncher* tl = static_cast<TargetLauncher*>(argument);
    if (tl->processInfo.process == nullptr) return 0;
    if (WaitProcessOrEvent(tl->processInfo.process, tl->stopEvent) != kWaitProcessEnded) return 0;
    uint32_t exitCode = 0;
    if (!ReadExitCode(tl->processInfo.process, &exitCode)) exitCode = 0;
    if (tl->notifyWindow == nullptr) {
        tl->exitNoticeCode = exitCode;
        AtomicStore(tl->exitNotice, 1); // publishes the code
    } else if (UiIsWindow(tl->notifyWindow)) {
        UiPostMessage(tl->notifyWindow, WM_APP_TARGET_EXITED, exitCode, 0);
    }
    return 0;
}

// Releases the watcher (when it still waits), joins it and closes the stop event.
void StopWatcher(TargetLauncher* tl) {
    if (tl->watcherThread != nullptr) {
        if (tl->stopEvent != nullptr) SetManualEvent(tl->stopEvent);
        JoinThread(tl->watcherThread);
        tl->watcherThread = nullptr;
    }
    CloseAndClear(&tl->stopEvent);
}

void CloseProcessHandles(TargetLauncher* tl) {
    CloseAndClear(&tl->processInfo.process);
    CloseAndClear(&tl->processInfo.thread);
    tl->processHeld = 0;
}

} // namespace

bool TakeExitNotice(TargetLauncher* tl, uint32_t* exitCode) {
    if (tl == nullptr || AtomicExchange(tl->exitNotice, 0) == 0) return false;
    *exitCode = tl->exitNoticeCode;
    return true;
}

void InitLauncher(TargetLauncher* tl) {
    if (tl == nullptr) return;
    *tl = TargetLauncher{};
}

bool LaunchTarget(TargetLauncher* tl, const char16_t* path, UiHandle mainWindow) {
    return LaunchTargetWithArguments(tl, path, nullptr, mainWindow);
}

bool LaunchTargetWithArguments(TargetLauncher* tl, const char16_t* path,
                               const char16_t* arguments, UiHandle mainWindow) {
    if (tl == nullptr) return false;
    tl->errorText[0] = 0;
    tl->notifyWindow = mainWindow;
    tl->processInfo = ProcessInfo{};

    // A longer path would reach the program cut: a wrong folder and an unclosed quote.
    if (TextLength(path) > kLauncherPathChars) {
        SystemErrorMessage(kErrorFilenameTooLong, tl->errorText, 256);
        return false;
    }
    char16_t folder[kFolderChars];
    const bool hasFolder = ProgramFolder(path, folder, kFolderChars);
    // The command line: the quoted path, then the arguments as given (already quoted the way
    // the program will split them). A line the system would refuse is refused here, never cut.
    char16_t shortLine[kCommandLineChars];
    char16_t* commandLine = shortLine;
    const bool hasArguments = arguments != nullptr && arguments[0] != 0;
    if (hasArguments) {
        if (TextLength(path) + 3 + TextLength(arguments) >= kLauncherCommandLineChars) {
            SystemErrorText(kErrorBadArguments, tl->errorText, 256);
            return false;
        }
        commandLine = static_cast<char16_t*>(
            AllocZeroed(kLauncherCommandLineChars * sizeof(char16_t)));
        if (commandLine == nullptr) {
            SystemErrorText(kErrorNotEnoughMemory, tl->errorText, 256);
            return false;
        }
        FormatText(commandLine, kLauncherCommandLineChars, u"\"%s\" %s", path, arguments);
    } else {
        FormatText(commandLine, kCommandLineChars, u"\"%s\"", path);
    }

    uint32_t error = 0;
    tl->launchedAt = TraceClockNow();
    const bool created = CreateSuspendedProcess(path != nullptr ? path : u"", commandLine,
                                                hasFolder ? folder : nullptr, kTargetLaunchFlags,
                                                &tl->processInfo, &error);
    if (commandLine != shortLine) FreeBlock(commandLine);
    if (!created) {
        tl->processInfo = ProcessInfo{};
        SystemErrorMessage(error, tl->errorText, 256);
        return false;
    }
    tl->processHeld = 1;

    // Without a job the recording goes on; Stop then ends only the main process. The process
    // joins the job while still suspended, so everything it starts belongs to the job too.
    tl->job = CreateJob();
    if (tl->job != nullptr &&
        (!LimitJobKillOnClose(tl->job) || !AssignToJob(tl->job, tl->processInfo.process))) {
        CloseAndClear(&tl->job);
    }

    tl->stopEvent = CreateManualEvent();
    if (tl->stopEvent != nullptr) tl->watcherThread = StartThread(WatchTarget, tl, nullptr);
    if (tl->watcherThread != nullptr) return true;

    CopyBounded(tl->errorText, 256, kWatcherFailedText);
    if (tl->processInfo.process != nullptr) EndProcess(tl->processInfo.process, kEndExitCode);
    CloseAndClear(&tl->stopEvent);
    CloseProcessHandles(tl);
    CloseAndClear(&tl->job);
    tl->processInfo = ProcessInfo{};
    return false;
}

bool ResumeTarget(TargetLauncher* tl) {
    if (tl == nullptr || tl->processHeld == 0 || tl->processInfo.thread == nullptr) return false;
    return ResumeMainThread(tl->processInfo.thread) != kResumeFailed;
}

void TargetExited(TargetLauncher* tl) {
    if (tl == nullptr) return;
    StopWatcher(tl);
    CloseProcessHandles(tl);
}

void EndTarget(TargetLauncher* tl) {
    if (tl == nullptr) return;
    tl->notEnded = 0;
    if (tl->job != nullptr) {
        if (!EndJob(tl->job, kEndExitCode)) tl->notEnded = 1;
    } else if (tl->processHeld != 0 && tl->processInfo.process != nullptr) {
        if (!EndProcess(tl->processInfo.process, kEndExitCode)) {
            // A program that had already ended is not reported.
            uint32_t exitCode = 0;
            if (!ReadExitCode(tl->processInfo.process, &exitCode) || exitCode == kStillActive) {
                tl->notEnded = 1;
            }
        }
    }
    StopWatcher(tl);
    CloseProcessHandles(tl);
    // Closing the job also kills whatever is still in it.
    CloseAndClear(&tl->job);
}

} // namespace olv
