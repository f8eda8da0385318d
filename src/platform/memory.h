// Zero-filled blocks from the process heap, with fault hooks so that every
// "memory refused" path can be reached by tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

// A zero-filled block of the given size, or null when refused. Size 0 is refused.
void* AllocZeroed(size_t bytes);
// Frees a block from AllocZeroed; null is ignored.
void FreeBlock(void* block);

template <typename T> T* AllocRecord() { return static_cast<T*>(AllocZeroed(sizeof(T))); }

// The memory the system reports as available now (Windows: the available physical memory of
// GlobalMemoryStatusEx; POSIX: the available pages), in bytes; false when it cannot say.
bool AvailableMemoryBytes(uint64_t* bytes);

// Test hooks. All are process-wide and thread-safe.
// AvailableMemoryBytes answers this many bytes; 0 switches the override off.
void SetAvailableMemoryOverride(uint64_t bytes);
// The nth allocation from now (1 = the next one) is refused; 0 switches this off.
void RefuseNthAllocation(int64_t nth);
// Every allocation of more than the given number of bytes is refused; 0 switches this off.
void RefuseAllocationsAbove(size_t bytes);
// Counts one allocation against the hooks and tells whether it is to be refused. AllocZeroed
// asks this; so does the operator new of a test that wants the standard containers (the rule
// engine's) to meet the same refusals.
bool AllocationHooksRefuse(size_t bytes);
// Switches every hook off.
void ResetAllocationFaults();
// The allocation armed by RefuseNthAllocation has not been asked for yet: the operation under
// test made fewer allocations, so a sweep of n = 1, 2, ... has reached its end.
bool AllocationRefusalPending();
// Blocks handed out and not yet freed (for leak checks in tests).
int64_t LiveAllocationCount();

} // namespace olv
