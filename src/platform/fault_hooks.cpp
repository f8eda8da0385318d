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

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

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
// The live large blocks: a fixed table, so that freeing one needs no allocation and a block of
// the heap is told apart by a lookup that only pointers on the large alignment need.
struct LargeMapping {
    void* block;
    size_t mapped;
};
std::mutex gLargeLock;
LargeMapping gLarge[kMostLargeBlocks];
int gLargeClaimed = 0; // slots in use or promised to a mapping under way

// The room past the bytes asked for is no part of the block: a sanitizer build reports a touch
// of it as it would past a heap block.
void HideLargeTail(void* block, size_t bytes, size_t mapped) {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_POISON_MEMORY_REGION(static_cast<uint8_t*>(block) + bytes, mapped - bytes);
#else
    (void)block;
    (void)bytes;
    (void)mapped;
#endif
}
void ShowLargeTail(void* block, size_t mapped) {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_UNPOISON_MEMORY_REGION(block, mapped);
#else
    (void)block;
    (void)mapped;
#endif
}

// A large block of bytes, or null when the table is full or the system maps none: the heap then
// gives the block.
void* AllocLarge(size_t bytes) {
    {
        std::lock_guard<std::mutex> guard(gLargeLock);
        if (gLargeClaimed >= kMostLargeBlocks) return nullptr;
        ++gLargeClaimed;
    }
    size_t mapped = 0;
    void* block = SystemMapLarge(bytes, &mapped);
    std::lock_guard<std::mutex> guard(gLargeLock);
    if (block == nullptr) {
        --gLargeClaimed;
        return nullptr;
    }
    for (LargeMapping& slot : gLarge) {
        if (slot.block == nullptr) {
            slot = LargeMapping{block, mapped};
            break;
        }
    }
    HideLargeTail(block, bytes, mapped);
    return block;
}

// Unmaps block when it is a live large block; false for a block of the heap.
bool FreeLarge(void* block) {
    if (reinterpret_cast<uintptr_t>(block) % SystemLargeAlignment() != 0) return false;
    size_t mapped = 0;
    {
        std::lock_guard<std::mutex> guard(gLargeLock);
        LargeMapping* found = nullptr;
        for (LargeMapping& slot : gLarge) {
            if (slot.block == block) found = &slot;
        }
        if (found == nullptr) return false;
        mapped = found->mapped;
        *found = LargeMapping{};
        --gLargeClaimed;
    }
    ShowLargeTail(block, mapped);
    SystemUnmapLarge(block, mapped);
    return true;
}

} // namespace

bool AllocationHooksRefuse(size_t bytes) {
    const size_t above = gRefuseAbove.load();
    if (above != 0 && bytes > above) return true;
    return gAllocationFault.Fires();
}

void* AllocZeroed(size_t bytes) {
    if (bytes == 0) return nullptr;
    if (AllocationHooksRefuse(bytes)) return nullptr;
    void* p = bytes >= kLargeBlockFrom ? AllocLarge(bytes) : nullptr;
    if (p == nullptr) p = SystemAllocZeroed(bytes);
    if (p != nullptr) gLive.fetch_add(1);
    return p;
}

void FreeBlock(void* block) {
    if (block == nullptr) return;
    gLive.fetch_sub(1);
    if (!FreeLarge(block)) SystemFree(block);
}

int LargeBlockCount() {
    std::lock_guard<std::mutex> guard(gLargeLock);
    int live = 0;
    for (const LargeMapping& slot : gLarge)
        live += slot.block != nullptr ? 1 : 0;
    return live;
}

bool IsLargeBlock(const void* block) {
    if (block == nullptr) return false;
    std::lock_guard<std::mutex> guard(gLargeLock);
    for (const LargeMapping& slot : gLarge) {
        if (slot.block == block) return true;
    }
    return false;
}

size_t LargeBlockAlignment() {
    return SystemLargeAlignment();
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
