#include "doctest.h"

#include <atomic>
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

// The outcome of the next `count` allocations of `bytes` each: true where one was refused.
void AllocateMany(size_t bytes, int count, bool* refused) {
    for (int i = 0; i < count; ++i) {
        void* p = AllocZeroed(bytes);
        refused[i] = p == nullptr;
        FreeBlock(p);
    }
}

} // namespace

TEST_CASE("AllocZeroed hands out zero-filled blocks and counts them") {
    const int64_t live = LiveAllocationCount();
    auto* p = static_cast<unsigned char*>(AllocZeroed(4096));
    REQUIRE(p != nullptr);
    unsigned char zeros[4096] = {};
    CHECK(std::memcmp(p, zeros, sizeof zeros) == 0);
    CHECK(LiveAllocationCount() == live + 1);
    FreeBlock(p);
    CHECK(LiveAllocationCount() == live);

    CHECK(AllocZeroed(0) == nullptr);
    FreeBlock(nullptr);
    CHECK(LiveAllocationCount() == live);
}

TEST_CASE("fault hooks refuse exactly the allocations they name") {
    FaultScope scope;
    bool refused[5];

    RefuseNthAllocation(3);
    AllocateMany(16, 5, refused);
    CHECK((!refused[0] && !refused[1] && refused[2] && !refused[3] && !refused[4]));

    RefuseNthAllocation(1);
    RefuseNthAllocation(0); // switched off before it fired
    AllocateMany(16, 2, refused);
    CHECK((!refused[0] && !refused[1]));

    RefuseAllocationsAbove(100);
    CHECK(AllocZeroed(101) == nullptr);
    void* fits = AllocZeroed(100);
    CHECK(fits != nullptr);
    FreeBlock(fits);

    RefuseNthAllocation(1);
    ResetAllocationFaults();
    AllocateMany(1000, 2, refused);
    CHECK((!refused[0] && !refused[1]));
}

TEST_CASE("a refusal of the Nth allocation fires once across threads") {
    FaultScope scope;
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    struct Worker {
        std::atomic<bool>* go;
        bool refused[kEach];
    };
    std::atomic<bool> go{false};
    Worker workers[kThreads];
    ThreadHandle threads[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        workers[i].go = &go;
        threads[i] = StartThread(
            [](void* arg) -> uint32_t {
                auto* w = static_cast<Worker*>(arg);
                while (!w->go->load())
                    std::this_thread::yield();
                AllocateMany(32, kEach, w->refused);
                return 0;
            },
            &workers[i], nullptr);
        REQUIRE(threads[i] != nullptr);
    }
    RefuseNthAllocation(kThreads * kEach / 2);
    go.store(true);
    int refusedCount = 0;
    for (int i = 0; i < kThreads; ++i) {
        JoinThread(threads[i]);
        for (bool r : workers[i].refused)
            refusedCount += r ? 1 : 0;
    }
    CHECK(refusedCount == 1);
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
