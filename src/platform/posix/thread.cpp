#include "platform/thread.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/fault_countdown.h"
#include "platform/memory.h"
#include "platform/process_id_override.h"

namespace olv {

namespace {
// The end of the thread function is signalled separately from the join, so that a bounded wait
// (WaitThreadEnd) leaves the thread joinable.
struct Start {
    pthread_t thread;
    ThreadFunction fn;
    void* argument;
    std::mutex mutex;
    std::condition_variable ended;
    bool done;
};

void* Trampoline(void* p) {
    Start* s = static_cast<Start*>(p);
    s->fn(s->argument);
    std::lock_guard<std::mutex> guard(s->mutex);
    s->done = true;
    s->ended.notify_all();
    return nullptr;
}
} // namespace

ThreadHandle StartThread(ThreadFunction fn, void* argument, uint32_t* error) {
    if (error != nullptr) *error = 0;
    if (gThreadStartFault.Fires()) {
        if (error != nullptr) *error = 8;
        return nullptr;
    }
    void* block = AllocZeroed(sizeof(Start));
    if (block == nullptr) {
        if (error != nullptr) *error = 8;
        return nullptr;
    }
    Start* s = new (block) Start{};
    s->fn = fn;
    s->argument = argument;
    int rc = pthread_create(&s->thread, nullptr, Trampoline, s);
    if (rc != 0) {
        s->~Start();
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
    s->~Start();
    FreeBlock(s);
}

bool WaitThreadEnd(ThreadHandle thread, uint32_t ms) {
    if (thread == nullptr) return false;
    Start* s = static_cast<Start*>(thread);
    std::unique_lock<std::mutex> lock(s->mutex);
    return s->ended.wait_for(lock, std::chrono::milliseconds(ms), [s] { return s->done; });
}

uint32_t ProcessorCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1u : static_cast<uint32_t>(n);
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
