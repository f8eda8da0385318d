// The stand-in for the helper's schemas. Schema blocks as the Trace Data Helper returns them
// (TRACE_EVENT_INFO with its property array and names), written byte by byte, for the kernel and
// DNS-client event classes the decoders read; and sample events of those classes whose payload and
// stand-in property table hold the same bytes, so the layout walk and the stand-in readers can be
// compared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/event_layout.h"
#include "platform/sim/sim_event.h"

namespace olv {

struct SchemaField {
    const char16_t* name;
    uint16_t inType;
    uint16_t length = 0; // characters for strings, bytes for binary; or the length property
    uint32_t flags = 0;  // kSchemaFlag*
    uint16_t count = 1;
};

struct SchemaClass {
    const char* label;
    Guid provider;
    uint16_t id;
    uint8_t version;
    uint8_t opcode;
    const SchemaField* fields;
    uint32_t fieldCount;
    // The properties the decoders read from this class.
    const char16_t* const* decoderReads;
    uint32_t decoderReadCount;
};

// FileIo create, read/write, name, info, directory, simple op and completion; Registry; TcpIp
// and UdpIp for IPv4 and IPv6; Process start; Image load; DNS client 3006 and 3008.
extern const SchemaClass kDecoderSchemas[];
extern const uint32_t kDecoderSchemaCount;
const SchemaClass* FindSchema(const char* label);

// Writes the block; returns its size, or 0 when it does not fit capacity. measureOnly: only
// returns the size the block needs.
size_t WriteSchemaBlock(const SchemaClass& schema, uint8_t* block, size_t capacity,
                        bool measureOnly = false);

// A sample event of the class: every field gets a distinct value (strings a text of their
// own), written into the payload and into the stand-in table with the same bytes. spans[] are
// where each field was written. pointerBytes 4 gives a 32-bit header.
struct SampleEvent {
    SimEvent* event;
    PropertySpan spans[kLayoutMaxProperties];
    uint32_t count;
};
void WriteSampleEvent(const SchemaClass& schema, uint32_t pointerBytes, SimEvent* e,
                      SampleEvent* sample);

// The stand-in for TdhGetEventInformation: the block of the decoders' class with the record's
// provider, id, version and opcode; 1168 (not found) for any other, 122 with *bytes the size
// needed when the block is larger than *bytes.
uint32_t SimDescribeEvent(const EventRecord* event, uint8_t* block, uint32_t* bytes);

} // namespace olv
