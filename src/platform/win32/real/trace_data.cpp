// Property reads of real trace events through the Trace Data Helper (tdh.dll).
#include "platform/tracedata.h"

#include <windows.h>

#include <evntcons.h>
#include <tdh.h>

namespace olv {

static_assert(sizeof(wchar_t) == 2);
static_assert(sizeof(EVENT_RECORD) == sizeof(EventRecord));

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

} // namespace

uint32_t TracePropertySize(const EventRecord* event, const char16_t* name, uint32_t* size) {
    PROPERTY_DATA_DESCRIPTOR descriptor = Describe(name);
    ULONG bytes = 0;
    const ULONG status = TdhGetPropertySize(Record(event), 0, nullptr, 1, &descriptor, &bytes);
    *size = status == ERROR_SUCCESS ? bytes : 0;
    return status;
}

uint32_t TracePropertyRead(const EventRecord* event, const char16_t* name, void* buffer,
                           uint32_t bufferSize) {
    PROPERTY_DATA_DESCRIPTOR descriptor = Describe(name);
    return TdhGetProperty(Record(event), 0, nullptr, 1, &descriptor, bufferSize,
                          static_cast<PBYTE>(buffer));
}

} // namespace olv
