// Process-wide fault hooks and the heap bookkeeping, the same on both platforms.
#include <atomic>

#include "platform/fault_countdown.h"
#include "platform/memory.h"
#include "platform/thread.h"

namespace olv {

FaultCountdown gThreadStartFault;

namespace {
FaultCountdown gAllocationFault;
std::atomic<size_t> gRefuseAbove{0};
std::atomic<int64_t> gLive{0};
} // namespace

void* AllocZeroed(size_t bytes) {
    if (bytes == 0) return nullptr;
    const size_t above = gRefuseAbove.load();
    if (above != 0 && bytes > above) return nullptr;
    if (gAllocationFault.Fires()) return nullptr;
    void* p = SystemAllocZeroed(bytes);
    if (p != nullptr) gLive.fetch_add(1);
    return p;
}

void FreeBlock(void* block) {
    if (block == nullptr) return;
    gLive.fetch_sub(1);
    SystemFree(block);
}

void RefuseNthAllocation(int64_t nth) {
    gAllocationFault.Arm(nth);
}
void RefuseAllocationsAbove(size_t bytes) {
    gRefuseAbove.store(bytes);
}
void ResetAllocationFaults() {
    gAllocationFault.Arm(0);
    gRefuseAbove.store(0);
}
int64_t LiveAllocationCount() {
    return gLive.load();
}

void RefuseNthThreadStart(int64_t nth) {
    gThreadStartFault.Arm(nth);
}

} // namespace olv
