// The recording lifecycle and the portable half of the main window's message handling: command
// dispatch, Start Monitoring, Stop, the failed-start reset, the timer tick, and the messages
// that the watcher thread and the trace thread post. Window thread only.
#pragma once

#include <cstdint>

#include "app/app_state.h"

namespace olv {

// The address of the product's web page opened by "About".
extern const char16_t kProductPageAddress[];

// WM_COMMAND: the control or menu identifier in the low word, the notification in the high word.
void DispatchCommand(AppState* app, uintptr_t wParam);

void StartMonitoring(AppState* app);
// Stop: does nothing unless a recording runs.
void StopMonitoring(AppState* app);
// Undoes any part of a start; safe when nothing was made.
void ResetFailedStart(AppState* app);

// WM_TIMER with its identifier (only TIMER_DRAIN is handled).
void HandleTimerTick(AppState* app, uintptr_t timerId);
// WM_APP_TARGET_EXITED with the program's exit code.
void HandleTargetExited(AppState* app, uintptr_t exitCode);
// WM_APP_TRACE_STOPPED with the heap text it carries (null is ignored); the text is freed here.
void HandleTraceStopped(AppState* app, intptr_t text);
// WM_DROPFILES with the first dropped file's name (null when it could not be read).
void HandleDroppedFile(AppState* app, const char16_t* name);
// WM_DESTROY: a running recording is stopped in full (the shell then posts WM_QUIT).
void HandleDestroy(AppState* app);

// Whether a name matches "*.exe" as PathMatchSpecW matches it, ignoring case.
bool IsExeFileName(const char16_t* name);

} // namespace olv
