// Shared by the kernel session (trace_controller.cpp) and the DNS session (dns_session.cpp).
#pragma once

#include <atomic>
#include <cstdint>

#include "capture/trace_buffers.h"
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

// The block that starts a real-time session: every member zero except the buffer figures, the
// enable flags and the name (flushed every second, query-performance-counter time stamps).
void FillStartBlock(TraceProperties* block, const Guid& sessionGuid, const TraceBufferPlan& plan,
                    uint32_t enableFlags, const char16_t* loggerName);

// A zero block with only what stop and query need: Wnode.BufferSize 1160, LoggerNameOffset 120,
// LogFileNameOffset 640.
void FillStopQueryBlock(TraceProperties* block);

// The block that starts a session of the given load: FillStartBlock with the buffer figures of
// PlanTraceBuffers for this machine's processors.
void FillSessionStartBlock(TraceProperties* block, const Guid& sessionGuid, TraceSessionLoad load,
                           uint32_t enableFlags, const char16_t* loggerName);

// Asks the session behind *session (when not none) to stop and sets it to none. Its figures (the
// larger of what the stop reports and what the session last reported, kept for session `which`)
// are added to the final sums; a successful stop sets lossFinal. True when the session is gone,
// so that its processing thread's ProcessTrace returns by itself once the buffers are delivered
// (stopped now, or ended before); false when it may still run (the stop failed otherwise).
bool StopSessionAndKeepFigures(TraceController* tc, uint64_t* session, LossSession which);
// After the stop request: waits up to stopDeliveryWaitMs for the processing thread to end by
// itself when sessionGone, then closes the consumer and joins the thread; each handle set back
// to none. A thread still delivering when the wait runs out sets deliveryCutShort[which].
void FinishConsumer(TraceController* tc, uint64_t* trace, ThreadHandle* thread, LossSession which,
                    bool sessionGone);
// Both steps for one session.
void StopOneSession(TraceController* tc, uint64_t* session, uint64_t* trace, ThreadHandle* thread,
                    LossSession which);

} // namespace olv
