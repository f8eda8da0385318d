#include "platform/lock.h"

#include "platform/guarded_call.h"

#include <pthread.h>

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

static_assert(sizeof(pthread_cond_t) <= sizeof(Condition::storage));

namespace {
pthread_cond_t* Variable(Condition* condition) {
    return reinterpret_cast<pthread_cond_t*>(condition->storage);
}
} // namespace

void InitCondition(Condition* condition) {
    pthread_cond_init(Variable(condition), nullptr);
    condition->initialised = 1;
}

void DeleteCondition(Condition* condition) {
    if (condition->initialised == 0) return;
    pthread_cond_destroy(Variable(condition));
    condition->initialised = 0;
}

void WaitCondition(Condition* condition, Lock* lock) {
    // The recursive mutex is entered once by this thread, so the wait releases it whole.
    auto* mutex = std::launder(reinterpret_cast<std::recursive_mutex*>(lock->storage));
    pthread_cond_wait(Variable(condition), mutex->native_handle());
}

void WakeAllCondition(Condition* condition) {
    pthread_cond_broadcast(Variable(condition));
}

} // namespace olv
