// The stand-in trace record: an EventRecord that carries its own table of named properties, so
// that tests and the replay tool can hand the decoders events without the Trace Data Helper.
//
// BeginSimEvent makes the record; the Add* calls append properties; SetSimPayload gives the raw
// user data. TracePropertySize / TracePropertyRead (platform/tracedata.h) answer from the table
// when record.userContext points at it. A SimEvent points into itself: never copy one by value,
// and keep it off small stacks (it is large): make it static or take it from the heap.
#pragma once

#include <cstdint>

#include "platform/tracedata.h"

namespace olv {

constexpr uint32_t kSimPropertyTableMagic = 0x504D4953; // "SIMP"
constexpr uint32_t kSimMaxProperties = 48;
constexpr uint32_t kSimNameChars = 40;
constexpr uint32_t kSimDataBytes = 12288;
constexpr uint32_t kSimPayloadBytes = 4096;

// Status codes the stand-in answers with (the Windows error numbers).
constexpr uint32_t kSimErrorReadFailed = 13;          // ERROR_INVALID_DATA
constexpr uint32_t kSimErrorInvalidParameter = 87;    // ERROR_INVALID_PARAMETER
constexpr uint32_t kSimErrorInsufficientBuffer = 122; // ERROR_INSUFFICIENT_BUFFER
constexpr uint32_t kSimErrorNotFound = 1168;          // ERROR_NOT_FOUND

struct SimProperty {
    const char16_t* name; // points at storage inside the SimEvent
    uint32_t size;        // bytes
    uint32_t offset;      // into SimEvent::data
    uint8_t failRead;     // the size query succeeds, the read fails
    uint32_t lead;        // the name's first two characters, packed, for a quick comparison
};

struct SimPropertyTable {
    uint32_t magic;
    uint32_t count;
    SimProperty props[kSimMaxProperties];
};

struct SimEvent {
    EventRecord record;
    SimPropertyTable table;
    char16_t names[kSimMaxProperties][kSimNameChars];
    uint8_t data[kSimDataBytes];
    uint32_t dataUsed;
    uint8_t payload[kSimPayloadBytes];
    uint8_t overflow; // a property or payload did not fit and was left out
};

// Zeroes e and fills the header: provider, opcode, event id, version 2, 64-bit header flag,
// process and thread id, time stamp; record.userContext points at e->table.
void BeginSimEvent(SimEvent* e, const Guid& provider, uint8_t opcode, uint16_t eventId,
                   uint32_t pid, uint32_t tid, int64_t timeStamp);
// The event comes from a 32-bit process: header flag 0x20 instead of 0x40, and pointers added
// from now on are 4 bytes.
void SetSimEvent32BitHeader(SimEvent* e);

void AddSimU8(SimEvent* e, const char16_t* name, uint8_t value);
void AddSimU16(SimEvent* e, const char16_t* name, uint16_t value);
void AddSimU32(SimEvent* e, const char16_t* name, uint32_t value);
void AddSimU64(SimEvent* e, const char16_t* name, uint64_t value);
// 8 bytes, or the low 4 bytes with a 32-bit header.
void AddSimPointer(SimEvent* e, const char16_t* name, uint64_t value);
// The size includes the terminating NUL, as the Trace Data Helper reports it.
void AddSimWideString(SimEvent* e, const char16_t* name, const char16_t* text);
void AddSimAnsiString(SimEvent* e, const char16_t* name, const char* text);
void AddSimBytes(SimEvent* e, const char16_t* name, const void* bytes, uint32_t size);
// The raw user data (record.userData / userDataLength).
void SetSimPayload(SimEvent* e, const void* bytes, uint16_t size);
// The named property keeps answering its size, but reading it fails.
void FailSimPropertyRead(SimEvent* e, const char16_t* name);

// The table's own answers, which TracePropertySize / TracePropertyRead give unless routed.
uint32_t SimTablePropertySize(const EventRecord* event, const char16_t* name, uint32_t* size);
uint32_t SimTablePropertyRead(const EventRecord* event, const char16_t* name, void* buffer,
                              uint32_t bufferSize);

// Routes TracePropertySize / TracePropertyRead through a layout cache (decode/layout_cache.h)
// whose source is the table's own answers, as the Windows readers stand in front of the
// helper; null routes them back to the table. Process-wide; set it while no reader runs.
struct LayoutCache;
void RouteSimReadsThroughLayoutCache(LayoutCache* cache);

// For the benchmarks: while a log is set, the stand-in readers note every size query and read
// they answer (at most kSimReadNotes), so that the same reads can be timed apart from the work
// around them. One thread only; null stops the noting.
constexpr uint32_t kSimReadNotes = 64;
struct SimReadNote {
    const EventRecord* event;
    const char16_t* name;
    uint32_t bufferSize; // 0 for a size query
    uint8_t isRead;
};
struct SimReadLog {
    SimReadNote notes[kSimReadNotes];
    uint32_t count;
};
void SetSimReadLog(SimReadLog* log);

} // namespace olv
