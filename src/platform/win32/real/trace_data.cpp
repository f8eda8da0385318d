// Property reads of real trace events: the layout cache (decode/layout_cache.h) in front of the
// Trace Data Helper (tdh.dll). Each event class is described once by TdhGetEventInformation; its
// first reads are made both ways and compared, and from then on sizes and bytes come from one
// walk of the payload. Whatever the cache does not answer goes to TdhGetPropertySize and
// TdhGetProperty exactly as before.
#include "platform/tracedata.h"

#include <windows.h>

#include <cstddef>
#include <evntcons.h>
#include <tdh.h>

#include "platform/layout_cache.h"
#include "platform/win32/real/trace_layout.h"

namespace olv {

static_assert(sizeof(wchar_t) == 2);
static_assert(sizeof(EVENT_RECORD) == sizeof(EventRecord));

// The schema block as the portable layout reads it.
static_assert(offsetof(TRACE_EVENT_INFO, PropertyCount) == kSchemaPropertyCountOffset);
static_assert(offsetof(TRACE_EVENT_INFO, TopLevelPropertyCount) == kSchemaTopLevelCountOffset);
static_assert(offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray) == kSchemaPropertyArrayOffset);
static_assert(sizeof(EVENT_PROPERTY_INFO) == kSchemaPropertyInfoBytes);
static_assert(offsetof(EVENT_PROPERTY_INFO, Flags) == kSchemaInfoFlagsOffset);
static_assert(offsetof(EVENT_PROPERTY_INFO, NameOffset) == kSchemaInfoNameOffset);
static_assert(offsetof(EVENT_PROPERTY_INFO, nonStructType.InType) == kSchemaInfoInTypeOffset);
static_assert(offsetof(EVENT_PROPERTY_INFO, nonStructType.OutType) == kSchemaInfoOutTypeOffset);
static_assert(offsetof(EVENT_PROPERTY_INFO, count) == kSchemaInfoCountOffset);
static_assert(offsetof(EVENT_PROPERTY_INFO, length) == kSchemaInfoLengthOffset);
static_assert(PropertyStruct == kSchemaFlagStruct &&
              PropertyParamLength == kSchemaFlagParamLength &&
              PropertyParamCount == kSchemaFlagParamCount &&
              PropertyWBEMXmlFragment == kSchemaFlagXmlFragment &&
              PropertyParamFixedLength == kSchemaFlagParamFixedLength);
static_assert(ERROR_INSUFFICIENT_BUFFER == kErrorInsufficientBuffer);

namespace {

// One descriptor by name: ArrayIndex all ones (the property itself, not an element of it), and
// no TDH context, so the helper takes the pointer size from the event header's flags.
PROPERTY_DATA_DESCRIPTOR Describe(const char16_t* name) {
    PROPERTY_DATA_DESCRIPTOR descriptor{};
    descriptor.PropertyName = reinterpret_cast<ULONGLONG>(name);
    descriptor.ArrayIndex = 0xFFFFFFFF;
    return descriptor;
}

// The helper takes a non-const record but does not change it.
PEVENT_RECORD Record(const EventRecord* event) {
    return reinterpret_cast<PEVENT_RECORD>(const_cast<EventRecord*>(event));
}

uint32_t HelperSize(const EventRecord* event, const char16_t* name, uint32_t* size) {
    PROPERTY_DATA_DESCRIPTOR descriptor = Describe(name);
    ULONG bytes = 0;
    const ULONG status = TdhGetPropertySize(Record(event), 0, nullptr, 1, &descriptor, &bytes);
    *size = status == ERROR_SUCCESS ? bytes : 0;
    return status;
}

// The decoders read numbers into an 8-byte buffer without asking their size first. Should the
// helper refuse a buffer larger than the property, the read is made again with the property's
// own size, so that such a buffer is always accepted; a read that succeeds costs one call.
uint32_t HelperRead(const EventRecord* event, const char16_t* name, void* buffer,
                    uint32_t bufferSize) {
    PROPERTY_DATA_DESCRIPTOR descriptor = Describe(name);
    const ULONG status = TdhGetProperty(Record(event), 0, nullptr, 1, &descriptor, bufferSize,
                                        static_cast<PBYTE>(buffer));
    if (status == ERROR_SUCCESS || status == ERROR_INSUFFICIENT_BUFFER) return status;
    ULONG size = 0;
    if (TdhGetPropertySize(Record(event), 0, nullptr, 1, &descriptor, &size) != ERROR_SUCCESS ||
        size >= bufferSize) {
        return status;
    }
    return TdhGetProperty(Record(event), 0, nullptr, 1, &descriptor, size,
                          static_cast<PBYTE>(buffer));
}

// TdhGetEventInformation: on ERROR_INSUFFICIENT_BUFFER the size argument holds the size needed,
// and the cache asks once more with that much. The block must be aligned for TRACE_EVENT_INFO
// (the cache's blocks come from the heap). Without a context the helper describes the class by
// the record's provider, id, version and opcode (the kernel's classes by opcode: their ids are 0).
uint32_t HelperDescribe(const EventRecord* event, uint8_t* block, uint32_t* bytes) {
    ULONG size = *bytes;
    const ULONG status = TdhGetEventInformation(Record(event), 0, nullptr,
                                                reinterpret_cast<PTRACE_EVENT_INFO>(block), &size);
    *bytes = size;
    return status;
}

// A class turned off is worth knowing in a debug build; the release build keeps quiet (there
// is no log, and the count stays in the cache).
void ReportToDebugger(const char16_t* text) {
#ifndef NDEBUG
    OutputDebugStringW(reinterpret_cast<LPCWSTR>(text));
#else
    (void)text;
#endif
}

constexpr LayoutSource kHelper = {HelperDescribe, HelperSize, HelperRead, ReportToDebugger};

// One table for the process: both trace sessions' threads read through it. Its entries live
// until the process ends (bounded by its slots).
LayoutCache gCache = {&kHelper, {}, {}, kFirstCacheGeneration};

} // namespace

uint32_t TracePropertySize(const EventRecord* event, const char16_t* name, uint32_t* size) {
    return CachedPropertySize(&gCache, event, name, size);
}

uint32_t TracePropertyRead(const EventRecord* event, const char16_t* name, void* buffer,
                           uint32_t bufferSize) {
    return CachedPropertyRead(&gCache, event, name, buffer, bufferSize);
}

LayoutCacheCounts TraceLayoutCounts() {
    return ReadLayoutCacheCounts(&gCache);
}

uint32_t TraceLayoutStateOf(const EventRecord* event) {
    return LayoutStateOf(&gCache, event);
}

} // namespace olv
