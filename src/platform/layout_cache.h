// A bounded table of event layouts, one per event class, that answers property size and read
// requests from one walk of the payload instead of asking the Trace Data Helper each time.
//
// The cache stands in front of a LayoutSource: the helper's own calls on Windows, the stand-in
// table in tests and tools. Its answers are the source's answers: the first reads of each class
// are made both ways and compared property by property, and any difference turns the cache off
// for that class for the rest of the run (counted, and reported through the source's report
// call). Whatever the walk does not understand, a class the helper cannot describe, a payload
// that ends early, a name the class does not have before the helper's answer for it is known,
// goes to the source.
//
// Threads: any number of threads read at once. A class's entry is allocated on its first event,
// filled, and then published into the table by one compare-and-swap; its layout never changes
// after that, only its state word and learned statuses (atomics). Nothing waits on a lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/event_layout.h"
#include "platform/tracedata.h"

namespace olv {

struct LayoutSource {
    // The schema block of the event's class (TdhGetEventInformation). *bytes is the block's
    // capacity on entry and the size it needs or has on return. Returns 0, 122 when the block is
    // too small (with *bytes the size needed), or another status when the class is unknown.
    uint32_t (*describe)(const EventRecord* event, uint8_t* block, uint32_t* bytes);
    uint32_t (*size)(const EventRecord* event, const char16_t* name, uint32_t* size);
    uint32_t (*read)(const EventRecord* event, const char16_t* name, void* buffer,
                     uint32_t bufferSize);
    // One line when a class is turned off; may be null.
    void (*report)(const char16_t* text);
};

constexpr uint32_t kErrorInsufficientBuffer = 122;

// Slots of the table (a power of two) and how far a class looks for one.
constexpr uint32_t kLayoutCacheSlots = 256;
constexpr uint32_t kLayoutCacheProbes = 16;
// Reads of a class made both ways before its layout is trusted.
constexpr uint32_t kLayoutVerifyReads = 16;

enum LayoutState : uint32_t {
    kLayoutVerifying = 1, // answers come from the source, compared with the walk
    kLayoutTrusted = 2,   // answers come from the walk
    kLayoutOff = 3,       // the walk differed from the source once: source only
    kLayoutUnusable = 4,  // no layout (the source cannot describe it, or the walk cannot size it)
};

struct EventClassKey {
    Guid provider;
    uint16_t id;
    uint8_t version;
    uint8_t opcode;
    uint8_t pointerBytes;
};

struct LayoutEntry {
    EventClassKey key;
    uint32_t state;            // LayoutState, atomic
    uint32_t verifiedReads;    // atomic
    uint32_t absentSizeStatus; // the source's failure for a name the class lacks; 0 = not known
    uint32_t absentReadStatus;
    EventLayout layout;
};

struct LayoutCacheCounts {
    uint32_t classesTrusted;   // layouts that passed their check
    uint32_t classesTurnedOff; // layouts that differed from the source
    uint32_t classesUnusable;  // classes the source could not describe or the walk cannot size
    uint32_t noRoom;           // reads whose class found no slot or no memory (to the source)
    uint32_t readsFromSource;  // reads the cache passed on (any reason)
};

struct LayoutCache {
    const LayoutSource* source;
    LayoutEntry* slots[kLayoutCacheSlots]; // atomic; null = free
    LayoutCacheCounts counts;              // atomic fields
    uint32_t generation; // set by InitLayoutCache, unique in the run: names this cache's entries
};

// The generation of the one cache a program may make as a constant ({source, {}, {},
// kFirstCacheGeneration}) and never release; InitLayoutCache never gives it out.
constexpr uint32_t kFirstCacheGeneration = 1;

// A cache in front of source (zero-filled or used before: it must be empty).
void InitLayoutCache(LayoutCache* cache, const LayoutSource* source);
// Frees every entry; no reader may be running.
void ReleaseLayoutCache(LayoutCache* cache);
LayoutCacheCounts ReadLayoutCacheCounts(const LayoutCache* cache);
// The state of the event's class, 0 when it has no entry.
uint32_t LayoutStateOf(const LayoutCache* cache, const EventRecord* event);

// TracePropertySize / TracePropertyRead through the cache: the same sizes, bytes and statuses
// as source->size / source->read. Each thread keeps the walk of the last payload it read from,
// so the several reads a decoder makes of one event walk its payload once.
uint32_t CachedPropertySize(LayoutCache* cache, const EventRecord* event, const char16_t* name,
                            uint32_t* size);
uint32_t CachedPropertyRead(LayoutCache* cache, const EventRecord* event, const char16_t* name,
                            void* buffer, uint32_t bufferSize);

} // namespace olv
