// A call that survives a hardware fault inside it: the event callback decodes each record this
// way, so that a decoding fault costs one record instead of the trace thread.
//
// Windows: a vectored exception handler and a recovery point per guard. A fault (access
// violation, division by zero, illegal instruction, stack overflow, ...) of an instruction of
// this program's own image, on a thread inside a guard, resumes that thread at its guard, which
// returns false. Nothing between the guard and the fault is unwound, as with a structured-
// exception handler without unwinding; but every lock taken in between is left
// (platform/held_locks.h), so no other thread waits for it forever. A fault inside any other
// module (a system DLL) is not recovered: it ends the process as the system would, since that
// DLL's own locks and state cannot be put right from outside.
//
// Natively there is no fault recovery (the sanitizers own SIGSEGV); the recovery path is reached
// through RaiseSimulatedFault, which returns to the innermost guard of the thread.
#pragma once

#include <cstdint>

#include "platform/lock.h"

namespace olv {

using GuardedFunction = void (*)(void* context);

// Runs fn(context). True when it returned; false when a fault inside it was caught.
bool GuardedCall(GuardedFunction fn, void* context);

// Whether a fault at address may be recovered: it lies in [imageStart, imageEnd), the program's
// own image (an empty or unknown image recovers nothing).
inline bool FaultIsOurs(uintptr_t address, uintptr_t imageStart, uintptr_t imageEnd) {
    return imageStart < imageEnd && address >= imageStart && address < imageEnd;
}

// Called by EnterLock once it holds a lock and by LeaveLock before it releases one: a guard of
// this thread records the locks taken inside it, to leave them when it recovers (held_locks.h).
void GuardedLockEntered(Lock* lock);
void GuardedLockLeft(Lock* lock);

// Test hooks.
// Raises a fault as a decoding bug would. Windows: a real access violation (a write through a
// null pointer). Natively: returns to the innermost guard of this thread. Outside a guard the
// process ends, as with an unhandled fault.
void RaiseSimulatedFault();
// The next GuardedCall on this thread faults inside its guard before fn runs (the simulated
// trace service uses it for records marked to fault).
void ArmSimulatedFault();
// The nth lock entered inside a guarded call from now (any thread) faults right after it is
// taken; 0 switches this off. GuardedLockFaultPending: that entry has not come yet.
void FaultNthGuardedLockEntry(int64_t nth);
bool GuardedLockFaultPending();

} // namespace olv
