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

// A condition variable, as a Windows CONDITION_VARIABLE is, used with a Lock.
struct Condition {
    alignas(16) unsigned char storage[64];
    unsigned char initialised;
};

void InitCondition(Condition* condition);
void DeleteCondition(Condition* condition); // safe on one that was never initialised
// Leaves the lock (entered once by this thread), waits until the condition is woken, and enters
// the lock again. It may also return without a wake: callers test what they wait for again.
void WaitCondition(Condition* condition, Lock* lock);
void WakeAllCondition(Condition* condition);

// Holds a lock for one scope.
struct LockGuard {
    Lock* lock;
    explicit LockGuard(Lock* l) : lock(l) { EnterLock(lock); }
    ~LockGuard() { LeaveLock(lock); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
};

} // namespace olv
