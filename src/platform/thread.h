// Threads and waits for the trace processing threads and the launcher's watcher.
#pragma once

#include <cstdint>

namespace olv {

using ThreadHandle = void*; // null: none
using ThreadFunction = uint32_t (*)(void* argument);

// Starts a thread running fn(argument). Returns null on failure with the system error in
// *error (when error is not null).
ThreadHandle StartThread(ThreadFunction fn, void* argument, uint32_t* error);
// Waits without a time limit, then releases the handle. Safe with null.
void JoinThread(ThreadHandle thread);
// Waits at most ms milliseconds for the thread to end; true when it has ended. The handle stays
// valid either way (JoinThread releases it). False with null.
bool WaitThreadEnd(ThreadHandle thread, uint32_t ms);
void SleepMilliseconds(uint32_t ms);
// The number of logical processors of the machine (every processor group); at least 1.
uint32_t ProcessorCount();
// The process id of this program.
uint32_t CurrentProcessId();
// Makes CurrentProcessId report this id (the replay tool fixes it so that its outputs do not
// depend on the run); 0 switches the override off.
void SetProcessIdOverride(uint32_t processId);

// Test hook: the nth thread start from now (1 = the next) fails with error 8
// (not enough memory); 0 switches it off.
void RefuseNthThreadStart(int64_t nth);

} // namespace olv
