// Large blocks: mappings of their own, aligned to whole large pages, freed by FreeBlock like any
// heap block and seen by the fault hooks the same. A mapping lost or a heap block taken for a
// mapping (or the reverse) would crash or leak only here, where every path is driven on purpose.
#include "doctest.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/growth.h"
#include "platform/memory.h"
#include "platform/thread.h"

using namespace olv;

namespace {

bool AllZero(const void* block, size_t bytes) {
    static const uint8_t kZeros[64 * 1024] = {};
    const auto* at = static_cast<const uint8_t*>(block);
    while (bytes > 0) {
        const size_t n = bytes < sizeof kZeros ? bytes : sizeof kZeros;
        if (std::memcmp(at, kZeros, n) != 0) return false;
        at += n;
        bytes -= n;
    }
    return true;
}

bool Aligned(const void* block) {
    return reinterpret_cast<uintptr_t>(block) % LargeBlockAlignment() == 0;
}

// The mappings of the process (Linux); -1 where the system does not list them.
int MappingCount() {
#if defined(__linux__)
    FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr) return -1;
    int lines = 0;
    for (int c = std::fgetc(maps); c != EOF; c = std::fgetc(maps))
        lines += c == '\n' ? 1 : 0;
    std::fclose(maps);
    return lines;
#else
    return -1;
#endif
}

uint32_t AllocateAndFreeLarge(void* argument) {
    auto* failures = static_cast<int*>(argument);
    for (int i = 0; i < 40; ++i) {
        auto* block = static_cast<uint8_t*>(AllocZeroed(kLargeBlockFrom + size_t(i) * 4096));
        if (block == nullptr || !IsLargeBlock(block) || block[0] != 0) {
            ++*failures;
        } else {
            block[0] = 1;
            block[kLargeBlockFrom - 1] = 2;
        }
        FreeBlock(block);
    }
    return 0;
}

} // namespace

TEST_CASE("large blocks: aligned, zero, writable to the last byte, freed by FreeBlock") {
    const int64_t live = LiveAllocationCount();
    const int mappings = LargeBlockCount();
    // Sizes that are and are not whole large pages; the smallest large block.
    for (size_t bytes : {kLargeBlockFrom, kLargeBlockFrom + 1, kLargeBlockFrom + 3 * 4096 + 5,
                         size_t{48} << 20}) {
        CAPTURE(bytes);
        auto* block = static_cast<uint8_t*>(AllocZeroed(bytes));
        REQUIRE(block != nullptr);
        CHECK(IsLargeBlock(block));
        CHECK(Aligned(block));
        CHECK(LargeBlockCount() == mappings + 1);
        CHECK(LiveAllocationCount() == live + 1);
        CHECK(AllZero(block, bytes));
        std::memset(block, 0xA5, bytes);
        CHECK((block[0] == 0xA5 && block[bytes - 1] == 0xA5));
        FreeBlock(block);
        CHECK(LargeBlockCount() == mappings);
        CHECK(LiveAllocationCount() == live);
    }
    // Just below the size: a heap block, never mistaken for a mapping when freed.
    void* small = AllocZeroed(kLargeBlockFrom - 1);
    REQUIRE(small != nullptr);
    CHECK_FALSE(IsLargeBlock(small));
    CHECK(LargeBlockCount() == mappings);
    FreeBlock(small);
    CHECK(LiveAllocationCount() == live);
    CHECK_FALSE(IsLargeBlock(nullptr));
}

TEST_CASE("large blocks: the fault hooks refuse them as any other block") {
    const int64_t live = LiveAllocationCount();
    const int mappings = LargeBlockCount();
    RefuseNthAllocation(1);
    CHECK(AllocZeroed(kLargeBlockFrom) == nullptr);
    CHECK_FALSE(AllocationRefusalPending());
    RefuseAllocationsAbove(kLargeBlockFrom - 1);
    CHECK(AllocZeroed(kLargeBlockFrom) == nullptr);
    void* below = AllocZeroed(kLargeBlockFrom - 1); // at the bound: allowed
    CHECK(below != nullptr);
    FreeBlock(below);
    ResetAllocationFaults();
    // The second allocation from now is refused: the first, a large block, still counts.
    RefuseNthAllocation(2);
    void* first = AllocZeroed(kLargeBlockFrom);
    CHECK(AllocZeroed(kLargeBlockFrom) == nullptr);
    ResetAllocationFaults();
    CHECK(LargeBlockCount() == mappings + 1);
    FreeBlock(first);
    CHECK(LargeBlockCount() == mappings);
    CHECK(LiveAllocationCount() == live);
}

