// Global operator new and delete of this suite, counting bytes held. Each block carries its size
// in a header of the largest fundamental alignment, so sized and unsized deletes agree. While a
// test asks for it, the platform's allocation fault hooks refuse these as they refuse
// AllocZeroed's blocks.
#include "allocation_meter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/memory.h"

namespace {

constexpr size_t kHeader = alignof(std::max_align_t);
std::atomic<size_t> gNow{0};
std::atomic<size_t> gPeak{0};
std::atomic<bool> gHooked{false};

void* Take(size_t bytes) noexcept {
    if (bytes > SIZE_MAX - kHeader) return nullptr;
    // The platform's refusal hooks apply here too, so that a sweep reaches every allocation of
    // the rule engine's containers and of the YAML reader.
    if (gHooked.load(std::memory_order_relaxed) && olv::AllocationHooksRefuse(bytes)) return nullptr;
    void* block = std::malloc(bytes + kHeader);
    if (block == nullptr) return nullptr;
    *static_cast<size_t*>(block) = bytes;
    const size_t now = gNow.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    size_t peak = gPeak.load(std::memory_order_relaxed);
    while (now > peak && !gPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return static_cast<char*>(block) + kHeader;
}

void Give(void* pointer) noexcept {
    if (pointer == nullptr) return;
    void* block = static_cast<char*>(pointer) - kHeader;
    gNow.fetch_sub(*static_cast<size_t*>(block), std::memory_order_relaxed);
    std::free(block);
}

void* TakeOrThrow(size_t bytes) {
    void* pointer = Take(bytes == 0 ? 1 : bytes);
    if (pointer == nullptr) throw std::bad_alloc();
    return pointer;
}

} // namespace

void* operator new(size_t bytes) { return TakeOrThrow(bytes); }
void* operator new[](size_t bytes) { return TakeOrThrow(bytes); }
void* operator new(size_t bytes, const std::nothrow_t&) noexcept { return Take(bytes == 0 ? 1 : bytes); }
void* operator new[](size_t bytes, const std::nothrow_t&) noexcept { return Take(bytes == 0 ? 1 : bytes); }
void operator delete(void* pointer) noexcept { Give(pointer); }
void operator delete[](void* pointer) noexcept { Give(pointer); }
void operator delete(void* pointer, size_t) noexcept { Give(pointer); }
void operator delete[](void* pointer, size_t) noexcept { Give(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { Give(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { Give(pointer); }

namespace sigma_test {

size_t AllocatedBytesNow() {
    return gNow.load(std::memory_order_relaxed);
}

void ResetAllocationPeak() {
    gPeak.store(gNow.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

size_t AllocationPeakBytes() {
    return gPeak.load(std::memory_order_relaxed);
}

void HookOperatorNew(bool on) {
    gHooked.store(on, std::memory_order_relaxed);
}

} // namespace sigma_test
