#include "doctest.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <thread>

#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/thread.h"

using namespace olv;

namespace {

struct FaultScope {
    ~FaultScope() { ResetAllocationFaults(); }
};

// Allocates and frees `count` blocks of `bytes`; returns a bit per allocation that was refused.
uint32_t Refusals(size_t bytes, int count) {
    uint32_t refused = 0;
    for (int i = 0; i < count; ++i) {
        void* p = AllocZeroed(bytes);
        refused |= p == nullptr ? 1u << i : 0u;
        FreeBlock(p);
    }
    return refused;
}

} // namespace

TEST_CASE("AllocZeroed hands out zero-filled blocks and counts them; hooks refuse what they name") {
    FaultScope scope;
    const int64_t live = LiveAllocationCount();
    auto* p = static_cast<unsigned char*>(AllocZeroed(4096));
    REQUIRE(p != nullptr);
    static const unsigned char zeros[4096] = {};
    CHECK(std::memcmp(p, zeros, sizeof zeros) == 0);
    CHECK(LiveAllocationCount() == live + 1);
    FreeBlock(p);
    FreeBlock(nullptr);
    CHECK(LiveAllocationCount() == live);
    CHECK(AllocZeroed(0) == nullptr);

    RefuseNthAllocation(3);
    CHECK(Refusals(16, 5) == 0b00100);
    RefuseNthAllocation(1);
    RefuseNthAllocation(0); // switched off before it fired
    CHECK(Refusals(16, 2) == 0);
    RefuseAllocationsAbove(100);
    CHECK(Refusals(101, 1) == 1);
    CHECK(Refusals(100, 1) == 0);
    RefuseNthAllocation(1);
    ResetAllocationFaults();
    CHECK(Refusals(1000, 2) == 0);
}

TEST_CASE("a refusal of the Nth allocation fires once across threads") {
    FaultScope scope;
    constexpr int kThreads = 4;
    struct Worker {
        std::atomic<bool>* go;
        int refused;
    } workers[kThreads];
    std::atomic<bool> go{false};
    ThreadHandle threads[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        workers[i] = {&go, 0};
        threads[i] = StartThread(
            [](void* arg) -> uint32_t {
                auto* w = static_cast<Worker*>(arg);
                while (!w->go->load())
                    std::this_thread::yield();
                for (int k = 0; k < 16; ++k)
                    w->refused += std::popcount(Refusals(32, 32));
                return 0;
            },
            &workers[i], nullptr);
        REQUIRE(threads[i] != nullptr);
    }
    RefuseNthAllocation(kThreads * 16 * 32 / 2);
    go.store(true);
    int refused = 0;
    for (int i = 0; i < kThreads; ++i) {
        JoinThread(threads[i]);
        refused += workers[i].refused;
    }
    CHECK(refused == 1);
}

TEST_CASE("threads: a refused start reports error 8; the lock is recursive") {
    RefuseNthThreadStart(1);
    uint32_t error = 0;
    CHECK(StartThread([](void*) -> uint32_t { return 0; }, nullptr, &error) == nullptr);
    CHECK(error == 8);
    static Lock lock;
    InitLock(&lock);
    {
        LockGuard outer(&lock);
        LockGuard inner(&lock); // the same thread enters again without blocking
    }
    DeleteLock(&lock);
    DeleteLock(&lock); // release may run any number of times
}
