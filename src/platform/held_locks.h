// The locks this thread holds, in the order it entered them, so that a guarded call that
// recovers from a fault can leave the locks taken inside it. The recovery does not unwind: a
// lock entered between the guard and the fault would otherwise stay held, and the next thread
// to want it (Stop, repairing registry paths under the key table's lock) would wait forever.
// Both lock implementations keep this record; both guarded calls read it.
#pragma once

#include <cstdint>

#include "platform/fault_countdown.h"
#include "platform/lock.h"

namespace olv {

constexpr uint32_t kMostHeldLocks = 32; // no code path holds more than three

struct HeldLocks {
    Lock* locks[kMostHeldLocks];
    uint32_t depth;  // entries of locks held, recursive entries counted each
    uint32_t guards; // guarded calls this thread is inside
};

inline thread_local HeldLocks tHeldLocks{};

// Test hook: the nth lock entry made inside a guarded call from now faults there.
extern FaultCountdown gGuardedLockFault;

// Called by EnterLock once it holds the lock.
inline void NoteLockEntered(Lock* lock) {
    HeldLocks& h = tHeldLocks;
    if (h.depth < kMostHeldLocks) h.locks[h.depth] = lock;
    ++h.depth;
}

// Called by LeaveLock before it releases the lock: forgets its most recent entry.
inline void NoteLockLeft(Lock* lock) {
    HeldLocks& h = tHeldLocks;
    if (h.depth == 0) return;
    const uint32_t top = h.depth < kMostHeldLocks ? h.depth : kMostHeldLocks;
    for (uint32_t i = top; i-- > 0;) {
        if (h.locks[i] == lock) {
            for (uint32_t k = i; k + 1 < top; ++k)
                h.locks[k] = h.locks[k + 1];
            break;
        }
    }
    --h.depth;
}

// Leaves every lock entered since the depth was depth (a guard's recovery).
inline void LeaveLocksEnteredSince(uint32_t depth) {
    HeldLocks& h = tHeldLocks;
    while (h.depth > depth) {
        if (h.depth > kMostHeldLocks) {
            --h.depth; // beyond the record: cannot be named, so cannot be left
            continue;
        }
        LeaveLock(h.locks[h.depth - 1]);
    }
}

} // namespace olv
