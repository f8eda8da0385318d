#include "platform/sim/sim_event.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "base/text.h"
#include "platform/layout_cache.h"

namespace olv {

namespace {

LayoutCache* gRoute = nullptr; // atomic
SimReadLog* gReadLog = nullptr; // the benchmarks' thread only

void NoteRead(const EventRecord* event, const char16_t* name, uint32_t bufferSize, bool isRead) {
    SimReadLog* log = gReadLog;
    if (log == nullptr || log->count >= kSimReadNotes) return;
    log->notes[log->count++] = SimReadNote{event, name, bufferSize, static_cast<uint8_t>(isRead)};
}

LayoutCache* Route() {
    return std::atomic_ref<LayoutCache*>(gRoute).load(std::memory_order_acquire);
}

// The SimEvent around a table found through a record's userContext.
const SimEvent* EventOfTable(const SimPropertyTable* table) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(table);
    return reinterpret_cast<const SimEvent*>(bytes - offsetof(SimEvent, table));
}

const SimPropertyTable* TableOf(const EventRecord* event) {
    if (event == nullptr || event->userContext == nullptr) return nullptr;
    const auto* table = static_cast<const SimPropertyTable*>(event->userContext);
    if (table->magic != kSimPropertyTableMagic || table->count > kSimMaxProperties) return nullptr;
    return table;
}

// A name's first two characters, packed (one for a name of one, none for an empty one).
uint32_t LeadOf(const char16_t* name) {
    return name[0] == 0 ? 0 : uint32_t{name[0]} | uint32_t{name[1]} << 16;
}

const SimProperty* FindProperty(const SimPropertyTable* table, const char16_t* name) {
    if (table == nullptr || name == nullptr) return nullptr;
    // The decoders ask for several names of every event: the first two characters tell most of
    // an event's names apart, and only names that share them are compared whole.
    const uint32_t lead = LeadOf(name);
    for (uint32_t i = 0; i < table->count; ++i) {
        const SimProperty& p = table->props[i];
        if (p.lead == lead && TextEquals(p.name, name)) return &p;
    }
    return nullptr;
}

// Appends a property; a name or value that does not fit marks the event and is left out.
void AddProperty(SimEvent* e, const char16_t* name, const void* bytes, uint32_t size) {
    if (e == nullptr) return;
    size_t nameLength = TextLength(name);
    if (name == nullptr || nameLength == 0 || nameLength >= kSimNameChars ||
        e->table.count >= kSimMaxProperties || size > kSimDataBytes - e->dataUsed) {
        e->overflow = 1;
        return;
    }
    uint32_t index = e->table.count;
    CopyBounded(e->names[index], kSimNameChars, name);
    SimProperty& p = e->table.props[index];
    p.name = e->names[index];
    p.size = size;
    p.offset = e->dataUsed;
    p.failRead = 0;
    p.lead = LeadOf(p.name);
    if (size > 0 && bytes != nullptr) std::memcpy(e->data + e->dataUsed, bytes, size);
    e->dataUsed += size;
    e->table.count = index + 1;
}

} // namespace

void BeginSimEvent(SimEvent* e, const Guid& provider, uint8_t opcode, uint16_t eventId,
                   uint32_t pid, uint32_t tid, int64_t timeStamp) {
    if (e == nullptr) return;
    std::memset(static_cast<void*>(e), 0, sizeof(SimEvent));
    EventHeader& h = e->record.header;
    h.size = sizeof(EventHeader);
    h.flags = kEventHeaderFlag64BitHeader;
    h.threadId = tid;
    h.processId = pid;
    h.timeStamp = timeStamp;
    h.providerId = provider;
    h.descriptor.id = eventId;
    h.descriptor.version = 2;
    h.descriptor.opcode = opcode;
    e->table.magic = kSimPropertyTableMagic;
    e->record.userContext = &e->table;
}

void SetSimEvent32BitHeader(SimEvent* e) {
    if (e == nullptr) return;
    uint16_t flags = e->record.header.flags;
    flags =
        static_cast<uint16_t>((flags & ~kEventHeaderFlag64BitHeader) | kEventHeaderFlag32BitHeader);
    e->record.header.flags = flags;
}

void AddSimU8(SimEvent* e, const char16_t* name, uint8_t value) {
    AddProperty(e, name, &value, sizeof value);
}
void AddSimU16(SimEvent* e, const char16_t* name, uint16_t value) {
    AddProperty(e, name, &value, sizeof value);
}
void AddSimU32(SimEvent* e, const char16_t* name, uint32_t value) {
    AddProperty(e, name, &value, sizeof value);
}
void AddSimU64(SimEvent* e, const char16_t* name, uint64_t value) {
    AddProperty(e, name, &value, sizeof value);
}

