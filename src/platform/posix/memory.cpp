#include "platform/memory.h"

#include <atomic>
#include <cstdlib>

namespace olv {

namespace {
std::atomic<int64_t> gCountdown{0};
std::atomic<size_t> gRefuseAbove{0};
std::atomic<int64_t> gLive{0};

bool Refused(size_t bytes) {
    size_t above = gRefuseAbove.load();
    if (above != 0 && bytes > above) return true;
    int64_t c = gCountdown.load();
    while (c > 0) {
        if (gCountdown.compare_exchange_weak(c, c - 1)) return c == 1;
    }
    return false;
}
} // namespace

void* AllocZeroed(size_t bytes) {
    if (bytes == 0 || Refused(bytes)) return nullptr;
    void* p = std::calloc(1, bytes);
    if (p != nullptr) gLive.fetch_add(1);
    return p;
}

void FreeBlock(void* block) {
    if (block == nullptr) return;
    gLive.fetch_sub(1);
    std::free(block);
}

void RefuseNthAllocation(int64_t nth) { gCountdown.store(nth > 0 ? nth : 0); }
void RefuseAllocationsAbove(size_t bytes) { gRefuseAbove.store(bytes); }
void ResetAllocationFaults() {
    gCountdown.store(0);
    gRefuseAbove.store(0);
}
int64_t LiveAllocationCount() { return gLive.load(); }

} // namespace olv
