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
    uint32_t lockDepth; // locks this thread held when the guard began
};

thread_local GuardFrame* tInnermost = nullptr;
thread_local bool tFaultArmed = false;

} // namespace

bool GuardedCall(GuardedFunction fn, void* context) {
    GuardFrame frame;
    frame.previous = tInnermost;
    // Kept in the frame, not in locals: sigsetjmp does not preserve non-volatile locals.
    frame.lockDepth = tHeldLocks.depth;
    if (sigsetjmp(frame.recovery, 0) != 0) {
        tInnermost = frame.previous;
        LeaveLocksEnteredSince(frame.lockDepth);
        --tHeldLocks.guards;
        return false;
    }
    tInnermost = &frame;
    ++tHeldLocks.guards;
    if (tFaultArmed) {
        tFaultArmed = false;
        RaiseSimulatedFault();
    }
    fn(context);
    --tHeldLocks.guards;
    tInnermost = frame.previous;
    return true;
}

void RaiseSimulatedFault() {
    GuardFrame* frame = tInnermost;
    if (frame == nullptr) std::abort();
    siglongjmp(frame->recovery, 1);
}

void ArmSimulatedFault() {
    tFaultArmed = true;
}

} // namespace olv
