#include "platform/lock.h"

#include "platform/guarded_call.h"

#include <windows.h>

namespace olv {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(Lock::storage));

static CRITICAL_SECTION* Section(Lock* lock) {
    return reinterpret_cast<CRITICAL_SECTION*>(lock->storage);
}

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
    GuardedLockEntered(lock);
}
void LeaveLock(Lock* lock) {
    GuardedLockLeft(lock);
    LeaveCriticalSection(Section(lock));
}

static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(Condition::storage));

static CONDITION_VARIABLE* Variable(Condition* condition) {
    return reinterpret_cast<CONDITION_VARIABLE*>(condition->storage);
}

void InitCondition(Condition* condition) {
    InitializeConditionVariable(Variable(condition));
    condition->initialised = 1;
}

void DeleteCondition(Condition* condition) {
    condition->initialised = 0; // a condition variable holds nothing to release
}

void WaitCondition(Condition* condition, Lock* lock) {
    SleepConditionVariableCS(Variable(condition), Section(lock), INFINITE);
}

void WakeAllCondition(Condition* condition) {
    WakeAllConditionVariable(Variable(condition));
}

} // namespace olv