TEST_CASE("large blocks: a full table falls back to the heap, and frees each its own way") {
    const int64_t live = LiveAllocationCount();
    const int mappings = LargeBlockCount();
    void* blocks[kMostLargeBlocks + 2] = {};
    int large = 0;
    for (void*& block : blocks) {
        block = AllocZeroed(kLargeBlockFrom);
        REQUIRE(block != nullptr);
        large += IsLargeBlock(block) ? 1 : 0;
    }
    CHECK(large == kMostLargeBlocks - mappings);
    CHECK(LargeBlockCount() == kMostLargeBlocks);
    // The last ones came from the heap: zero and writable to their end all the same.
    auto* fallback = static_cast<uint8_t*>(blocks[kMostLargeBlocks + 1]);
    CHECK_FALSE(IsLargeBlock(fallback));
    CHECK(AllZero(fallback, kLargeBlockFrom));
    fallback[kLargeBlockFrom - 1] = 1;
    // Freed out of order: a slot freed in the middle takes the next large block.
    FreeBlock(blocks[3]);
    blocks[3] = AllocZeroed(kLargeBlockFrom);
    CHECK(IsLargeBlock(blocks[3]));
    for (void* block : blocks)
        FreeBlock(block);
    CHECK(LargeBlockCount() == mappings);
    CHECK(LiveAllocationCount() == live);
}

TEST_CASE("large blocks: allocated and freed many times, from two threads, leave no mapping") {
    const int64_t live = LiveAllocationCount();
    const int mappings = LargeBlockCount();
    // A first round, so that whatever the system maps for its own books on first use is there.
    FreeBlock(AllocZeroed(kLargeBlockFrom));
    const int before = MappingCount();
    for (int i = 0; i < 200; ++i) {
        auto* block = static_cast<uint8_t*>(AllocZeroed(kLargeBlockFrom + size_t(i % 7) * 65536));
        REQUIRE(block != nullptr);
        block[i] = 1;
        FreeBlock(block);
    }
    CHECK(MappingCount() == before);

    // Two threads at once, twice: the first round leaves the thread's own stack mapped (the
    // system keeps it for the next thread), the second must add nothing to that.
    int afterFirst = 0;
    for (int round = 0; round < 2; ++round) {
        int failures[2] = {};
        ThreadHandle other = StartThread(AllocateAndFreeLarge, &failures[0], nullptr);
        REQUIRE(other != nullptr);
        AllocateAndFreeLarge(&failures[1]);
        REQUIRE_MESSAGE(WaitThreadEnd(other, 60000), "the second thread's 40 large blocks");
        JoinThread(other);
        CHECK((failures[0] == 0 && failures[1] == 0));
        if (round == 0) afterFirst = MappingCount();
    }
    CHECK(MappingCount() == afterFirst);
    CHECK(LargeBlockCount() == mappings);
    CHECK(LiveAllocationCount() == live);
}

TEST_CASE("large blocks: growth keeps the records, zeroes the rest, and a refusal changes nothing") {
    const int64_t live = LiveAllocationCount();
    const int mappings = LargeBlockCount();
    constexpr size_t kFirst = kLargeBlockFrom / sizeof(uint64_t);
    uint64_t* values = nullptr;
    size_t capacity = 0;
    REQUIRE(GrowArray(&values, &capacity, 0, kFirst, kFirst, SIZE_MAX));
    REQUIRE(capacity == kFirst);
    CHECK(IsLargeBlock(values));
    // The whole block written, only the first half in use: the growth keeps that half and leaves
    // the rest zero, the old block's unused half included.
    for (size_t i = 0; i < capacity; ++i)
        values[i] = i * 2654435761u + 1;
    const size_t used = kFirst / 2;

    RefuseNthAllocation(1);
    uint64_t* const before = values;
    CHECK_FALSE(GrowArray(&values, &capacity, used, kFirst + 1, kFirst, SIZE_MAX));
    ResetAllocationFaults();
    CHECK((values == before && capacity == kFirst));
    CHECK((values[0] == 1 && values[kFirst - 1] == (kFirst - 1) * 2654435761u + 1));

    REQUIRE(GrowArray(&values, &capacity, used, kFirst + 1, kFirst, SIZE_MAX));
    CHECK(capacity == 2 * kFirst);
    CHECK(IsLargeBlock(values));
    CHECK(Aligned(values));
    bool kept = true;
    for (size_t i = 0; i < used; ++i)
        kept = kept && values[i] == i * 2654435761u + 1;
    CHECK(kept);
    CHECK(AllZero(values + used, (capacity - used) * sizeof(uint64_t)));
    values[capacity - 1] = 7;
    CHECK(LargeBlockCount() == mappings + 1);
    FreeBlock(values);
    CHECK(LargeBlockCount() == mappings);
    CHECK(LiveAllocationCount() == live);
}
