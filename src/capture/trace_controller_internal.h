// Shared by the kernel session (trace_controller.cpp) and the DNS session (dns_session.cpp).
#pragma once

#include <atomic>
#include <cstdint>

#include "capture/trace_controller.h"
#include "platform/trace_session.h"

namespace olv {

static_assert(kNoSession == kNoTraceHandle);

// Consumer handles are read by the processing thread while the window thread may close and
// clear them, so both sides go through these.
inline uint64_t LoadTraceHandle(const uint64_t& h) {
    return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(h)).load(std::memory_order_acquire);
}
inline void StoreTraceHandle(uint64_t& h, uint64_t value) {
    std::atomic_ref<uint64_t>(h).store(value, std::memory_order_release);
}

// The block that starts a real-time session: every member zero except those of the session
// tables (buffers of 64 KB, flushed every second, query-performance-counter time stamps).
void FillStartBlock(TraceProperties* block, const Guid& sessionGuid, uint32_t minimumBuffers,
                    uint32_t maximumBuffers, uint32_t enableFlags, const char16_t* loggerName);

// A zero block with only what stop and query need: Wnode.BufferSize 1160, LoggerNameOffset 120,
// LogFileNameOffset 640.
void FillStopQueryBlock(TraceProperties* block);

// Stops the session behind *session (when not none) and sets it to none. Its figures (the larger
// of what the stop reports and what the session last reported, kept for session `which`) are
// added to the final sums; a successful stop sets lossFinal.
void StopSessionAndKeepFigures(TraceController* tc, uint64_t* session, LossSession which);
// Stops one of the controller's sessions in full: the session stopped (its loss figures kept),
// its consumer closed, its processing thread joined; each handle set back to none.
void StopOneSession(TraceController* tc, uint64_t* session, uint64_t* trace, ThreadHandle* thread,
                    LossSession which);

} // namespace olv
