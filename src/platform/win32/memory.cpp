#include <windows.h>

#include "platform/fault_countdown.h"

namespace olv {

bool SystemAvailableMemory(uint64_t* bytes) {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return false;
    // The smaller of free physical memory and free address space: either limit refuses the rows.
    *bytes = status.ullAvailPhys < status.ullAvailVirtual ? status.ullAvailPhys
                                                           : status.ullAvailVirtual;
    return true;
}

void* SystemAllocZeroed(size_t bytes) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}
void SystemFree(void* block) {
    HeapFree(GetProcessHeap(), 0, block);
}

// VirtualAlloc hands out committed zero pages on its 64 KiB allocation granularity. Large pages
// would need the lock-pages privilege, which a tool run by an analyst should not ask for.
size_t SystemLargeAlignment() {
    return size_t{64} << 10;
}

void* SystemMapLarge(size_t bytes, size_t* mapped) {
    constexpr size_t kPage = 4096;
    if (bytes == 0 || bytes > SIZE_MAX - kPage) return nullptr;
    void* block = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (block == nullptr) return nullptr;
    *mapped = (bytes + kPage - 1) & ~(kPage - 1);
    return block;
}

void SystemUnmapLarge(void* block, size_t mapped) {
    (void)mapped;
    VirtualFree(block, 0, MEM_RELEASE);
}

} // namespace olv
