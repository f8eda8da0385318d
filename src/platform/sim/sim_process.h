// The stand-in for the launched program (platform/process.h): simulated processes, job objects
// and events that tests and the replay tool script and observe.
//
// A created process gets the next scripted id (its main thread that id + 4) and stays suspended
// until its thread is resumed. It ends only when the script says so (EndSimulatedProcess: it
// ends by itself, and a watcher waiting on it wakes with kWaitProcessEnded), when it or its job
// is terminated, or when the last handle of its kill-on-close job is closed. Ending a process
// that has already ended fails, as the system refuses it. Failures are scripted one call at a
// time: the create (with a chosen error), each step of the job, the event, the resume, the
// termination (the programs keep running) and reading the exit code.
//
// Every call is thread-safe: the watcher waits on its own thread while the test scripts the
// program's end from another. Handles are checked: a null, closed, foreign or wrong kind of
// handle fails the call and is counted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

constexpr uint32_t kSimFirstProcessId = 4100;
constexpr size_t kSimProcessTextChars = 600; // texts kept of the last create call
constexpr uint32_t kSimJobCloseExitCode = 0; // exit code of processes killed by closing the job

enum SimProcessState : uint8_t {
    kSimProcessUnknown, // no process with that id
    kSimProcessSuspended,
    kSimProcessRunning,
    kSimProcessEnded,
};

enum SimEndCause : uint8_t {
    kSimNotEnded,
    kSimEndedByItself,         // EndSimulatedProcess
    kSimEndedByTermination,    // EndProcess
    kSimEndedByJobTermination, // EndJob
    kSimEndedByJobClose,       // the last handle of its kill-on-close job was closed
};

enum SimJobStep : int { kSimJobCreate, kSimJobLimit, kSimJobAssign };

struct SimProcessStatus {
    uint8_t state;     // SimProcessState
    uint8_t endCause;  // SimEndCause
    uint8_t inJob;     // assigned to a job that still exists
    uint32_t exitCode; // kStillActive until it ends
    uint32_t suspendCount;
    uint32_t parentId; // 0 for a process this program created
    uint32_t threadId;
};

// What the stand-in saw since the last reset.
struct SimProcessLog {
    uint32_t createCalls;
    uint32_t createsOk;
    // Arguments of the last create call (cut at kSimProcessTextChars - 1).
    char16_t applicationName[kSimProcessTextChars];
    char16_t commandLine[kSimProcessTextChars];
    char16_t workingFolder[kSimProcessTextChars];
    uint8_t workingFolderGiven; // 0: null, the current folder
    uint32_t launchFlags;       // LaunchFlag bits of the last create call
    uint32_t jobsCreated;
    uint32_t jobsLimited; // kill-on-close set
    uint32_t assignsOk;
    uint32_t resumeCalls;
    uint32_t resumesOk;
    uint32_t jobTerminations; // successful EndJob calls
    uint32_t lastJobExitCode;
    uint32_t processTerminations; // successful EndProcess calls
    uint32_t lastProcessExitCode;
    uint32_t terminationsFailed; // EndJob / EndProcess calls that failed
    uint32_t eventsCreated;
    uint32_t eventSets;
    uint32_t waitsStarted;
    uint32_t waitsByProcess; // waits that ended with kWaitProcessEnded
    uint32_t waitsByEvent;
    uint32_t waitsFailed;
    uint32_t waiting;           // threads inside WaitProcessOrEvent now
    uint32_t openHandles;       // process, thread, job and event handles not closed
    uint32_t badHandles;        // calls with a null, closed, foreign or wrong kind of handle
    uint32_t closedWhileWaited; // a handle closed while a thread waited on its object
};

// Forgets every process, job, event, handle, script and observation; ids start again at
// kSimFirstProcessId. Call it only while no thread waits.
void ResetSimProcesses();

// --- scripting ---
// The next process created (by this program or as a child) gets this id.
void SetSimNextProcessId(uint32_t processId);
// The next create fails with this system error.
void FailSimProcessCreate(uint32_t error);
// Called (outside the stand-in's lock) at the start of every process creation; null removes it.
void SetSimProcessCreateHook(void (*hook)(void* context), void* context);
// The next call of that job step fails.
void RefuseSimJob(SimJobStep step);
// The next manual event cannot be made.
void FailSimEventCreate();
// The next resume fails (kResumeFailed) and the thread stays suspended.
void FailSimResume();
// The next EndJob or EndProcess fails and every process keeps running.
void FailSimTermination();
// The next count exit code reads fail.
void FailSimExitCodeReads(uint32_t count);

// The last process this program created ends by itself with this exit code (a suspended one
// cannot). False when there is none or it is not running.
bool EndSimulatedProcess(uint32_t exitCode);
bool EndSimulatedProcessById(uint32_t processId, uint32_t exitCode);
// The running process parentId starts a child, which runs at once and belongs to the parent's
// job. Returns the child's id; 0 when the parent does not run or there is no room.
uint32_t StartSimChildProcess(uint32_t parentId);

// --- observing ---
// The id of the last process this program created; 0 when none.
uint32_t SimLastProcessId();
// False when no process had that id.
bool QuerySimProcess(uint32_t processId, SimProcessStatus* out);
void QuerySimProcessLog(SimProcessLog* out);
// Waits until at least count threads wait inside WaitProcessOrEvent; false after 10 seconds.
bool WaitSimWaiters(uint32_t count);

} // namespace olv
