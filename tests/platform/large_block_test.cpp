// Large blocks: mappings of their own on whole large pages, freed by FreeBlock like heap blocks
// and seen the same by the fault hooks. A mapping lost, or a heap block taken for one, shows here.
#include "doctest.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "platform/growth.h"
#include "platform/memory.h"
#include "platform/thread.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

using namespace olv;

namespace {

bool AllZero(const uint8_t* at, size_t bytes) {
    static const uint8_t kZeros[64 * 1024] = {};
    for (size_t n = 0; bytes > 0; at += n, bytes -= n) {
        n = bytes < sizeof kZeros ? bytes : sizeof kZeros;
        if (std::memcmp(at, kZeros, n) != 0) return false;
    }
    return true;
}

// Whether nothing is mapped at block any more (Linux: msync refuses an address no mapping holds);
// true where the system cannot say. The mappings' count in /proc/self/maps is no measure: a
// sanitizer's runtime maps memory of its own as the test runs.
bool Unmapped(const void* block) {
#if defined(__linux__)
    errno = 0;
    return msync(const_cast<void*>(block), 4096, MS_ASYNC) == -1 && errno == ENOMEM;
#else
    (void)block;
    return true;
#endif
}

struct UseOptions {
    int failures;
    bool alone; // no other thread maps memory meanwhile, so a freed block's place stays empty
};

// Large blocks of several sizes, each checked at both ends (the whole of one of them), written
// to its last byte and freed.
uint32_t UseLargeBlocks(void* argument) {
    auto* use = static_cast<UseOptions*>(argument);
    constexpr size_t kEnd = 64 * 1024;
    for (size_t i = 0; i < 40; ++i) {
        const size_t bytes = kLargeBlockFrom + i % 3 + i * 4096;
        auto* block = static_cast<uint8_t*>(AllocZeroed(bytes));
        const bool sound = block != nullptr && IsLargeBlock(block) &&
                           reinterpret_cast<uintptr_t>(block) % LargeBlockAlignment() == 0 &&
                           AllZero(block, i == 0 ? bytes : kEnd) &&
                           AllZero(block + bytes - kEnd, kEnd);
        use->failures += sound ? 0 : 1;
        if (block != nullptr) std::memset(block, 0xA5, i == 0 ? bytes : 1);
        if (block != nullptr) block[bytes - 1] = 0xA5;
        FreeBlock(block);
        if (use->alone && block != nullptr && !Unmapped(block)) ++use->failures;
    }
    return 0;
}

} // namespace

TEST_CASE("large blocks: aligned, zero, writable to the end, counted, freed, leaving no mapping") {
    const int64_t live = LiveAllocationCount();
    const int mappings = LargeBlockCount();
    UseOptions alone{0, true};
    UseLargeBlocks(&alone);
    CHECK(alone.failures == 0);
    // Two threads at once, twice.
    for (int round = 0; round < 2; ++round) {
        UseOptions theirs{0, false};
        ThreadHandle other = StartThread(UseLargeBlocks, &theirs, nullptr);
        REQUIRE(other != nullptr);
        UseOptions mine{0, false};
        UseLargeBlocks(&mine);
        REQUIRE_MESSAGE(WaitThreadEnd(other, 60000), "the second thread's 40 large blocks");
        JoinThread(other);
        CHECK((mine.failures == 0 && theirs.failures == 0));
    }
    CHECK((LargeBlockCount() == mappings && LiveAllocationCount() == live));

    void* one = AllocZeroed(kLargeBlockFrom);
    CHECK((LargeBlockCount() == mappings + 1 && LiveAllocationCount() == live + 1));
    FreeBlock(one);
    // Just below the size: a heap block, never mistaken for a mapping when freed.
    void* small = AllocZeroed(kLargeBlockFrom - 1);
    CHECK((small != nullptr && !IsLargeBlock(small) && !IsLargeBlock(nullptr)));
    FreeBlock(small);
    CHECK((LargeBlockCount() == mappings && LiveAllocationCount() == live));
}

TEST_CASE("large blocks: refused by the hooks as any block; a full table falls back to the heap") {
    const int64_t live = LiveAllocationCount();
    const int mappings = LargeBlockCount();
    RefuseNthAllocation(2); // the first, a large block, counts
    void* first = AllocZeroed(kLargeBlockFrom);
    CHECK((first != nullptr && AllocZeroed(kLargeBlockFrom) == nullptr));
    RefuseAllocationsAbove(kLargeBlockFrom - 1);
    CHECK(AllocZeroed(kLargeBlockFrom) == nullptr);
    ResetAllocationFaults();
    FreeBlock(first);
    CHECK(LargeBlockCount() == mappings);

    void* blocks[kMostLargeBlocks + 2] = {};
    int large = 0;
    for (void*& block : blocks) {
        block = AllocZeroed(kLargeBlockFrom);
        REQUIRE(block != nullptr);
        large += IsLargeBlock(block) ? 1 : 0;
    }
    CHECK((large == kMostLargeBlocks - mappings && LargeBlockCount() == kMostLargeBlocks));
    auto* fallback = static_cast<uint8_t*>(blocks[kMostLargeBlocks + 1]);
    CHECK((!IsLargeBlock(fallback) && AllZero(fallback, kLargeBlockFrom)));
    fallback[kLargeBlockFrom - 1] = 1;
    FreeBlock(blocks[3]); // a slot freed in the middle takes the next large block
    blocks[3] = AllocZeroed(kLargeBlockFrom);
    CHECK(IsLargeBlock(blocks[3]));
    for (void* block : blocks)
        FreeBlock(block);
    CHECK((LargeBlockCount() == mappings && LiveAllocationCount() == live));
}

TEST_CASE("large blocks: growth keeps the records, zeroes the rest, and a refusal changes nothing") {
    const int64_t live = LiveAllocationCount();
    constexpr size_t kFirst = kLargeBlockFrom / sizeof(uint64_t);
    uint64_t* values = nullptr;
    size_t capacity = 0;
    REQUIRE(GrowArray(&values, &capacity, 0, kFirst, kFirst, SIZE_MAX));
    // All of it written, half in use: the unused half of the old block must not come along.
    for (size_t i = 0; i < capacity; ++i)
        values[i] = i * 2654435761u + 1;
    const size_t used = kFirst / 2;
    RefuseNthAllocation(1);
    uint64_t* const before = values;
    CHECK_FALSE(GrowArray(&values, &capacity, used, kFirst + 1, kFirst, SIZE_MAX));
    ResetAllocationFaults();
    CHECK((values == before && capacity == kFirst && values[kFirst - 1] == before[kFirst - 1]));
    REQUIRE(GrowArray(&values, &capacity, used, kFirst + 1, kFirst, SIZE_MAX));
    CHECK((capacity == 2 * kFirst && IsLargeBlock(values)));
    size_t kept = 0;
    while (kept < used && values[kept] == kept * 2654435761u + 1)
        ++kept;
    CHECK(kept == used);
    CHECK(AllZero(reinterpret_cast<uint8_t*>(values + used), (capacity - used) * 8));
    FreeBlock(values);
    CHECK(LiveAllocationCount() == live);
}
