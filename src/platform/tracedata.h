// Trace event records and property access by name.
//
// EventRecord has the layout of the Windows EVENT_RECORD (64-bit), so the Windows shell hands the
// records it receives straight to the core. Which code answers the property reads is chosen when
// a binary is linked, never at run time: Olvetta.exe links the Trace Data Helper readers
// (platform/win32/real/trace_data.cpp); tests and tools link the stand-in, which answers from the
// table of typed properties a SimEvent carries (platform/sim/sim_event.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);

constexpr bool operator==(const Guid& a, const Guid& b) {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
    for (int i = 0; i < 8; ++i) {
        if (a.data4[i] != b.data4[i]) return false;
    }
    return true;
}

struct EventDescriptor {
    uint16_t id;
    uint8_t version;
    uint8_t channel;
    uint8_t level;
    uint8_t opcode;
    uint16_t task;
    uint64_t keyword;
};
static_assert(sizeof(EventDescriptor) == 16);

// Header flag: the event was logged by a 32-bit process (pointers in its payload are 4 bytes).
constexpr uint16_t kEventHeaderFlag32BitHeader = 0x0020;
constexpr uint16_t kEventHeaderFlag64BitHeader = 0x0040;

struct EventHeader {
    uint16_t size;
    uint16_t headerType;
    uint16_t flags;
    uint16_t eventProperty;
    uint32_t threadId;
    uint32_t processId;
    int64_t timeStamp; // FILETIME ticks
    Guid providerId;
    EventDescriptor descriptor;
    uint64_t processorTime;
    Guid activityId;
};
static_assert(sizeof(EventHeader) == 80);

struct EventRecord {
    EventHeader header;
    uint8_t bufferContext[4];
    uint16_t extendedDataCount;
    uint16_t userDataLength;
    void* extendedData;
    void* userData;
    void* userContext;
};
static_assert(sizeof(void*) == 8, "Olvetta is a 64-bit program");
static_assert(sizeof(EventRecord) == 112);
static_assert(offsetof(EventRecord, userDataLength) == 86);
static_assert(offsetof(EventRecord, userData) == 96);
static_assert(offsetof(EventRecord, userContext) == 104);

// TdhGetPropertySize for the property of this name (array index all ones, no context).
// Returns the Windows status (0 = success).
uint32_t TracePropertySize(const EventRecord* event, const char16_t* name, uint32_t* size);
// TdhGetProperty into buffer of bufferSize bytes. Returns the Windows status (0 = success);
// a buffer smaller than the property fails with 122 (insufficient buffer). A larger buffer is
// accepted: the property's bytes are copied to its start and the rest is left as it was.
uint32_t TracePropertyRead(const EventRecord* event, const char16_t* name, void* buffer,
                           uint32_t bufferSize);

// ANSI code page to UTF-16 (MultiByteToWideChar with CP_ACP on Windows, code page 1252 on the
// stand-in). False, with dst emptied, when the text and its terminator do not fit.
bool AnsiToUtf16(const char* src, char16_t* dst, size_t dstCapacity);

// The IPv6 text InetNtopW prints for 16 address bytes; false when it cannot be formatted.
bool FormatIpv6Address(const uint8_t address[16], char16_t* out, size_t capacity);

} // namespace olv
