// Native guard: a per-thread chain of sigjmp_buf recovery points. Only simulated faults reach
// it; real SIGSEGV and friends are left to the sanitizers and the default action.
#include "platform/guarded_call.h"

#include <csetjmp>
#include <cstdlib>

#include "platform/held_locks.h"

namespace olv {

namespace {

struct GuardFrame {
    sigjmp_buf recovery;
    GuardFrame* previous;
    GuardLocks locks; // taken inside this guard
};

thread_local GuardFrame* tInnermost = nullptr;
thread_local bool tFaultArmed = false;

} // namespace

bool GuardedCall(GuardedFunction fn, void* context) {
    GuardFrame frame;
    frame.previous = tInnermost;
    frame.locks.count = 0;
    frame.locks.dropped = 0;
    if (sigsetjmp(frame.recovery, 0) != 0) {
        tInnermost = frame.previous;
        LeaveGuardedLocks(&frame.locks);
        return false;
    }
    tInnermost = &frame;
    if (tFaultArmed) {
        tFaultArmed = false;
        RaiseSimulatedFault();
    }
    fn(context);
    tInnermost = frame.previous;
    return true;
}

void RaiseSimulatedFault() {
    GuardFrame* frame = tInnermost;
    if (frame == nullptr) std::abort();
    siglongjmp(frame->recovery, 1);
}

void GuardedLockEntered(Lock* lock) {
    GuardFrame* frame = tInnermost;
    if (frame == nullptr) return;
    RecordGuardedLock(&frame->locks, lock);
    if (gGuardedLockFault.Fires()) RaiseSimulatedFault();
}

void GuardedLockLeft(Lock* lock) {
    if (GuardFrame* frame = tInnermost) ForgetGuardedLock(&frame->locks, lock);
}

void ArmSimulatedFault() {
    tFaultArmed = true;
}

} // namespace olv
