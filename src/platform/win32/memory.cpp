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

} // namespace olv
