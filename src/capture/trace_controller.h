// TraceController: both trace sessions (the kernel session and the DNS session), their consumer
// handles and processing threads, the loss figures and the decoder's TrackingState.
#pragma once

#include <cstdint>

#include "platform/thread.h"
#include "platform/tracedata.h"
#include "platform/ui.h"
#include "tracking/tracking_state.h"

namespace olv {

struct AppState;

constexpr uint64_t kNoSession = ~0ull; // session and consumer handles: none

struct TraceController {
    char16_t errorText[512];
    uint8_t dnsOn;
    uint8_t dnsEndedEarly;
    uint64_t kernelSession;
    uint64_t kernelTrace;
    UiHandle notifyWindow;
    AppState* appState;
    ThreadHandle kernelThread;
    uint32_t kernelRunning;     // atomic
    uint32_t unreadableRecords; // atomic
    // Loss figures of the sessions already stopped, each the larger of what its stop reported
    // and what it last reported while running.
    uint32_t finalEventsLost;
    uint32_t finalBuffersLost;
    uint8_t lossFinal;
    // Each session's last figures that a query or its stop reported (kLossKernel, kLossDns). A
    // session that ended by itself answers no more queries and may fail its stop; its figures
    // must not fall back to 0 then. Window thread only.
    uint32_t keptEventsLost[2];
    uint32_t keptBuffersLost[2];
    uint8_t foreignSessionStopped;
    uint64_t dnsSession;
    uint64_t dnsTrace;
    ThreadHandle dnsThread;
    TrackingState tracking;
};

enum LossSession : int { kLossKernel = 0, kLossDns = 1 };

struct LossFigures {
    uint32_t eventsLost;
    uint32_t buffersLost;
    uint32_t unreadableRecords;
};

// The controller whose sessions are live; the event callback finds it here.
extern TraceController* activeTraceController;

void ResetTraceController(TraceController* tc);
bool StartKernelSession(TraceController* tc, UiHandle mainWindow, AppState* app);
void StopTraceSessions(TraceController* tc);
void ReleaseTraceController(TraceController* tc);
LossFigures ReadLossFigures(TraceController* tc);
void OnEventRecord(const EventRecord* event);
bool StartDnsSession(TraceController* tc);
void StopDnsSession(TraceController* tc);

} // namespace olv
