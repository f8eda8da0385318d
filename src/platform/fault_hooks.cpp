// Process-wide fault hooks and the heap bookkeeping, the same on both platforms.
#include <atomic>
#include <mutex>

#include "base/text.h"
#include "platform/fault_countdown.h"
#include "platform/files.h"
#include "platform/guarded_call.h"
#include "platform/held_locks.h"
#include "platform/memory.h"
#include "platform/thread.h"

namespace olv {

FaultCountdown gThreadStartFault;
FaultCountdown gFileWriteFault;
FaultCountdown gFileFlushFault;
FaultCountdown gFileMoveFault;
FaultCountdown gGuardedLockFault;

namespace {
FaultCountdown gAllocationFault;
std::atomic<size_t> gRefuseAbove{0};
std::atomic<int64_t> gLive{0};
std::atomic<uint64_t> gAvailableOverride{0};

constexpr size_t kSimulatedPathChars = 1024;
std::mutex gSimulatedLock;
char16_t gSimulatedPath[kSimulatedPathChars];
bool gSimulatedFolder = false;
} // namespace

bool AllocationHooksRefuse(size_t bytes) {
    const size_t above = gRefuseAbove.load();
    if (above != 0 && bytes > above) return true;
    return gAllocationFault.Fires();
}

void* AllocZeroed(size_t bytes) {
    if (bytes == 0) return nullptr;
    if (AllocationHooksRefuse(bytes)) return nullptr;
    void* p = SystemAllocZeroed(bytes);
    if (p != nullptr) gLive.fetch_add(1);
    return p;
}

void FreeBlock(void* block) {
    if (block == nullptr) return;
    gLive.fetch_sub(1);
    SystemFree(block);
}

bool AvailableMemoryBytes(uint64_t* bytes) {
    const uint64_t forced = gAvailableOverride.load();
    if (forced != 0) {
        *bytes = forced;
        return true;
    }
    return SystemAvailableMemory(bytes);
}

void SetAvailableMemoryOverride(uint64_t bytes) {
    gAvailableOverride.store(bytes);
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
bool AllocationRefusalPending() {
    return gAllocationFault.Pending();
}
bool FileFaultPending() {
    return gFileWriteFault.Pending() || gFileFlushFault.Pending() || gFileMoveFault.Pending();
}
int64_t LiveAllocationCount() {
    return gLive.load();
}

void FaultNthGuardedLockEntry(int64_t nth) {
    gGuardedLockFault.Arm(nth);
}
bool GuardedLockFaultPending() {
    return gGuardedLockFault.Pending();
}

void RefuseNthThreadStart(int64_t nth) {
    gThreadStartFault.Arm(nth);
}

void FailNthFileWrite(int64_t nth) {
    gFileWriteFault.Arm(nth);
}
void FailNthFileFlush(int64_t nth) {
    gFileFlushFault.Arm(nth);
}
void FailNthFileMove(int64_t nth) {
    gFileMoveFault.Arm(nth);
}
void ResetFileFaults() {
    gFileWriteFault.Arm(0);
    gFileFlushFault.Arm(0);
    gFileMoveFault.Arm(0);
}

void SetSimulatedFileAttributes(const char16_t* path, bool isFolder) {
    std::lock_guard<std::mutex> guard(gSimulatedLock);
    CopyBounded(gSimulatedPath, kSimulatedPathChars, path);
    gSimulatedFolder = path != nullptr && isFolder;
}

bool SimulatedFileAttributes(const char16_t* path, bool* isFolder) {
    std::lock_guard<std::mutex> guard(gSimulatedLock);
    if (gSimulatedPath[0] == 0 || !TextEquals(gSimulatedPath, path)) return false;
    if (isFolder != nullptr) *isFolder = gSimulatedFolder;
    return true;
}

} // namespace olv
