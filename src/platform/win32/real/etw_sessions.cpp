// Trace sessions on Event Tracing for Windows (advapi32).
#include "platform/trace_session.h"

#include <atomic>
#include <cstddef>
#include <windows.h>

#include <evntcons.h>
#include <evntrace.h>

namespace olv {

static_assert(sizeof(wchar_t) == 2);
static_assert(sizeof(GUID) == sizeof(Guid));
static_assert(sizeof(WNODE_HEADER) == sizeof(TraceWnodeHeader));
static_assert(offsetof(WNODE_HEADER, Guid) == offsetof(TraceWnodeHeader, guid));
static_assert(offsetof(WNODE_HEADER, ClientContext) == offsetof(TraceWnodeHeader, clientContext));
static_assert(offsetof(WNODE_HEADER, Flags) == offsetof(TraceWnodeHeader, flags));
static_assert(sizeof(EVENT_TRACE_PROPERTIES) == kTraceLoggerNameOffset);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, BufferSize) ==
              offsetof(TraceProperties, bufferSize));
static_assert(offsetof(EVENT_TRACE_PROPERTIES, MinimumBuffers) ==
              offsetof(TraceProperties, minimumBuffers));
static_assert(offsetof(EVENT_TRACE_PROPERTIES, MaximumBuffers) ==
              offsetof(TraceProperties, maximumBuffers));
static_assert(offsetof(EVENT_TRACE_PROPERTIES, LogFileMode) ==
              offsetof(TraceProperties, logFileMode));
static_assert(offsetof(EVENT_TRACE_PROPERTIES, FlushTimer) ==
              offsetof(TraceProperties, flushTimer));
static_assert(offsetof(EVENT_TRACE_PROPERTIES, EnableFlags) ==
              offsetof(TraceProperties, enableFlags));
static_assert(offsetof(EVENT_TRACE_PROPERTIES, EventsLost) ==
              offsetof(TraceProperties, eventsLost));
static_assert(offsetof(EVENT_TRACE_PROPERTIES, RealTimeBuffersLost) ==
              offsetof(TraceProperties, realTimeBuffersLost));
static_assert(offsetof(EVENT_TRACE_PROPERTIES, LogFileNameOffset) ==
              offsetof(TraceProperties, logFileNameOffset));
static_assert(offsetof(EVENT_TRACE_PROPERTIES, LoggerNameOffset) ==
              offsetof(TraceProperties, loggerNameOffset));

static_assert(sizeof(EVENT_RECORD) == sizeof(EventRecord));
static_assert(sizeof(EVENT_HEADER) == sizeof(EventHeader));
static_assert(offsetof(EVENT_HEADER, Flags) == offsetof(EventHeader, flags));
static_assert(offsetof(EVENT_HEADER, ThreadId) == offsetof(EventHeader, threadId));
static_assert(offsetof(EVENT_HEADER, ProcessId) == offsetof(EventHeader, processId));
static_assert(offsetof(EVENT_HEADER, TimeStamp) == offsetof(EventHeader, timeStamp));
static_assert(offsetof(EVENT_HEADER, ProviderId) == offsetof(EventHeader, providerId));
static_assert(offsetof(EVENT_HEADER, EventDescriptor) == offsetof(EventHeader, descriptor));
static_assert(offsetof(EVENT_HEADER, ActivityId) == offsetof(EventHeader, activityId));
static_assert(offsetof(EVENT_RECORD, BufferContext) == offsetof(EventRecord, bufferContext));
static_assert(offsetof(EVENT_RECORD, ExtendedDataCount) ==
              offsetof(EventRecord, extendedDataCount));
static_assert(offsetof(EVENT_RECORD, UserDataLength) == offsetof(EventRecord, userDataLength));
static_assert(offsetof(EVENT_RECORD, ExtendedData) == offsetof(EventRecord, extendedData));
static_assert(offsetof(EVENT_RECORD, UserData) == offsetof(EventRecord, userData));
static_assert(offsetof(EVENT_RECORD, UserContext) == offsetof(EventRecord, userContext));
static_assert(offsetof(EVENT_DESCRIPTOR, Opcode) == offsetof(EventDescriptor, opcode));
static_assert(offsetof(EVENT_DESCRIPTOR, Keyword) == offsetof(EventDescriptor, keyword));

namespace {

// The program has one event callback for all of its consumers. The logfile's Context is left
// null, so that EventRecord.userContext of a real record is null (the trace-data layer tells
// simulated records by that pointer).
std::atomic<TraceEventCallback> gCallback{nullptr};

VOID WINAPI ForwardEvent(PEVENT_RECORD record) {
    TraceEventCallback callback = gCallback.load(std::memory_order_acquire);
    if (callback != nullptr) callback(reinterpret_cast<const EventRecord*>(record));
}

LPCWSTR Wide(const char16_t* text) {
    return reinterpret_cast<LPCWSTR>(text);
}

} // namespace

uint32_t StartTraceSession(uint64_t* session, const char16_t* name, TraceProperties* props) {
    TRACEHANDLE handle = 0;
    ULONG status =
        StartTraceW(&handle, Wide(name), reinterpret_cast<PEVENT_TRACE_PROPERTIES>(props));
    if (status == ERROR_SUCCESS && session != nullptr) *session = handle;
    return status;
}

uint32_t ControlTraceSession(uint64_t session, const char16_t* name, TraceProperties* props,
                             uint32_t controlCode) {
    TRACEHANDLE handle = session == kNoTraceHandle ? 0 : session;
    return ControlTraceW(handle, name == nullptr ? nullptr : Wide(name),
                         reinterpret_cast<PEVENT_TRACE_PROPERTIES>(props), controlCode);
}

uint32_t EnableTraceProvider(uint64_t session, const Guid& provider, uint32_t controlCode,
                             uint8_t level, uint64_t matchAnyKeyword, uint64_t matchAllKeyword,
                             uint32_t timeoutMs) {
    return EnableTraceEx2(session, reinterpret_cast<LPCGUID>(&provider), controlCode, level,
                          matchAnyKeyword, matchAllKeyword, timeoutMs, nullptr);
}

uint64_t OpenRealTimeTrace(const char16_t* loggerName, TraceEventCallback callback,
                           uint32_t* lastError) {
    if (lastError != nullptr) *lastError = 0;
    gCallback.store(callback, std::memory_order_release);
    EVENT_TRACE_LOGFILEW logfile;
    ZeroMemory(&logfile, sizeof logfile);
    logfile.LoggerName = const_cast<LPWSTR>(Wide(loggerName));
    logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
    logfile.EventRecordCallback = ForwardEvent;
    TRACEHANDLE handle = OpenTraceW(&logfile);
    if (handle == INVALID_PROCESSTRACE_HANDLE) {
        if (lastError != nullptr) *lastError = GetLastError();
        return kNoTraceHandle;
    }
    return handle;
}

uint32_t ProcessTraceEvents(uint64_t trace) {
    TRACEHANDLE handle = trace;
    return ProcessTrace(&handle, 1, nullptr, nullptr);
}

uint32_t CloseTraceConsumer(uint64_t trace) {
    return CloseTrace(trace);
}

uint32_t RaiseConsumerThreadPriority(uint64_t) {
    // ABOVE_NORMAL, not HIGHEST: the consumer must outrun the examined program's normal-priority
    // threads, yet leave the window thread's intake on the same processors room to run.
    if (SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL)) return ERROR_SUCCESS;
    return GetLastError();
}

} // namespace olv
