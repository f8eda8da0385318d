// Zero-filled blocks from the process heap, with fault hooks so that every
// "memory refused" path can be reached by tests. Large blocks come from mappings of their own
// instead (below); FreeBlock frees either kind.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

// A zero-filled block of the given size, or null when refused. Size 0 is refused.
void* AllocZeroed(size_t bytes);
// Frees a block from AllocZeroed; null is ignored.
void FreeBlock(void* block);

// Blocks from this many bytes are large blocks: each a mapping of its own that starts on a large
// page boundary and spans whole large pages (POSIX: 2 MiB pages, asked for with MADV_HUGEPAGE),
// so that every page of it can be a large page; a heap block of that size keeps 4 KiB pages on
// its unaligned first and last 2 MiB, each a page fault of its own. Windows maps them with
// VirtualAlloc (64 KiB aligned, ordinary pages: large pages there need a privilege). From 4 MiB:
// blocks that large (the row store's records, the ring, an open session's text table and records,
// an export's block) are filled or walked end to end once made, where a fresh mapping of whole
// large pages takes one fault per 2 MiB; below that the heap's reuse of memory already faulted in
// is worth more. Rounding up to whole large pages costs nothing for the doubling blocks (their
// sizes are multiples of 2 MiB) and at most 2 MiB for any other.
constexpr size_t kLargeBlockFrom = size_t{4} << 20;
// Large blocks live at once at most; a large block asked for past that comes from the heap.
constexpr int kMostLargeBlocks = 64;
// The large blocks live now.
int LargeBlockCount();
// Whether block is a live large block (a mapping of its own, aligned as above).
bool IsLargeBlock(const void* block);
// The alignment of a large block: 2 MiB on POSIX, 64 KiB on Windows.
size_t LargeBlockAlignment();

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
