// TraceController: both trace sessions (the kernel session and the DNS session), their consumer
// handles and processing threads, the loss figures and the decoder's TrackingState.
#pragma once

#include <cstdint>

#include "platform/thread.h"
#include "platform/tracedata.h"
#include "platform/ui.h"
#include "tracking/tracking_state.h"

namespace olv {

struct Recording;

constexpr uint64_t kNoSession = ~0ull; // session and consumer handles: none

// How long a stop waits for a processing thread to deliver what its stopped session still
// buffered (ProcessTrace returns by itself once it has) before the consumer is closed, which
// cuts the delivery off.
constexpr uint32_t kStopDeliveryWaitMs = 5000;

// Answers the question whether to stop another program's kernel trace session (true: stop it).
// The console program answers it itself, the window asks in a message box; without an answer
// the other program's session is left alone.
using TakeOverAnswer = bool (*)(void* context, const char16_t* question);

struct TraceController {
    char16_t errorText[512];
    TakeOverAnswer takeOver; // set before StartKernelSession; null: the answer is no
    void* takeOverContext;
    // Without a window to post to, the kernel session's end is left here (a heap text, swapped
    // atomically) for TakeTraceEndedNotice; released with the controller when never taken.
    char16_t* endedNotice;
    uint8_t dnsOn;
    uint8_t dnsEndedEarly;
    // The kernel audit provider of process and thread opens was enabled on the user-mode session
    // (Windows 10 and later). Set once at the start; a session that ends early ends it too.
    uint8_t processOpensOn;
    uint64_t kernelSession;
    uint64_t kernelTrace;
    UiHandle notifyWindow;
    Recording* core;
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
    // The stop's wait for each processing thread (kStopDeliveryWaitMs; tests shorten it).
    uint32_t stopDeliveryWaitMs;
    // A session whose consumer had to be closed before it delivered everything its buffers held
    // (kLossKernel, kLossDns). Window thread only.
    uint8_t deliveryCutShort[2];
    // The loss figures when the examined program was resumed (NoteProgramResumed): what the
    // sessions' start-up rundown lost, before the program could do anything. Window thread only.
    uint8_t resumeNoted;
    uint32_t eventsLostAtResume;
    uint32_t buffersLostAtResume;
};

enum LossSession : int { kLossKernel = 0, kLossDns = 1 };

struct LossFigures {
    uint32_t eventsLost;
    uint32_t buffersLost;
    uint32_t unreadableRecords;
    // Of eventsLost and buffersLost, those lost before the examined program was resumed; 0 until
    // NoteProgramResumed ran.
    uint32_t eventsLostBeforeResume;
    uint32_t buffersLostBeforeResume;
};

// The controller whose sessions are live; the event callback finds it here.
extern TraceController* activeTraceController;

void ResetTraceController(TraceController* tc);
bool StartKernelSession(TraceController* tc, UiHandle mainWindow, Recording* app);
void StopTraceSessions(TraceController* tc);
// A front end without a window: the heap text of the kernel session's end by itself (what
// WM_APP_TRACE_STOPPED would have carried; the caller frees it), or null. Taken once.
char16_t* TakeTraceEndedNotice(TraceController* tc);
void ReleaseTraceController(TraceController* tc);
LossFigures ReadLossFigures(TraceController* tc);
// Takes the loss figures at the moment the examined program is about to be resumed, so that
// losses before it ran are told apart from losses while it ran.
void NoteProgramResumed(TraceController* tc);
void OnEventRecord(const EventRecord* event);
bool StartDnsSession(TraceController* tc);
void StopDnsSession(TraceController* tc);

} // namespace olv
