#include "platform/layout_cache.h"

#include <atomic>
#include <cstring>

#include "base/atomic.h"
#include "base/format.h"
#include "platform/memory.h"

namespace olv {

namespace {

// A schema block is asked with this capacity first, then with the size the source names.
constexpr uint32_t kFirstBlockBytes = 2048;
constexpr uint32_t kLargestBlockBytes = 1u << 20;
// Properties up to this size are compared through the stack.
constexpr uint32_t kCompareStackBytes = 512;

// The walk of the last event this thread read from, for classes whose layout is trusted. A walk
// is a pure function of the layout, the payload's bytes and the pointer size (part of the class
// key): a payload equal byte for byte to the memo's, of the same entry of the same cache, has the
// memo's spans. An entry lives as long as its cache, and the generation tells caches apart even
// when one is made where another was.
constexpr uint32_t kWalkMemoBytes = 512;

struct WalkMemo {
    uint32_t generation; // 0: nothing kept
    const LayoutEntry* entry;
    uint32_t payloadBytes;
    uint8_t payload[kWalkMemoBytes];
    PropertySpan spans[kLayoutMaxProperties];
};

thread_local WalkMemo tLastWalk;
std::atomic<uint32_t> gGenerations{kFirstCacheGeneration};

LayoutEntry* LoadSlot(LayoutEntry* const& slot) {
    return std::atomic_ref<LayoutEntry*>(const_cast<LayoutEntry*&>(slot))
        .load(std::memory_order_acquire);
}

void Count(uint32_t& counter) {
    AtomicAdd(counter, 1);
}

EventClassKey KeyOf(const EventRecord* event) {
    EventClassKey key{};
    key.provider = event->header.providerId;
    key.id = event->header.descriptor.id;
    key.version = event->header.descriptor.version;
    key.opcode = event->header.descriptor.opcode;
    key.pointerBytes = static_cast<uint8_t>(PointerBytesOf(event->header.flags));
    return key;
}

bool SameKey(const EventClassKey& a, const EventClassKey& b) {
    return a.provider == b.provider && a.id == b.id && a.version == b.version &&
           a.opcode == b.opcode && a.pointerBytes == b.pointerBytes;
}

uint32_t HashKey(const EventClassKey& key) {
    uint32_t words[4];
    std::memcpy(words, &key.provider, sizeof words);
    uint32_t hash =
        words[0] ^ (words[1] * 0x9E3779B1u) ^ (words[2] * 0x85EBCA77u) ^ (words[3] * 0xC2B2AE3Du);
    hash ^= key.opcode | (uint32_t{key.version} << 8) | (uint32_t{key.id} << 16);
    hash += key.pointerBytes;
    // Every input bit reaches the low bits that pick the slot (the kernel's classes differ only
    // by opcode).
    hash ^= hash >> 16;
    hash *= 0x85EBCA6Bu;
    hash ^= hash >> 13;
    hash *= 0xC2B2AE35u;
    return hash ^ (hash >> 16);
}

bool EverySized(const EventLayout& layout) {
    for (uint32_t i = 0; i < layout.count; ++i) {
        if (layout.props[i].length == kLengthUnknown) return false;
    }
    return true;
}

enum class Described { kLayout, kNoLayout, kNoMemory };

// Asks the source for the class's schema and reads it into the entry's layout.
Described Describe(const LayoutSource* source, const EventRecord* event, EventLayout* layout) {
    uint32_t capacity = kFirstBlockBytes;
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto* block = static_cast<uint8_t*>(AllocZeroed(capacity));
        if (block == nullptr) return Described::kNoMemory;
        uint32_t bytes = capacity;
        const uint32_t status = source->describe(event, block, &bytes);
        if (status == kErrorInsufficientBuffer && attempt == 0 && bytes > capacity &&
            bytes <= kLargestBlockBytes) {
            FreeBlock(block);
            capacity = bytes;
            continue;
        }
        bool built = false;
        if (status == 0) {
            const uint32_t filled = bytes < capacity ? bytes : capacity;
            built = BuildEventLayout(block, filled, layout) == LayoutBuild::kBuilt &&
                    EverySized(*layout);
        }
        FreeBlock(block);
        return built ? Described::kLayout : Described::kNoLayout;
    }
    return Described::kNoLayout;
}

// The entry of the event's class, made on its first event; null when there is no room.
LayoutEntry* EntryFor(LayoutCache* cache, const EventRecord* event) {
    const EventClassKey key = KeyOf(event);
    const uint32_t hash = HashKey(key);
    for (uint32_t probe = 0; probe < kLayoutCacheProbes; ++probe) {
        LayoutEntry*& slot = cache->slots[(hash + probe) & (kLayoutCacheSlots - 1)];
        LayoutEntry* entry = LoadSlot(slot);
        if (entry != nullptr) {
            if (SameKey(entry->key, key)) return entry;
            continue;
        }
        // A miss: fill an entry of our own, then publish it. Another thread may publish the
        // same class first; then ours is dropped and theirs used.
        LayoutEntry* made = AllocRecord<LayoutEntry>();
        if (made == nullptr) break;
        made->key = key;
        const Described described = Describe(cache->source, event, &made->layout);
        if (described == Described::kNoMemory) {
            FreeBlock(made);
            break;
        }
        made->state = described == Described::kLayout ? kLayoutVerifying : kLayoutUnusable;
        LayoutEntry* expected = nullptr;
        if (std::atomic_ref<LayoutEntry*>(slot).compare_exchange_strong(
                expected, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
            if (made->state == kLayoutUnusable) Count(cache->counts.classesUnusable);
            return made;
        }
        FreeBlock(made);
        if (SameKey(expected->key, key)) return expected;
    }
    Count(cache->counts.noRoom);
    return nullptr;
}

void ReportTurnedOff(const LayoutCache* cache, const LayoutEntry* entry, const char16_t* name,
                     const char16_t* why) {
    if (cache->source->report == nullptr) return;
    const Guid& g = entry->key.provider;
    char16_t text[400] = {};
    FormatText(text, 400, u"Olvetta: event layout of {%08X-%04X-%04X-%02X%02X-", g.data1, g.data2,
               g.data3, g.data4[0], g.data4[1]);
    for (int i = 2; i < 8; ++i)
        AppendFormat(text, 400, u"%02X", g.data4[i]);
    AppendFormat(text, 400,
                 u"} id %u version %u opcode %u (%u-bit) differs from the helper at \"%.60s\" "
                 u"(%s); that class is read through the helper from now on.\n",
                 entry->key.id, entry->key.version, entry->key.opcode, entry->key.pointerBytes * 8u,
                 name, why);
    cache->source->report(text);
}

void TurnOff(LayoutCache* cache, LayoutEntry* entry, const char16_t* name, const char16_t* why) {
    std::atomic_ref<uint32_t> state(entry->state);
    uint32_t now = state.load(std::memory_order_acquire);
    while (now == kLayoutVerifying || now == kLayoutTrusted) {
        if (state.compare_exchange_weak(now, kLayoutOff, std::memory_order_acq_rel)) {
            Count(cache->counts.classesTurnedOff);
            ReportTurnedOff(cache, entry, name, why);
            return;
        }
    }
}

// The source's failure for a name the class lacks: kept the first time; a success means the
// layout is missing a property.
void LearnAbsent(LayoutCache* cache, LayoutEntry* entry, uint32_t& learned, uint32_t status,
                 const char16_t* name) {
    if (status == 0) {
        TurnOff(cache, entry, name, u"found by the helper only");
        return;
    }
    uint32_t none = 0;
    std::atomic_ref<uint32_t>(learned).compare_exchange_strong(none, status,
                                                               std::memory_order_acq_rel);
}

// Compares one property's size and bytes as the source gives them with the walk's span.
// Returns the reason of a difference, or null. *compared is false when memory for a large
// property was refused (nothing was compared).
const char16_t* CompareProperty(const LayoutSource* source, const EventRecord* event,
                                const char16_t* name, const uint8_t* payload,
                                const PropertySpan& span, bool checkShortBuffer, bool* compared) {
    *compared = true;
    uint32_t size = 0;
    if (source->size(event, name, &size) != 0) return u"size refused";
    if (size != span.size) return u"size";
    uint8_t stack[kCompareStackBytes];
    uint8_t* buffer = stack;
    if (size > sizeof stack) {
        buffer = static_cast<uint8_t*>(AllocZeroed(size));
        if (buffer == nullptr) {
            *compared = false;
            return nullptr;
        }
    }
    const char16_t* why = nullptr;
    if (source->read(event, name, buffer, size) != 0) {
        why = u"read refused";
    } else if (size > 0 && std::memcmp(buffer, payload + span.offset, size) != 0) {
        why = u"bytes";
    } else if (checkShortBuffer && size > 0 &&
               source->read(event, name, buffer, size - 1) != kErrorInsufficientBuffer) {
        why = u"short buffer status";
    }
    if (buffer != stack) FreeBlock(buffer);
    return why;
}

// One read of a class still being checked: every property of the event both ways, and the
// asked name when the class lacks it. The caller then answers from the source.
void VerifyEvent(LayoutCache* cache, LayoutEntry* entry, const EventRecord* event,
                 const PropertySpan* spans, const char16_t* name, int index) {
    const LayoutSource* source = cache->source;
    const auto* payload = static_cast<const uint8_t*>(event->userData);
    bool everyCompared = true;
    bool shortBufferChecked = false;
    for (uint32_t i = 0; i < entry->layout.count; ++i) {
        const LayoutProperty& p = entry->layout.props[i];
        bool compared = false;
        const char16_t* why = CompareProperty(source, event, p.name, payload, spans[i],
                                              !shortBufferChecked, &compared);
        if (why != nullptr) {
            TurnOff(cache, entry, p.name, why);
            return;
        }
        everyCompared = everyCompared && compared;
        shortBufferChecked = shortBufferChecked || spans[i].size > 0;
    }
    if (index < 0) {
        uint32_t size = 0;
        uint8_t probe[16];
        LearnAbsent(cache, entry, entry->absentSizeStatus, source->size(event, name, &size), name);
        LearnAbsent(cache, entry, entry->absentReadStatus,
                    source->read(event, name, probe, sizeof probe), name);
    }
    if (!everyCompared) return;
    if (AtomicAdd(entry->verifiedReads, 1) < kLayoutVerifyReads) return;
    uint32_t verifying = kLayoutVerifying;
    if (std::atomic_ref<uint32_t>(entry->state)
            .compare_exchange_strong(verifying, kLayoutTrusted, std::memory_order_acq_rel)) {
        Count(cache->counts.classesTrusted);
    }
}

// What a request is answered from.
struct Plan {
    LayoutEntry* entry; // null: the source
    int index;          // the property in the layout, -1 when the class lacks it
    PropertySpan span;
};

Plan PlanRead(LayoutCache* cache, const EventRecord* event, const char16_t* name) {
    Plan plan{nullptr, -1, {}};
    if (cache == nullptr || event == nullptr || name == nullptr) return plan;
    LayoutEntry* entry = EntryFor(cache, event);
    if (entry == nullptr) return plan;
    const uint32_t state = AtomicLoad(entry->state);
    if (state != kLayoutVerifying && state != kLayoutTrusted) return plan;
    const auto* payload = static_cast<const uint8_t*>(event->userData);
    const uint32_t payloadBytes = payload != nullptr ? event->userDataLength : 0;
    WalkMemo& memo = tLastWalk;
    const bool keep = state == kLayoutTrusted && payloadBytes <= kWalkMemoBytes;
    const PropertySpan* spans = nullptr;
    PropertySpan walked[kLayoutMaxProperties];
    if (keep && memo.generation != 0 && memo.generation == cache->generation &&
        memo.entry == entry && memo.payloadBytes == payloadBytes &&
        (payloadBytes == 0 || std::memcmp(memo.payload, payload, payloadBytes) == 0)) {
        spans = memo.spans;
    } else {
        PropertySpan* out = keep ? memo.spans : walked;
        if (keep) memo.generation = 0; // being rewritten
        const WalkResult walk =
            WalkEventPayload(entry->layout, payload, payloadBytes,
                             PointerBytesOf(event->header.flags), out, kLayoutMaxProperties);
        if (walk.status != WalkStatus::kComplete) return plan;
        if (keep) {
            memo.entry = entry;
            memo.payloadBytes = payloadBytes;
            if (payloadBytes > 0) std::memcpy(memo.payload, payload, payloadBytes);
            memo.generation = cache->generation;
        }
        spans = out;
    }
    const int index = FindLayoutProperty(entry->layout, name);
    if (state == kLayoutVerifying) {
        VerifyEvent(cache, entry, event, spans, name, index);
        return plan;
    }
    plan.entry = entry;
    plan.index = index;
    if (index >= 0) plan.span = spans[index];
    return plan;
}

} // namespace

void InitLayoutCache(LayoutCache* cache, const LayoutSource* source) {
    std::memset(static_cast<void*>(cache), 0, sizeof *cache);
    cache->source = source;
    uint32_t generation = 0;
    while (generation <= kFirstCacheGeneration)
        generation = gGenerations.fetch_add(1, std::memory_order_relaxed) + 1;
    cache->generation = generation;
}

void ReleaseLayoutCache(LayoutCache* cache) {
    if (cache == nullptr) return;
    for (LayoutEntry*& slot : cache->slots) {
        FreeBlock(slot);
        slot = nullptr;
    }
    cache->counts = LayoutCacheCounts{};
    cache->generation = 0; // no walk kept for it is used again
}

LayoutCacheCounts ReadLayoutCacheCounts(const LayoutCache* cache) {
    LayoutCacheCounts out{};
    if (cache == nullptr) return out;
    out.classesTrusted = AtomicLoad(cache->counts.classesTrusted);
    out.classesTurnedOff = AtomicLoad(cache->counts.classesTurnedOff);
    out.classesUnusable = AtomicLoad(cache->counts.classesUnusable);
    out.noRoom = AtomicLoad(cache->counts.noRoom);
    out.readsFromSource = AtomicLoad(cache->counts.readsFromSource);
    return out;
}

uint32_t LayoutStateOf(const LayoutCache* cache, const EventRecord* event) {
    if (cache == nullptr || event == nullptr) return 0;
    const EventClassKey key = KeyOf(event);
    const uint32_t hash = HashKey(key);
    for (uint32_t probe = 0; probe < kLayoutCacheProbes; ++probe) {
        const LayoutEntry* entry = LoadSlot(cache->slots[(hash + probe) & (kLayoutCacheSlots - 1)]);
        if (entry == nullptr) return 0;
        if (SameKey(entry->key, key)) return AtomicLoad(entry->state);
    }
    return 0;
}

uint32_t CachedPropertySize(LayoutCache* cache, const EventRecord* event, const char16_t* name,
                            uint32_t* size) {
    if (size == nullptr) return cache->source->size(event, name, size);
    const Plan plan = PlanRead(cache, event, name);
    if (plan.entry != nullptr && plan.index >= 0) {
        *size = plan.span.size;
        return 0;
    }
    if (plan.entry != nullptr) {
        const uint32_t absent = AtomicLoad(plan.entry->absentSizeStatus);
        if (absent != 0) {
            *size = 0;
            return absent;
        }
    }
    Count(cache->counts.readsFromSource);
    const uint32_t status = cache->source->size(event, name, size);
    if (plan.entry != nullptr) {
        LearnAbsent(cache, plan.entry, plan.entry->absentSizeStatus, status, name);
    }
    return status;
}

uint32_t CachedPropertyRead(LayoutCache* cache, const EventRecord* event, const char16_t* name,
                            void* buffer, uint32_t bufferSize) {
    const Plan plan = buffer != nullptr ? PlanRead(cache, event, name) : Plan{nullptr, -1, {}};
    if (plan.entry != nullptr && plan.index >= 0) {
        // A short buffer fails as the helper's does (VerifyEvent checks the status).
        if (bufferSize < plan.span.size) return kErrorInsufficientBuffer;
        const auto* payload = static_cast<const uint8_t*>(event->userData);
        if (plan.span.size > 0) std::memcpy(buffer, payload + plan.span.offset, plan.span.size);
        return 0;
    }
    if (plan.entry != nullptr) {
        const uint32_t absent = AtomicLoad(plan.entry->absentReadStatus);
        if (absent != 0) return absent;
    }
    Count(cache->counts.readsFromSource);
    const uint32_t status = cache->source->read(event, name, buffer, bufferSize);
    if (plan.entry != nullptr) {
        LearnAbsent(cache, plan.entry, plan.entry->absentReadStatus, status, name);
    }
    return status;
}

} // namespace olv