void AddSimPointer(SimEvent* e, const char16_t* name, uint64_t value) {
    if (e != nullptr && (e->record.header.flags & kEventHeaderFlag32BitHeader) != 0) {
        AddSimU32(e, name, static_cast<uint32_t>(value));
    } else {
        AddSimU64(e, name, value);
    }
}

void AddSimWideString(SimEvent* e, const char16_t* name, const char16_t* text) {
    size_t chars = TextLength(text) + 1;
    if (chars > kSimDataBytes / 2) {
        if (e != nullptr) e->overflow = 1;
        return;
    }
    const char16_t empty = 0;
    AddProperty(e, name, text != nullptr ? text : &empty, static_cast<uint32_t>(chars * 2));
}

void AddSimAnsiString(SimEvent* e, const char16_t* name, const char* text) {
    size_t bytes = (text != nullptr ? std::strlen(text) : 0) + 1;
    if (bytes > kSimDataBytes) {
        if (e != nullptr) e->overflow = 1;
        return;
    }
    AddProperty(e, name, text != nullptr ? text : "", static_cast<uint32_t>(bytes));
}

void AddSimBytes(SimEvent* e, const char16_t* name, const void* bytes, uint32_t size) {
    if (bytes == nullptr && size > 0) {
        if (e != nullptr) e->overflow = 1;
        return;
    }
    AddProperty(e, name, bytes, size);
}

void SetSimPayload(SimEvent* e, const void* bytes, uint16_t size) {
    if (e == nullptr) return;
    if (size > kSimPayloadBytes || (bytes == nullptr && size > 0)) {
        e->overflow = 1;
        return;
    }
    if (size > 0) std::memcpy(e->payload, bytes, size);
    e->record.userData = e->payload;
    e->record.userDataLength = size;
}

void FailSimPropertyRead(SimEvent* e, const char16_t* name) {
    if (e == nullptr) return;
    for (uint32_t i = 0; i < e->table.count; ++i) {
        if (TextEquals(e->table.props[i].name, name)) e->table.props[i].failRead = 1;
    }
}

uint32_t SimTablePropertySize(const EventRecord* event, const char16_t* name, uint32_t* size) {
    if (size == nullptr) return kSimErrorInvalidParameter;
    *size = 0;
    const SimProperty* p = FindProperty(TableOf(event), name);
    if (p == nullptr) return kSimErrorNotFound;
    *size = p->size;
    return 0;
}

uint32_t SimTablePropertyRead(const EventRecord* event, const char16_t* name, void* buffer,
                              uint32_t bufferSize) {
    const SimPropertyTable* table = TableOf(event);
    const SimProperty* p = FindProperty(table, name);
    if (p == nullptr) return kSimErrorNotFound;
    if (p->failRead != 0) return kSimErrorReadFailed;
    // A table edited by hand may describe bytes the event does not hold.
    if (p->offset > kSimDataBytes || p->size > kSimDataBytes - p->offset) {
        return kSimErrorReadFailed;
    }
    if (bufferSize < p->size) return kSimErrorInsufficientBuffer;
    if (buffer == nullptr && p->size > 0) return kSimErrorInvalidParameter;
    const uint8_t* from = EventOfTable(table)->data + p->offset;
    // Numbers and pointers, most reads, are copied inline.
    if (p->size == 4) {
        std::memcpy(buffer, from, 4);
    } else if (p->size == 8) {
        std::memcpy(buffer, from, 8);
    } else if (p->size > 0) {
        std::memcpy(buffer, from, p->size);
    }
    return 0;
}

void RouteSimReadsThroughLayoutCache(LayoutCache* cache) {
    std::atomic_ref<LayoutCache*>(gRoute).store(cache, std::memory_order_release);
}

void SetSimReadLog(SimReadLog* log) {
    gReadLog = log;
}

uint32_t TracePropertySize(const EventRecord* event, const char16_t* name, uint32_t* size) {
    if (gReadLog != nullptr) NoteRead(event, name, 0, false);
    LayoutCache* cache = Route();
    if (cache != nullptr) return CachedPropertySize(cache, event, name, size);
    return SimTablePropertySize(event, name, size);
}

uint32_t TracePropertyRead(const EventRecord* event, const char16_t* name, void* buffer,
                           uint32_t bufferSize) {
    if (gReadLog != nullptr) NoteRead(event, name, bufferSize, true);
    LayoutCache* cache = Route();
    if (cache != nullptr) return CachedPropertyRead(cache, event, name, buffer, bufferSize);
    return SimTablePropertyRead(event, name, buffer, bufferSize);
}

} // namespace olv
