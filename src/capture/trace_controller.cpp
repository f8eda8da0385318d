// The kernel trace session ("NT Kernel Logger"): start (taking it over from another program
// after asking), the processing thread, the event callback, the ordered stop and the loss
// figures.
#include <cstring>

#include "base/atomic.h"
#include "base/format.h"
#include "base/product.h"
#include "base/text.h"
#include "capture/event_queue.h"
#include "capture/trace_controller.h"
#include "capture/trace_controller_internal.h"
#include "decode/decode.h"
#include "platform/error_message.h"
#include "platform/guarded_call.h"
#include "platform/memory.h"
#include "platform/trace_session.h"

namespace olv {

TraceController* activeTraceController = nullptr;

namespace {

constexpr const char16_t* kKernelLoggerName = u"NT Kernel Logger";
constexpr Guid kSystemTraceControlGuid = {
    0x9e814aad, 0x3204, 0x11d2, {0x9a, 0x82, 0x00, 0x60, 0x08, 0xa8, 0x69, 0x39}};
// Process, thread, image load, TCP/IP, registry, file I/O and file I/O initiation.
constexpr uint32_t kKernelEnableFlags =
    0x00000001 | 0x00000002 | 0x00000004 | 0x00010000 | 0x00020000 | 0x02000000 | 0x04000000;
static_assert(kKernelEnableFlags == 0x06030007);

constexpr const char16_t* kTakeOverQuestion =
    u"Another program is already using the Windows kernel trace session.\n\nWindows only has "
    u"one of these, so monitoring cannot start until it is free. Taking it stops whatever that "
    u"other program is recording.\n\nStop the existing session and continue?";
constexpr const char16_t* kSessionTakenText =
    u"Recording stopped on its own: something else took the Windows kernel trace session. "
    u"Nothing after this point was recorded.";
constexpr const char16_t* kSessionEndedFormat =
    u"Recording stopped on its own (ProcessTrace: %s). Nothing after this point was recorded.";
constexpr size_t kErrorTextUnits = sizeof(TraceController::errorText) / sizeof(char16_t);
constexpr size_t kStoppedTextUnits = 256;

TraceController* LoadActiveController() {
    return std::atomic_ref<TraceController*>(activeTraceController).load(std::memory_order_acquire);
}

void StoreActiveController(TraceController* tc) {
    std::atomic_ref<TraceController*>(activeTraceController).store(tc, std::memory_order_release);
}

void FillKernelBlock(TraceProperties* block) {
    FillSessionStartBlock(block, kSystemTraceControlGuid, kMachineWideLoad, kKernelEnableFlags,
                          kKernelLoggerName);
}

// The TrackingState's RowSink: rows released from the held-row pool go to the EventQueue.
void QueueRowOfController(void* context, const EventRow* row) {
    auto* tc = static_cast<TraceController*>(context);
    const char16_t* text = nullptr;
    uint32_t units = 0;
    const bool whole = TakeWholeRowText(&text, &units);
    if (tc == nullptr || tc->core == nullptr) return;
    QueueRowWithText(tc->core, row, whole ? text : nullptr, whole ? units : 0);
}

struct DecodeJob {
    TraceController* tc;
    const EventRecord* event;
};

void DecodeAndQueue(void* context) {
    auto* job = static_cast<DecodeJob*>(context);
    if (job->event == nullptr) return;
    EventRow row; // DecodeEvent gives a kept row every byte
    const char16_t* text = nullptr;
    uint32_t units = 0;
    // A whole text left by a decode that faulted before its row was queued belongs to no row.
    TakeWholeRowText(&text, &units);
    const bool decoded = DecodeEvent(&job->tc->tracking, job->event, &row);
    // A script or content row's whole text, taken even when no row came (nothing is left over).
    const bool whole = TakeWholeRowText(&text, &units);
    if (decoded && job->tc->core != nullptr) {
        QueueRowWithText(job->tc->core, &row, whole ? text : nullptr, whole ? units : 0);
    }
}

uint32_t KernelThreadMain(void* argument) {
    auto* tc = static_cast<TraceController*>(argument);
    const uint64_t trace = LoadTraceHandle(tc->kernelTrace);
    RaiseConsumerThreadPriority(trace); // a failure leaves it at normal priority
    uint32_t status = ProcessTraceEvents(trace);
    ReleaseThreadWholeText();
    if (AtomicLoad(tc->kernelRunning) == 0) return 0; // the stop was asked for
    auto* text = static_cast<char16_t*>(AllocZeroed(kStoppedTextUnits * sizeof(char16_t)));
    if (text == nullptr) return 0;
    if (status == kStatusSuccess || status == kStatusCancelled) {
        CopyBounded(text, kStoppedTextUnits, kSessionTakenText);
    } else {
        char16_t reason[kErrorMessageChars];
        SystemErrorMessage(status, reason, kErrorMessageChars);
        FormatText(text, kStoppedTextUnits, kSessionEndedFormat, reason);
    }
    if (tc->notifyWindow == nullptr) {
        FreeBlock(std::atomic_ref<char16_t*>(tc->endedNotice).exchange(text));
    } else if (!UiPostMessage(tc->notifyWindow, WM_APP_TRACE_STOPPED, 0,
                              reinterpret_cast<intptr_t>(text))) {
        FreeBlock(text);
    }
    return 0;
}

// Windows' figures only grow while a session lives; a smaller answer (or none) never lowers them.
void KeepLargerFigures(TraceController* tc, LossSession which, uint32_t eventsLost,
                       uint32_t buffersLost) {
    if (eventsLost > tc->keptEventsLost[which]) tc->keptEventsLost[which] = eventsLost;
    if (buffersLost > tc->keptBuffersLost[which]) tc->keptBuffersLost[which] = buffersLost;
}

// "<what>: <the system's text> (<n>)", for example "OpenTrace failed: Access is denied. (5)".
void SetErrorWithSystemText(TraceController* tc, const char16_t* format, uint32_t error) {
    char16_t reason[kErrorMessageChars];
    SystemErrorMessage(error, reason, kErrorMessageChars);
    FormatText(tc->errorText, kErrorTextUnits, format, reason);
}

void SetErrorText(TraceController* tc, const char16_t* text) {
    CopyBounded(tc->errorText, kErrorTextUnits, text);
}

} // namespace

void FillStartBlock(TraceProperties* block, const Guid& sessionGuid, const TraceBufferPlan& plan,
                    uint32_t enableFlags, const char16_t* loggerName) {
    std::memset(block, 0, sizeof *block);
    block->wnode.bufferSize = kTracePropertiesSize;
    block->wnode.guid = sessionGuid;
    block->wnode.clientContext = 1;
    block->wnode.flags = kWnodeFlagTracedGuid;
    block->bufferSize = plan.bufferSizeKb;
    block->minimumBuffers = plan.minimumBuffers;
    block->maximumBuffers = plan.maximumBuffers;
    block->logFileMode = kEventTraceRealTimeMode;
    block->flushTimer = 1;
    block->enableFlags = enableFlags;
    block->logFileNameOffset = 0;
    block->loggerNameOffset = kTraceLoggerNameOffset;
    CopyBounded(block->loggerName, kTraceNameUnits, loggerName);
}

void FillSessionStartBlock(TraceProperties* block, const Guid& sessionGuid, TraceSessionLoad load,
                           uint32_t enableFlags, const char16_t* loggerName) {
    FillStartBlock(block, sessionGuid, PlanTraceBuffers(ProcessorCount(), load), enableFlags,
                   loggerName);
}

void FillStopQueryBlock(TraceProperties* block) {
    std::memset(block, 0, sizeof *block);
    block->wnode.bufferSize = kTracePropertiesSize;
    block->loggerNameOffset = kTraceLoggerNameOffset;
    block->logFileNameOffset = kTraceLogFileNameOffset;
}

bool StopSessionAndKeepFigures(TraceController* tc, uint64_t* session, LossSession which) {
    if (*session == kNoSession) return true;
    TraceProperties block;
    FillStopQueryBlock(&block);
    const uint32_t status = ControlTraceSession(*session, nullptr, &block, kTraceControlStop);
    if (status == kStatusSuccess) {
        KeepLargerFigures(tc, which, block.eventsLost, block.realTimeBuffersLost);
        tc->lossFinal = 1;
    }
    // A session that ended by itself may no longer answer: what it reported last still counts.
    tc->finalEventsLost += tc->keptEventsLost[which];
    tc->finalBuffersLost += tc->keptBuffersLost[which];
    tc->keptEventsLost[which] = 0;
    tc->keptBuffersLost[which] = 0;
    *session = kNoSession;
    // Not found: the session had already ended by itself.
    return status == kStatusSuccess || status == kStatusInstanceNotFound;
}

void ResetTraceController(TraceController* tc) {
    if (tc == nullptr) return;
    std::memset(tc->errorText, 0, sizeof tc->errorText);
    AtomicStore8(tc->dnsOn, 0);
    AtomicStore8(tc->dnsEndedEarly, 0);
    tc->processOpensOn = 0;
    tc->kernelSession = kNoSession;
    StoreTraceHandle(tc->kernelTrace, kNoSession);
    tc->notifyWindow = nullptr;
    tc->core = nullptr;
    tc->kernelThread = nullptr;
    AtomicStore(tc->kernelRunning, 0);
    AtomicStore(tc->unreadableRecords, 0);
    tc->finalEventsLost = 0;
    tc->finalBuffersLost = 0;
    tc->lossFinal = 0;
    for (int which : {kLossKernel, kLossDns}) {
        tc->keptEventsLost[which] = 0;
        tc->keptBuffersLost[which] = 0;
    }
    tc->foreignSessionStopped = 0;
    tc->dnsSession = kNoSession;
    StoreTraceHandle(tc->dnsTrace, kNoSession);
    tc->dnsThread = nullptr;
    InitTrackingState(&tc->tracking);
    tc->stopDeliveryWaitMs = kStopDeliveryWaitMs;
    tc->deliveryCutShort[kLossKernel] = 0;
    tc->deliveryCutShort[kLossDns] = 0;
    tc->resumeNoted = 0;
    tc->eventsLostAtResume = 0;
    tc->buffersLostAtResume = 0;
}

bool StartKernelSession(TraceController* tc, UiHandle mainWindow, Recording* app) {
    tc->notifyWindow = mainWindow;
    tc->core = app;
    StoreActiveController(tc);
    SetRowSink(&tc->tracking, QueueRowOfController, tc);

    auto* block = AllocRecord<TraceProperties>();
    if (block == nullptr) {
        SetErrorText(tc, u"Memory allocation failed");
        return false;
    }
    FillKernelBlock(block);
    uint32_t status = StartTraceSession(&tc->kernelSession, kKernelLoggerName, block);
    if (status == kStatusAlreadyExists) {
        const bool yes =
            tc->takeOver != nullptr && tc->takeOver(tc->takeOverContext, kTakeOverQuestion);
        if (!yes) {
            FreeBlock(block);
            SetErrorText(tc, u"The Windows kernel trace session is in use by another program.");
            return false;
        }
        if (auto* stopBlock = AllocRecord<TraceProperties>()) {
            FillStopQueryBlock(stopBlock);
            if (ControlTraceSession(kNoSession, kKernelLoggerName, stopBlock, kTraceControlStop) ==
                kStatusSuccess) {
                tc->foreignSessionStopped = 1;
            }
            FreeBlock(stopBlock);
        }
        SleepMilliseconds(100);
        FillKernelBlock(block);
        status = StartTraceSession(&tc->kernelSession, kKernelLoggerName, block);
    }
    FreeBlock(block);
    if (status != kStatusSuccess) {
        SetErrorWithSystemText(tc, u"StartTrace failed: %s", status);
        if (status == kStatusAccessDenied) {
            AppendBounded(tc->errorText, kErrorTextUnits, u" (Admin required)");
        }
        return false;
    }

    uint32_t lastError = 0;
    StoreTraceHandle(tc->kernelTrace,
                     OpenRealTimeTrace(kKernelLoggerName, OnEventRecord, &lastError));
    if (tc->kernelTrace == kNoSession) {
        SetErrorWithSystemText(tc, u"OpenTrace failed: %s", lastError);
        StopTraceSessions(tc);
        return false;
    }

    AtomicExchange(tc->kernelRunning, 1);
    uint32_t threadError = 0;
    tc->kernelThread = StartThread(KernelThreadMain, tc, &threadError);
    if (tc->kernelThread == nullptr) {
        AtomicExchange(tc->kernelRunning, 0);
        SetErrorWithSystemText(tc, u"CreateThread failed: %s", threadError);
        StopTraceSessions(tc);
        return false;
    }

    // StartDnsSession sets dnsOn itself before its thread runs, so that a DNS session that
    // ends at once is not reported as running afterwards.
    if (!StartDnsSession(tc)) AtomicStore8(tc->dnsOn, 0);
    return true;
}

void OnEventRecord(const EventRecord* event) {
    TraceController* tc = LoadActiveController();
    if (tc == nullptr) return;
    DecodeJob job{tc, event};
    if (!GuardedCall(DecodeAndQueue, &job)) {
        // The row is lost; the trace goes on with the next event.
        if (TraceController* now = LoadActiveController()) AtomicAdd(now->unreadableRecords, 1);
    }
}

void FinishConsumer(TraceController* tc, uint64_t* trace, ThreadHandle* thread, LossSession which,
                    bool sessionGone) {
    // A stopped session still hands over what its buffers hold, the kernel session's rundown of
    // open keys among it, and ProcessTrace returns once it has. Closing the consumer earlier
    // would make it return without them, so it is closed first only when the wait runs out.
    if (*thread != nullptr && sessionGone && !WaitThreadEnd(*thread, tc->stopDeliveryWaitMs)) {
        tc->deliveryCutShort[which] = 1;
    }
    if (uint64_t consumer = LoadTraceHandle(*trace); consumer != kNoSession) {
        CloseTraceConsumer(consumer);
        StoreTraceHandle(*trace, kNoSession);
    }
    if (*thread != nullptr) {
        JoinThread(*thread);
        *thread = nullptr;
    }
}

void StopOneSession(TraceController* tc, uint64_t* session, uint64_t* trace, ThreadHandle* thread,
                    LossSession which) {
    const bool gone = StopSessionAndKeepFigures(tc, session, which);
    FinishConsumer(tc, trace, thread, which, gone);
}

void StopTraceSessions(TraceController* tc) {
    if (tc == nullptr) return;
    AtomicExchange(tc->kernelRunning, 0);
    // Both sessions are asked to stop before either is waited for, so that they deliver their
    // last buffers side by side.
    const bool kernelGone = StopSessionAndKeepFigures(tc, &tc->kernelSession, kLossKernel);
    const bool dnsGone = StopSessionAndKeepFigures(tc, &tc->dnsSession, kLossDns);
    FinishConsumer(tc, &tc->kernelTrace, &tc->kernelThread, kLossKernel, kernelGone);
    FinishConsumer(tc, &tc->dnsTrace, &tc->dnsThread, kLossDns, dnsGone);
    AtomicStore8(tc->dnsOn, 0);
    // No callback runs any more: the rows still held for their completion go to the queue on
    // this thread. After ReleaseTraceController the tables are gone (their locks deleted), and a
    // further release must not touch them.
    if (tc->tracking.pending.lock.initialised != 0) FlushHeldFileRows(&tc->tracking);
    FlushScriptBlocks(&tc->tracking);
    if (LoadActiveController() == tc) StoreActiveController(nullptr);
}

char16_t* TakeTraceEndedNotice(TraceController* tc) {
    if (tc == nullptr) return nullptr;
    return std::atomic_ref<char16_t*>(tc->endedNotice).exchange(nullptr);
}

void ReleaseTraceController(TraceController* tc) {
    if (tc == nullptr) return;
    StopTraceSessions(tc);
    FreeBlock(TakeTraceEndedNotice(tc)); // the thread is joined: nothing comes after this
    FreeTrackingState(&tc->tracking);
}

LossFigures ReadLossFigures(TraceController* tc) {
    LossFigures figures{};
    if (tc == nullptr) return figures;
    // Sessions already stopped gave their final figures; those still there are asked now, and a
    // session that does not answer (it ended by itself) counts with what it reported last.
    figures.eventsLost = tc->finalEventsLost;
    figures.buffersLost = tc->finalBuffersLost;
    const uint64_t sessions[2] = {tc->kernelSession, tc->dnsSession};
    for (int which : {kLossKernel, kLossDns}) {
        if (sessions[which] == kNoSession) continue;
        TraceProperties block;
        FillStopQueryBlock(&block);
        if (ControlTraceSession(sessions[which], nullptr, &block, kTraceControlQuery) ==
            kStatusSuccess) {
            KeepLargerFigures(tc, static_cast<LossSession>(which), block.eventsLost,
                              block.realTimeBuffersLost);
        }
        figures.eventsLost += tc->keptEventsLost[which];
        figures.buffersLost += tc->keptBuffersLost[which];
    }
    figures.unreadableRecords = AtomicLoad(tc->unreadableRecords);
    if (tc->resumeNoted != 0) {
        // Figures only grow, but a session whose answers stopped may report less than it did.
        figures.eventsLostBeforeResume =
            tc->eventsLostAtResume < figures.eventsLost ? tc->eventsLostAtResume : figures.eventsLost;
        figures.buffersLostBeforeResume = tc->buffersLostAtResume < figures.buffersLost
                                              ? tc->buffersLostAtResume
                                              : figures.buffersLost;
    }
    return figures;
}

void NoteProgramResumed(TraceController* tc) {
    if (tc == nullptr) return;
    const LossFigures figures = ReadLossFigures(tc);
    tc->eventsLostAtResume = figures.eventsLost;
    tc->buffersLostAtResume = figures.buffersLost;
    tc->resumeNoted = 1;
}

} // namespace olv
