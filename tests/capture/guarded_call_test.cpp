// The guarded call that the event callback decodes through: a fault inside it is caught, the
// guard answers false and the thread goes on. Under Windows (Wine) the faults are real access
// violations; natively they are the simulated ones.
#include <cstring>

#include "doctest.h"
#include "platform/guarded_call.h"
#include "platform/thread.h"

using namespace olv;

namespace {

#ifdef _WIN32
// A pointer the compiler cannot prove null, so the write below is a real store to address 0.
int* volatile gNowhere = nullptr;

__attribute__((noinline)) void WriteThroughNull(void*) {
    *gNowhere = 7;
}

// A fault inside a system DLL (the C runtime's memcpy), which the top-level filter recovers.
__attribute__((noinline)) void CopyFromNowhere(void* context) {
    const void* volatile from = reinterpret_cast<const void*>(static_cast<uintptr_t>(16));
    volatile size_t size = 64;
    std::memcpy(context, const_cast<const void*>(from), size);
}
#endif

void Fault(void*) {
#ifdef _WIN32
    WriteThroughNull(nullptr);
#else
    RaiseSimulatedFault();
#endif
}

void Count(void* context) {
    ++*static_cast<int*>(context);
}

void CountThenFault(void* context) {
    ++*static_cast<int*>(context);
    Fault(nullptr);
    ++*static_cast<int*>(context); // never reached
}

struct Nested {
    int inner = 0;
    bool innerResult = true;
};

void FaultInsideInnerGuard(void* context) {
    auto* n = static_cast<Nested*>(context);
    n->innerResult = GuardedCall(CountThenFault, &n->inner);
}

uint32_t FaultMany(void* context) {
    int* survived = static_cast<int*>(context);
    for (int i = 0; i < 200; ++i) {
        int calls = 0;
        if (!GuardedCall(i % 2 ? Fault : Count, &calls) && i % 2) ++*survived;
        if (i % 2 == 0 && calls == 1) ++*survived;
    }
    return 0;
}

} // namespace

TEST_CASE("a guarded call runs its function and reports a fault inside it as false") {
    int calls = 0;
    CHECK(GuardedCall(Count, &calls));
    CHECK(calls == 1);

    CHECK_FALSE(GuardedCall(CountThenFault, &calls));
    CHECK(calls == 2); // stopped at the fault

    // The thread goes on, and guards keep working.
    CHECK(GuardedCall(Count, &calls));
    CHECK(calls == 3);
    CHECK_FALSE(GuardedCall(Fault, nullptr));
    CHECK_FALSE(GuardedCall(Fault, nullptr));
    CHECK(GuardedCall(Count, &calls));
    CHECK(calls == 4);
}

TEST_CASE("a fault returns to the innermost guard only") {
    Nested n;
    CHECK(GuardedCall(FaultInsideInnerGuard, &n));
    CHECK_FALSE(n.innerResult);
    CHECK(n.inner == 1);
    // The outer guard is still in place afterwards.
    CHECK_FALSE(GuardedCall(Fault, nullptr));
}

TEST_CASE("an armed fault hits the next guarded call of the same thread only") {
    int calls = 0;
    ArmSimulatedFault();
    CHECK_FALSE(GuardedCall(Count, &calls));
    CHECK(calls == 0);
    CHECK(GuardedCall(Count, &calls));
    CHECK(calls == 1);
}

TEST_CASE("guards on several threads recover independently") {
    int survived[3] = {};
    ThreadHandle threads[3] = {};
    for (int i = 0; i < 3; ++i)
        threads[i] = StartThread(FaultMany, &survived[i], nullptr);
    for (ThreadHandle t : threads) {
        REQUIRE(t != nullptr);
        JoinThread(t);
    }
    for (int s : survived)
        CHECK(s == 200);
}

#ifdef _WIN32
TEST_CASE("a fault inside a system library is recovered once nobody else handles it") {
    unsigned char buffer[64] = {};
    CHECK_FALSE(GuardedCall(CopyFromNowhere, buffer));
    int calls = 0;
    CHECK(GuardedCall(Count, &calls));
    CHECK(calls == 1);
}
#endif
