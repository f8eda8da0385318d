// The recording lifecycle and the portable half of the main window's message handling: Start
// Monitoring, Stop, the failed-start reset, the timer tick, and the messages that the watcher
// thread and the trace thread post. Window thread only. Command dispatch: app/commands.h.
#pragma once

#include <cstdint>

#include "app/recording_setup.h"
#include "app/commands.h"
#include "capture/trace_controller.h"
#include "record/outcome.h"

namespace olv {

// The longest path a program is started from (MAX_PATH less the terminator), and the buffer
// the path box is read into: larger, so that a longer path is seen whole and refused rather than
// cut and started.
constexpr size_t kTargetPathChars = 260;
constexpr size_t kTargetTextChars = 1024;

// What a start needs: the program, its arguments, and who answers whether to take the kernel
// trace session from another program (null: the window's message box asks).
struct StartRequest {
    const char16_t* path;      // as given: not trimmed here
    const char16_t* arguments; // after the program's quoted path; null or empty: none
    TakeOverAnswer takeOver;
    void* takeOverContext;
};

// Whether a program can be started from path: kOk, or kBadInput with the message Start shows
// (no path, too long, not found).
Outcome CheckProgramPath(const char16_t* path);
// Start: clears the rows (a question about unsaved rows is the caller's, before the call), starts
// the trace sessions and the program, and returns kOk, or why nothing runs (the start undone):
// kBadInput, kNoMemory, kTraceError ("ETW: ..."), kLaunchError ("Launch: ..."); kBusy with no
// message while a recording runs. Shows nothing.
Outcome StartRecording(Recording* app, const StartRequest& request);
// Stop: kOk, or kProgramLeftRunning (warning) when the program could not be ended. Nothing
// happens unless a recording runs. Shows nothing; the machine check is the window's.
Outcome StopRecording(Recording* app);
// Clear: the rows are counted as cleared by the user (the files and the summary report them) and
// removed. Any question is the caller's.
Outcome ClearRecording(Recording* app);
// The trace session ended by itself (the heap text of WM_APP_TRACE_STOPPED, freed here; null
// gives kOk with nothing to tell): marks app->traceEndedEarly and returns kTraceError with the
// text, captioned "ETW Error". The caller then stops the recording.
Outcome TakeTraceStopped(Recording* app, intptr_t text);

// A front end without a window (no main window) collects here, on each tick, what the
// watcher and trace threads would have posted: the program's end becomes its row (as
// WM_APP_TARGET_EXITED), and the trace session's end is returned as TakeTraceStopped's outcome
// (kOk with no message when there is none); on kTraceError the caller stops the recording.
Outcome TakeThreadNotices(Recording* app);

// The window's Start: the path box read and trimmed, the path checked, the question about rows
// left from the last run, StartRecording, its outcome shown.
void StartMonitoring(Recording* app);
// Start Monitoring with arguments for the program after its quoted path (null or empty: none),
// as the console program starts it; the "Started process" row then shows the command line.
void StartMonitoringWithArguments(Recording* app, const char16_t* arguments);
// The window's Stop: StopRecording with its outcome shown, then the machine check judged.
void StopMonitoring(Recording* app);
// Undoes any part of a start; safe when nothing was made.
void ResetFailedStart(Recording* app);

// WM_TIMER with its identifier (TIMER_DRAIN; others are ignored).
void HandleTimerTick(Recording* app, uintptr_t timerId);
// WM_APP_TARGET_EXITED with the program's exit code.
void HandleTargetExited(Recording* app, uintptr_t exitCode);
// WM_APP_TRACE_STOPPED with the heap text it carries (null is ignored; the text is freed here):
// TakeTraceStopped's outcome shown, then the window's Stop.
void HandleTraceStopped(Recording* app, intptr_t text);
// WM_DROPFILES with the first dropped file's whole name (null when it could not be read): an EXE
// fills the path box, a session file is opened, anything else is refused with a message.
void HandleDroppedFile(Recording* app, const char16_t* name);
// The two messages other threads post (WM_APP_TARGET_EXITED, WM_APP_TRACE_STOPPED), for the
// window and for every other driver of the core; false for any other message.
bool HandlePostedMessage(Recording* app, uint32_t message, uintptr_t wParam, intptr_t lParam);
// WM_CLOSE and "Exit": whether the window may go. Asks first when rows would be lost (unsaved
// rows, or a recording that would be stopped).
bool HandleCloseRequest(Recording* app);
// "Clear": asks first when unsaved rows would be lost; on Yes the rows are counted as cleared by
// the user (the files and the summary report them) and removed.
void ClearRowsAsked(Recording* app);
// WM_DESTROY: a running recording is stopped in full (the shell then posts WM_QUIT).
void HandleDestroy(Recording* app);

// A path as "Copy as path" or a careless paste gives it: blanks (spaces, tabs, line breaks)
// around it and one pair of enclosing double quotes are removed, in place. Returns whether the
// text changed.
bool TrimPastedPath(char16_t* path);
// The message of a path too long to start a program from (Start and Browse both give it).
extern const char16_t kPathTooLong[];

// Whether a program path that cannot be found is on a drive letter that this process sees as a
// network drive or not at all (driveType: QueryDriveType of the path's drive): most likely a
// drive the signed-in user mapped, which programs run as administrator do not see, or see
// leading elsewhere.
bool OnUnseenMappedDrive(const char16_t* path, uint32_t driveType);
// Start's message for a program path that cannot be found: "File not found.", and for a path on
// such a drive what to choose instead (the network path, \\server\share\...).
void FormatProgramNotFound(const char16_t* path, uint32_t driveType, char16_t* out,
                           size_t capacity);

// Whether a name matches "*.exe" as PathMatchSpecW matches it, ignoring case.
bool IsExeFileName(const char16_t* name);
// Whether a name matches "*.ols" (a session file), ignoring case.
bool IsSessionFileName(const char16_t* name);
// A session file dropped on the window: opened as Open Session opens it, after the same
// question when unsaved rows would be lost; refused while a recording runs.
void OpenDroppedSession(Recording* app, const char16_t* path);

} // namespace olv
