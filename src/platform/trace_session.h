// Trace sessions: the controller and real-time consumer calls the capture code makes.
//
// Windows (platform/win32/real/etw_sessions.cpp): StartTraceW, ControlTraceW, EnableTraceEx2,
// OpenTraceW, ProcessTrace and CloseTrace. Stand-in (platform/sim/sim_trace_service.h): an
// in-process trace service that tests and the replay tool script.
//
// Every call returns the Windows status (0 = success) except OpenRealTimeTrace, which returns a
// consumer handle, or kNoTraceHandle with the error in *lastError.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/tracedata.h"

namespace olv {

constexpr uint64_t kNoTraceHandle = ~0ull; // session and consumer handles: none

// Status codes the capture code tests for (the Windows error numbers).
constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusAccessDenied = 5;        // ERROR_ACCESS_DENIED
constexpr uint32_t kStatusNotEnoughMemory = 8;     // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kStatusAlreadyExists = 183;     // ERROR_ALREADY_EXISTS
constexpr uint32_t kStatusCancelled = 1223;        // ERROR_CANCELLED
constexpr uint32_t kStatusInstanceNotFound = 4201; // ERROR_WMI_INSTANCE_NOT_FOUND

// ControlTraceW codes.
constexpr uint32_t kTraceControlQuery = 0; // EVENT_TRACE_CONTROL_QUERY
constexpr uint32_t kTraceControlStop = 1;  // EVENT_TRACE_CONTROL_STOP

// Property values the sessions use.
constexpr uint32_t kWnodeFlagTracedGuid = 0x00020000;    // WNODE_FLAG_TRACED_GUID
constexpr uint32_t kEventTraceRealTimeMode = 0x00000100; // EVENT_TRACE_REAL_TIME_MODE
constexpr uint32_t kEnableProviderControlCode = 1;       // EVENT_CONTROL_CODE_ENABLE_PROVIDER
constexpr uint8_t kTraceLevelInformation = 4;            // TRACE_LEVEL_INFORMATION
constexpr uint8_t kTraceLevelVerbose = 5;                // TRACE_LEVEL_VERBOSE

// The WNODE_HEADER at the start of the properties block (48 bytes).
struct TraceWnodeHeader {
    uint32_t bufferSize;
    uint32_t providerId;
    uint64_t historicalContext;
    int64_t timeStamp; // also KernelHandle
    Guid guid;
    uint32_t clientContext;
    uint32_t flags;
};
static_assert(sizeof(TraceWnodeHeader) == 48);

constexpr uint32_t kTraceNameUnits = 260;
constexpr uint32_t kTracePropertiesSize = 1160;
constexpr uint32_t kTraceLoggerNameOffset = 120;
constexpr uint32_t kTraceLogFileNameOffset = 640;

// The EVENT_TRACE_PROPERTIES structure (120 bytes) followed by room for the session name and the
// log file name, 260 UTF-16 units each: one 1160-byte block, as every properties call passes it.
struct TraceProperties {
    TraceWnodeHeader wnode;
    uint32_t bufferSize; // kilobytes per buffer
    uint32_t minimumBuffers;
    uint32_t maximumBuffers;
    uint32_t maximumFileSize;
    uint32_t logFileMode;
    uint32_t flushTimer; // seconds
    uint32_t enableFlags;
    int32_t ageLimit; // also FlushThreshold
    uint32_t numberOfBuffers;
    uint32_t freeBuffers;
    uint32_t eventsLost;
    uint32_t buffersWritten;
    uint32_t logBuffersLost;
    uint32_t realTimeBuffersLost;
    uint64_t loggerThreadId;
    uint32_t logFileNameOffset;
    uint32_t loggerNameOffset;
    char16_t loggerName[kTraceNameUnits];
    char16_t logFileName[kTraceNameUnits];
};
static_assert(offsetof(TraceProperties, bufferSize) == 48);
static_assert(offsetof(TraceProperties, logFileMode) == 64);
static_assert(offsetof(TraceProperties, enableFlags) == 72);
static_assert(offsetof(TraceProperties, eventsLost) == 88);
static_assert(offsetof(TraceProperties, realTimeBuffersLost) == 100);
static_assert(offsetof(TraceProperties, loggerThreadId) == 104);
static_assert(offsetof(TraceProperties, logFileNameOffset) == 112);
static_assert(offsetof(TraceProperties, loggerNameOffset) == 116);
static_assert(offsetof(TraceProperties, loggerName) == kTraceLoggerNameOffset);
static_assert(offsetof(TraceProperties, logFileName) == kTraceLogFileNameOffset);
static_assert(sizeof(TraceProperties) == kTracePropertiesSize);

// The consumer's event callback (EventRecordCallback). Runs on the thread inside
// ProcessTraceEvents.
using TraceEventCallback = void (*)(const EventRecord* event);

// StartTraceW: starts the session named name with the properties in props; *session receives
// its handle.
uint32_t StartTraceSession(uint64_t* session, const char16_t* name, TraceProperties* props);
// ControlTraceW: by handle (name null) or by name (session kNoTraceHandle). props receives the
// session's figures (EventsLost, RealTimeBuffersLost) on success.
uint32_t ControlTraceSession(uint64_t session, const char16_t* name, TraceProperties* props,
                             uint32_t controlCode);
// EnableTraceEx2 without enable parameters.
uint32_t EnableTraceProvider(uint64_t session, const Guid& provider, uint32_t controlCode,
                             uint8_t level, uint64_t matchAnyKeyword, uint64_t matchAllKeyword,
                             uint32_t timeoutMs);
// OpenTraceW on the real-time session loggerName, in event-record mode, with callback receiving
// every event. Returns the consumer handle, or kNoTraceHandle with the error in *lastError.
uint64_t OpenRealTimeTrace(const char16_t* loggerName, TraceEventCallback callback,
                           uint32_t* lastError);
// ProcessTrace on one consumer, no time bounds. Blocks until the session ends or the consumer
// is closed; returns the status.
uint32_t ProcessTraceEvents(uint64_t trace);
// CloseTrace.
uint32_t CloseTraceConsumer(uint64_t trace);
// Runs the calling thread, the one about to call ProcessTraceEvents on trace, above normal
// priority (SetThreadPriority, THREAD_PRIORITY_ABOVE_NORMAL), so that a busy machine does not
// starve the consumer while the sessions' buffers fill. Returns the status; a failure leaves the
// thread at its priority and is not fatal.
uint32_t RaiseConsumerThreadPriority(uint64_t trace);

} // namespace olv
