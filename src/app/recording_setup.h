// The Recording's operations: its initial state and its release at the end of the run.
#pragma once

#include "record/recording.h"

namespace olv {

// Sets the initial state (every handle, pointer, count and flag zero; autoScroll on; locks made)
// and makes the window's record (MakeMainWindow; a run without a window frees it).
// The Recording is large: allocate it with AllocRecord or as a static, not on a thread's stack.
void InitRecording(Recording* app);
// Releases what the Recording owns, in order: the window's record, trace, launcher, fonts, heap
// blocks, locks.
void CleanUpRecording(Recording* app);
// Stops and frees the TraceController, if any, and clears `trace`.
void ReleaseTraceOf(Recording* app);
// Ends the examined program through EndTarget, frees the TargetLauncher, if any, and clears
// `launcher`.
void ReleaseLauncherOf(Recording* app);

} // namespace olv
