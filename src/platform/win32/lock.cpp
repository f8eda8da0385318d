#include "platform/lock.h"

#include "platform/guarded_call.h"
#include "platform/held_locks.h"

#include <windows.h>

namespace olv {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(Lock::storage));

static CRITICAL_SECTION* Section(Lock* lock) { return reinterpret_cast<CRITICAL_SECTION*>(lock->storage); }

void InitLock(Lock* lock) {
    InitializeCriticalSection(Section(lock));
    lock->initialised = 1;
}

void DeleteLock(Lock* lock) {
    if (lock->initialised == 0) return;
    DeleteCriticalSection(Section(lock));
    lock->initialised = 0;
}

void EnterLock(Lock* lock) {
    EnterCriticalSection(Section(lock));
    NoteLockEntered(lock);
    if (tHeldLocks.guards > 0 && gGuardedLockFault.Fires()) RaiseSimulatedFault();
}
void LeaveLock(Lock* lock) {
    NoteLockLeft(lock);
    LeaveCriticalSection(Section(lock));
}

} // namespace olv
