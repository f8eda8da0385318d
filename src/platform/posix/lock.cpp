#include "platform/lock.h"

#include "platform/guarded_call.h"
#include "platform/held_locks.h"

#include <mutex>
#include <new>

namespace olv {

static_assert(sizeof(std::recursive_mutex) <= sizeof(Lock::storage));

void InitLock(Lock* lock) {
    new (lock->storage) std::recursive_mutex();
    lock->initialised = 1;
}

void DeleteLock(Lock* lock) {
    if (lock->initialised == 0) return;
    std::launder(reinterpret_cast<std::recursive_mutex*>(lock->storage))->~recursive_mutex();
    lock->initialised = 0;
}

void EnterLock(Lock* lock) {
    std::launder(reinterpret_cast<std::recursive_mutex*>(lock->storage))->lock();
    NoteLockEntered(lock);
    if (tHeldLocks.guards > 0 && gGuardedLockFault.Fires()) RaiseSimulatedFault();
}
void LeaveLock(Lock* lock) {
    NoteLockLeft(lock);
    std::launder(reinterpret_cast<std::recursive_mutex*>(lock->storage))->unlock();
}

} // namespace olv
