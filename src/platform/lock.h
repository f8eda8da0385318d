// A recursive lock, as a Windows critical section is.
#pragma once

namespace olv {

struct Lock {
    alignas(16) unsigned char storage[64];
    unsigned char initialised;
};

void InitLock(Lock* lock);
void DeleteLock(Lock* lock); // safe on a lock that was never initialised
void EnterLock(Lock* lock);
void LeaveLock(Lock* lock);

// Holds a lock for one scope.
struct LockGuard {
    Lock* lock;
    explicit LockGuard(Lock* l) : lock(l) { EnterLock(lock); }
    ~LockGuard() { LeaveLock(lock); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
};

} // namespace olv
