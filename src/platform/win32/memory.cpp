#include <windows.h>

#include "platform/fault_countdown.h"

namespace olv {

void* SystemAllocZeroed(size_t bytes) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}
void SystemFree(void* block) {
    HeapFree(GetProcessHeap(), 0, block);
}

} // namespace olv
