#include "platform/thread.h"

#include <windows.h>

#include "platform/fault_countdown.h"
#include "platform/memory.h"
#include "platform/process_id_override.h"

namespace olv {

namespace {
struct Start {
    ThreadFunction fn;
    void* argument;
};

DWORD WINAPI Trampoline(LPVOID p) {
    Start s = *static_cast<Start*>(p);
    FreeBlock(p);
    return s.fn(s.argument);
}
} // namespace

ThreadHandle StartThread(ThreadFunction fn, void* argument, uint32_t* error) {
    if (error != nullptr) *error = 0;
    if (gThreadStartFault.Fires()) {
        if (error != nullptr) *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    Start* s = AllocRecord<Start>();
    if (s == nullptr) {
        if (error != nullptr) *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    s->fn = fn;
    s->argument = argument;
    HANDLE h = CreateThread(nullptr, 0, Trampoline, s, 0, nullptr);
    if (h == nullptr) {
        if (error != nullptr) *error = GetLastError();
        FreeBlock(s);
        return nullptr;
    }
    return h;
}

void JoinThread(ThreadHandle thread) {
    if (thread == nullptr) return;
    WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
    CloseHandle(static_cast<HANDLE>(thread));
}

bool WaitThreadEnd(ThreadHandle thread, uint32_t ms) {
    if (thread == nullptr) return false;
    return WaitForSingleObject(static_cast<HANDLE>(thread), ms) == WAIT_OBJECT_0;
}

uint32_t ProcessorCount() {
    // Every processor group: a session's per-processor buffers cover all of them.
    DWORD n = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    if (n == 0) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        n = info.dwNumberOfProcessors;
    }
    return n < 1 ? 1u : static_cast<uint32_t>(n);
}

void SleepMilliseconds(uint32_t ms) {
    Sleep(ms);
}

uint32_t CurrentProcessId() {
    uint32_t fixed = 0;
    return ProcessIdOverride(&fixed) ? fixed : GetCurrentProcessId();
}

} // namespace olv
