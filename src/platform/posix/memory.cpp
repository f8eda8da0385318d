#include <cstdlib>

#include "platform/fault_countdown.h"

namespace olv {

void* SystemAllocZeroed(size_t bytes) {
    return std::calloc(1, bytes);
}
void SystemFree(void* block) {
    std::free(block);
}

} // namespace olv
