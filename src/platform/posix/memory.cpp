#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/fault_countdown.h"

namespace olv {

namespace {

// Blocks this large (the event ring, the row store) are walked end to end, one new page every
// few rows; with 4 KiB pages each of those steps is a TLB miss and a page walk. Asking for huge
// pages on the 2 MiB-aligned inside of such a block makes those walks rare. It is a hint: where
// the kernel has none to give, the block keeps its small pages and works the same.
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kHugePagesFrom = 16 * kHugePage;

void AskForHugePages(void* block, size_t bytes) {
#if defined(MADV_HUGEPAGE)
    const auto start = reinterpret_cast<uintptr_t>(block);
    const uintptr_t first = (start + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
    const uintptr_t end = (start + bytes) & ~uintptr_t{kHugePage - 1};
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

} // namespace

bool SystemAvailableMemory(uint64_t* bytes) {
    const long pages = sysconf(_SC_AVPHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return false;
    *bytes = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
    return true;
}

void* SystemAllocZeroed(size_t bytes) {
    void* block = std::calloc(1, bytes);
    if (block != nullptr && bytes >= kHugePagesFrom) AskForHugePages(block, bytes);
    return block;
}
void SystemFree(void* block) {
    std::free(block);
}

size_t SystemLargeAlignment() {
    return kHugePage;
}

// Maps a large page more than asked and unmaps the edges around the aligned part: mmap itself
// aligns only to 4 KiB.
void* SystemMapLarge(size_t bytes, size_t* mapped) {
    if (bytes == 0 || bytes > SIZE_MAX - 2 * kHugePage) return nullptr;
    const size_t length = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
    if (aligned > start) munmap(raw, aligned - start);
    const uintptr_t end = start + length + kHugePage;
    if (end > aligned + length)
        munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
    auto* block = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
    madvise(block, length, MADV_HUGEPAGE);
#endif
    *mapped = length;
    return block;
}

void SystemUnmapLarge(void* block, size_t mapped) {
    munmap(block, mapped);
}

} // namespace olv
