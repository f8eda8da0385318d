#include "platform/lock.h"

#include "platform/guarded_call.h"

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
    GuardedLockEntered(lock);
}
void LeaveLock(Lock* lock) {
    GuardedLockLeft(lock);
    std::launder(reinterpret_cast<std::recursive_mutex*>(lock->storage))->unlock();
}

} // namespace olv
