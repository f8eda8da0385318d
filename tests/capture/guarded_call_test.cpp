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

// A fault inside a system DLL (the C runtime's memcpy), which the top-level filter recovers.
__attribute__((noinline)) void CopyFromNowhere(void* context) {
    const void* volatile from = reinterpret_cast<const void*>(static_cast<uintptr_t>(16));
    volatile size_t size = 64;
    std::memcpy(context, const_cast<const void*>(from), size);
}
#endif

__attribute__((noinline)) void Fault(void*) {
#ifdef _WIN32
    *gNowhere = 7;
#else
    RaiseSimulatedFault();
#endif
}

void Count(void* context) {
    ++*static_cast<int*>(context);
}

void CountThenFault(void* context) {
    Count(context);
    Fault(nullptr);
    Count(context); // never reached
}

uint32_t FaultMany(void* context) {
    int* survived = static_cast<int*>(context);
    for (int i = 0; i < 200; ++i) {
        int calls = 0;
        const bool ok = GuardedCall(i % 2 ? Fault : Count, &calls);
        if (ok == (i % 2 == 0) && calls == (i % 2 == 0 ? 1 : 0)) ++*survived;
    }
    return 0;
}

} // namespace

TEST_CASE("a guarded call reports a fault inside it as false and the thread goes on") {
    int calls = 0;
    CHECK(GuardedCall(Count, &calls));
    CHECK_FALSE(GuardedCall(CountThenFault, &calls));
    CHECK(calls == 2); // stopped at the fault
    CHECK(GuardedCall(Count, &calls));
    CHECK(calls == 3);

#ifdef _WIN32
    unsigned char buffer[64] = {};
    CHECK_FALSE(GuardedCall(CopyFromNowhere, buffer));
    CHECK(GuardedCall(Count, &calls));
#endif
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
