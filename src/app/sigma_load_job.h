// A Sigma rule folder read and compiled on a worker thread while the window thread goes on: the
// worker only builds a new set, which no other thread sees until the window thread takes it, so a
// set is used by one thread at a time. The window thread keeps matching rows with the set loaded
// before; the new set, once installed, is applied to every row, those that arrived meanwhile too.
// Cancel stops the worker between files and leaves the rules loaded before in force.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/thread.h"
#include "sigma/sigma.h"

namespace olv {

constexpr size_t kSigmaLoadFolderChars = 600;

enum SigmaLoadState : uint32_t {
    kSigmaLoadIdle = 0, // nothing started, or the result was taken
    kSigmaLoadRunning,  // the worker reads the folder
    kSigmaLoadEnded,    // the worker ended; its set waits to be taken
};

// Zero-filled (AllocRecord); window thread only, except progress and result (see above).
struct SigmaLoadJob {
    SigmaLoadProgress progress;
    char16_t folder[kSigmaLoadFolderChars];
    ThreadHandle thread;
    SigmaRuleSet* result; // written by the worker before it ends
    uint32_t state;       // SigmaLoadState
    uint8_t cancelled;
};

// Starts reading folder on a worker. False (the job stays idle) when the folder does not fit or
// no thread can be started: the caller then reads it on its own thread.
bool StartSigmaLoad(SigmaLoadJob* job, const char16_t* folder);
// Waits at most ms for the worker to end; true once it has.
bool WaitSigmaLoad(SigmaLoadJob* job, uint32_t ms);
// Asks the worker to stop before its next file; what it built is discarded when taken.
void CancelSigmaLoad(SigmaLoadJob* job);
// Waits for the worker, then hands over its set: nullptr when the load was cancelled (the set is
// freed) or memory was refused. The job is idle again.
SigmaRuleSet* TakeSigmaLoadResult(SigmaLoadJob* job);

} // namespace olv
