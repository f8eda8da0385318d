// The launched program: a process created suspended, the job object that holds it and its
// children, and the event and wait with which a watcher thread learns of the program's end.
//
// Handles are opaque (null: none). Failures report the system's error number where the caller
// can use it. Every call may come from any thread; a handle must not be closed while another
// thread waits on it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

// What creating a process gives: its handle, the handle of its main thread and both ids.
struct ProcessInfo {
    void* process; // handle, null when none
    void* thread;  // handle of the main thread, null when none
    uint32_t processId;
    uint32_t threadId;
};

constexpr uint32_t kStillActive = 259;          // exit code of a process that still runs
constexpr uint32_t kResumeFailed = 0xFFFFFFFFu; // ResumeMainThread could not resume
constexpr size_t kSystemErrorTextChars = 256;   // longest system message text taken

// How a program is created besides suspended (LaunchFlag bits).
enum LaunchFlag : uint32_t {
    // A console program gets a console of its own instead of this program's, so the signals of
    // this program's console (Ctrl+C, Ctrl+Break, its closing) do not reach it. A program
    // without a console is not affected.
    kLaunchOwnConsole = 1,
};

// Creates the program with its main thread suspended: applicationName is the EXE, commandLine
// the whole command line (the system may write into it while it works, so it must be writable);
// workingFolder null means this program's current folder; launchFlags LaunchFlag bits. No
// inherited handles, this program's environment, default startup information. On success fills
// *out; on failure *out is zeroed and the system's error is in *error (when error is not null).
bool CreateSuspendedProcess(const char16_t* applicationName, char16_t* commandLine,
                            const char16_t* workingFolder, uint32_t launchFlags, ProcessInfo* out,
                            uint32_t* error);

// An unnamed job object with default security; null on failure.
void* CreateJob();
// Sets the job's extended limit so that closing its last handle kills every process in it.
bool LimitJobKillOnClose(void* job);
bool AssignToJob(void* job, void* process);

// Resumes a thread; returns its previous suspend count, or kResumeFailed.
uint32_t ResumeMainThread(void* thread);

// Ends every process in the job / the process, with this exit code.
bool EndJob(void* job, uint32_t exitCode);
bool EndProcess(void* process, uint32_t exitCode);
// The exit code of the process (kStillActive while it runs); false when it cannot be read.
bool ReadExitCode(void* process, uint32_t* exitCode);

// A manual-reset event, not signalled, unnamed; null on failure.
void* CreateManualEvent();
bool SetManualEvent(void* event);

enum WaitOutcome : int {
    kWaitProcessEnded, // the process ended (reported first when both are signalled)
    kWaitEventSet,     // the event was set
    kWaitFailed,
};
// Waits without a time limit for the first of the process's end and the event; with a null
// event only for the process.
WaitOutcome WaitProcessOrEvent(void* process, void* event);

// Closes a handle of this interface; null is ignored.
void CloseSystemHandle(void* handle);

// The system's message text for an error number (from the system's message table, default
// language, no inserts filled in), at most kSystemErrorTextChars characters with the
// terminator and without a trailing line break. When the system has no text that fits:
// "Error <number>". The text is always terminated; capacity 0 writes nothing.
void SystemErrorText(uint32_t error, char16_t* out, size_t capacity);

} // namespace olv
