// The locks a guarded call took, kept in its frame, so that a guard that recovers from a fault
// can leave them. The recovery does not unwind: a lock entered between the guard and the fault
// would otherwise stay held, and the next thread to want it (Stop, repairing registry paths
// under the key table's lock) would wait forever.
//
// EnterLock and LeaveLock report to the innermost guard of the thread (GuardedLockEntered,
// GuardedLockLeft in platform/guarded_call.h); outside a guard that costs one look at the
// thread's guard chain and records nothing.
#pragma once

#include <cstdint>

#include "platform/fault_countdown.h"
#include "platform/lock.h"

namespace olv {

constexpr uint32_t kMostGuardedLocks = 8; // a decode holds at most one tracking lock at a time

// Written between a guard's capture and a possible fault, read after the recovery: volatile, as
// any object a setjmp-like return reads after it changed.
struct GuardLocks {
    Lock* volatile locks[kMostGuardedLocks];
    volatile uint32_t count;   // entries recorded, recursive entries each
    volatile uint32_t dropped; // entries beyond the record (cannot be left at a recovery)
};

// Test hook: the nth lock entry made inside a guarded call from now faults there.
extern FaultCountdown gGuardedLockFault;

inline void RecordGuardedLock(GuardLocks* g, Lock* lock) {
    if (g->count < kMostGuardedLocks) {
        g->locks[g->count] = lock;
        g->count = g->count + 1;
    } else {
        g->dropped = g->dropped + 1;
    }
}

// Forgets the most recent entry of lock (a miss, for a lock taken before the guard, is fine).
inline void ForgetGuardedLock(GuardLocks* g, Lock* lock) {
    for (uint32_t i = g->count; i-- > 0;) {
        if (g->locks[i] == lock) {
            for (uint32_t k = i; k + 1 < g->count; ++k)
                g->locks[k] = g->locks[k + 1];
            g->count = g->count - 1;
            return;
        }
    }
}

// Leaves every lock recorded, newest first. The caller has already made the guard's frame no
// longer the thread's innermost, so LeaveLock does not report back to it.
inline void LeaveGuardedLocks(GuardLocks* g) {
    while (g->count > 0) {
        const uint32_t top = g->count - 1;
        Lock* lock = g->locks[top];
        g->count = top;
        LeaveLock(lock);
    }
}

} // namespace olv
