// The guarded call that the event callback decodes through: a fault inside it is caught, the
// guard answers false and the thread goes on. Under Windows (Wine) the faults are real access
// violations; natively they are the simulated ones.
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

#include "doctest.h"
#include "platform/guarded_call.h"
#include "platform/thread.h"

using namespace olv;

namespace {

#ifdef _WIN32
// A pointer the compiler cannot prove null, so the write below is a real store to address 0.
int* volatile gNowhere = nullptr;

// A fault inside a system DLL (the C runtime's memcpy).
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
}

TEST_CASE("only a fault of the program's own image is recovered") {
    struct Case {
        uintptr_t address, start, end;
        bool ours;
    } cases[] = {
        {0x140001000, 0x140000000, 0x140200000, true},
        {0x140000000, 0x140000000, 0x140200000, true},
        {0x1401fffff, 0x140000000, 0x140200000, true},
        {0x140200000, 0x140000000, 0x140200000, false},
        {0x13fffffff, 0x140000000, 0x140200000, false},
        {0x7ffb4e4d1000, 0x140000000, 0x140200000, false},
        {0, 0, 0, false}, // the image was not found: nothing is recovered
    };
    for (const Case& c : cases) {
        CAPTURE(c.address);
        CHECK(FaultIsOurs(c.address, c.start, c.end) == c.ours);
    }
}

#ifdef _WIN32
namespace {

constexpr wchar_t kChildVariable[] = L"OLV_GUARD_FAULT_CHILD";
constexpr UINT kRecoveredStatus = 3;

// Stands in for the system's end of a process with an unhandled fault (Wine would start its
// debugger instead): the process ends with the fault's code.
LONG WINAPI EndWithFaultCode(EXCEPTION_POINTERS* info) {
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

// Runs twice: in the suite, it starts a copy of the suite that runs only this case with the
// variable set; that copy faults inside msvcrt's memcpy under a guard.
TEST_CASE("a fault inside a system DLL is passed on and ends the process") {
    if (GetEnvironmentVariableW(kChildVariable, nullptr, 0) != 0) {
        SetUnhandledExceptionFilter(EndWithFaultCode);
        unsigned char buffer[64] = {};
        GuardedCall(CopyFromNowhere, buffer);
        ExitProcess(kRecoveredStatus); // the guard resumed after the DLL's fault
    }
    wchar_t self[MAX_PATH] = {};
    REQUIRE(GetModuleFileNameW(nullptr, self, MAX_PATH) > 0);
    wchar_t command[MAX_PATH + 100] = {};
    wsprintfW(command, L"\"%ls\" -tc=\"a fault inside a system DLL*\"", self);
    REQUIRE(SetEnvironmentVariableW(kChildVariable, L"1"));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    const BOOL started = CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &child);
    SetEnvironmentVariableW(kChildVariable, nullptr);
    REQUIRE(started);
    INFO("waited for the copy of the suite that faults in msvcrt to end");
    const DWORD waited = WaitForSingleObject(child.hProcess, 60000);
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    if (waited != WAIT_OBJECT_0) TerminateProcess(child.hProcess, 1);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    REQUIRE(waited == WAIT_OBJECT_0);
    CHECK(status != kRecoveredStatus);
    CHECK(status == EXCEPTION_ACCESS_VIOLATION);
}
#endif

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
