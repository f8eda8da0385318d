#include "platform/thread.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include "platform/fault_countdown.h"
#include "platform/memory.h"
#include "platform/process_id_override.h"

namespace olv {

namespace {
struct Start {
    pthread_t thread;
    ThreadFunction fn;
    void* argument;
};

void* Trampoline(void* p) {
    Start* s = static_cast<Start*>(p);
    s->fn(s->argument);
    return nullptr;
}
} // namespace

ThreadHandle StartThread(ThreadFunction fn, void* argument, uint32_t* error) {
    if (error != nullptr) *error = 0;
    if (gThreadStartFault.Fires()) {
        if (error != nullptr) *error = 8;
        return nullptr;
    }
    Start* s = AllocRecord<Start>();
    if (s == nullptr) {
        if (error != nullptr) *error = 8;
        return nullptr;
    }
    s->fn = fn;
    s->argument = argument;
    int rc = pthread_create(&s->thread, nullptr, Trampoline, s);
    if (rc != 0) {
        FreeBlock(s);
        if (error != nullptr) *error = static_cast<uint32_t>(rc);
        return nullptr;
    }
    return s;
}

void JoinThread(ThreadHandle thread) {
    if (thread == nullptr) return;
    Start* s = static_cast<Start*>(thread);
    pthread_join(s->thread, nullptr);
    FreeBlock(s);
}

void SleepMilliseconds(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {}
}

uint32_t CurrentProcessId() {
    uint32_t fixed = 0;
    return ProcessIdOverride(&fixed) ? fixed : static_cast<uint32_t>(getpid());
}

} // namespace olv
