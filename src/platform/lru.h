// A cache of at most a fixed number of plain records that, when full, gives up the record used
// longest ago: the records in one block, a list from the newest use to the oldest, and the hash
// table over the keys' hashes. The caller keeps each key in its record and compares keys; the
// cache never reads them. Every block is taken when the cache is made, so a cache that was made
// never meets refused memory again and a full one hands out the oldest record's place.
//
// Not locked: a cache shared by threads is kept under the caller's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/hash_table.h"
#include "platform/memory.h"

namespace olv {

constexpr uint32_t kLruNone = UINT32_MAX;
// Keeps the slots of the key table (twice the records, a power of two) within 32 bits.
constexpr uint32_t kLruMaxCapacity = uint32_t{1} << 30;

// A record's place in the use order, beside the hash it was stored under.
struct LruLink {
    uint64_t hash;
    uint32_t newer; // kLruNone for the newest
    uint32_t older; // kLruNone for the oldest
};

template <typename Value> struct Lru {
    HashTable<uint32_t> index; // by the key's hash: the record's place in values
    Value* values;             // capacity records; the first count of them in use
    LruLink* links;
    uint32_t capacity;
    uint32_t count;
    uint32_t newest; // kLruNone when empty
    uint32_t oldest;
};

namespace lru_detail {

template <typename Value> void Unlink(Lru<Value>* lru, uint32_t at) {
    LruLink& link = lru->links[at];
    if (link.newer != kLruNone)
        lru->links[link.newer].older = link.older;
    else
        lru->newest = link.older;
    if (link.older != kLruNone)
        lru->links[link.older].newer = link.newer;
    else
        lru->oldest = link.newer;
}

template <typename Value> void LinkNewest(Lru<Value>* lru, uint32_t at) {
    LruLink& link = lru->links[at];
    link.newer = kLruNone;
    link.older = lru->newest;
    if (lru->newest != kLruNone) lru->links[lru->newest].newer = at;
    lru->newest = at;
    if (lru->oldest == kLruNone) lru->oldest = at;
}

} // namespace lru_detail

// Takes the blocks for capacity records. False, with *lru empty, when capacity is 0 or above
// kLruMaxCapacity or memory is refused.
template <typename Value> bool LruInit(Lru<Value>* lru, uint32_t capacity) {
    static_assert(std::is_trivially_copyable_v<Value>, "caches hold plain records");
    *lru = Lru<Value>{};
    lru->newest = lru->oldest = kLruNone;
    if (capacity == 0 || capacity > kLruMaxCapacity) return false;
    uint32_t slots = 2;
    while (slots / 2 < capacity)
        slots *= 2;
    lru->values = static_cast<Value*>(AllocZeroed(sizeof(Value) * size_t{capacity}));
    lru->links = static_cast<LruLink*>(AllocZeroed(sizeof(LruLink) * size_t{capacity}));
    if (lru->values == nullptr || lru->links == nullptr || !HashResize(&lru->index, slots)) {
        FreeBlock(lru->values);
        FreeBlock(lru->links);
        *lru = Lru<Value>{};
        lru->newest = lru->oldest = kLruNone;
        return false;
    }
    lru->capacity = capacity;
    return true;
}

// Gives every record in use to release(Value&) (to free what it points to), then the blocks.
// Safe on a cache never made or made in vain.
template <typename Value, typename Release> void LruFree(Lru<Value>* lru, Release release) {
    for (uint32_t at = lru->newest; at != kLruNone; at = lru->links[at].older)
        release(lru->values[at]);
    HashFree(&lru->index);
    FreeBlock(lru->values);
    FreeBlock(lru->links);
    *lru = Lru<Value>{};
    lru->newest = lru->oldest = kLruNone;
}

// The record stored under hash for which same(const Value&) holds, or nullptr. The use order is
// left as it was: LruTouch marks a use.
template <typename Value, typename Same> Value* LruFind(Lru<Value>* lru, uint64_t hash, Same same) {
    const uint32_t* at = HashFind(&lru->index, hash, [lru, &same](const uint32_t& place) {
        return same(static_cast<const Value&>(lru->values[place]));
    });
    return at != nullptr ? &lru->values[*at] : nullptr;
}

// Makes value (a record of the cache) the one used last.
template <typename Value> void LruTouch(Lru<Value>* lru, Value* value) {
    const auto at = static_cast<uint32_t>(value - lru->values);
    if (at >= lru->count || lru->newest == at) return;
    lru_detail::Unlink(lru, at);
    lru_detail::LinkNewest(lru, at);
}

// A place for a record under hash (the caller has found none with its key), made the one used
// last. While the cache has room the record is zero and *evicted false; when full, the record used
// longest ago gives up its place: *evicted is true and the record still holds what it held, for
// the caller to release before writing the new one over it. nullptr on a cache never made.
template <typename Value> Value* LruInsert(Lru<Value>* lru, uint64_t hash, bool* evicted) {
    *evicted = false;
    if (lru->capacity == 0) return nullptr;
    uint32_t at;
    if (lru->count < lru->capacity) {
        at = lru->count;
    } else {
        at = lru->oldest;
        uint32_t* entry = HashFind(&lru->index, lru->links[at].hash,
                                   [at](const uint32_t& place) { return place == at; });
        if (entry != nullptr) HashErase(&lru->index, entry);
        lru_detail::Unlink(lru, at);
        *evicted = true;
    }
    // Never grows: the table was given twice the capacity's slots.
    uint32_t* entry = HashInsert(&lru->index, hash, lru->index.capacity, lru->index.capacity);
    if (entry == nullptr) return nullptr; // not reached while count <= capacity
    *entry = at;
    if (!*evicted) ++lru->count;
    lru->links[at].hash = hash;
    lru_detail::LinkNewest(lru, at);
    return &lru->values[at];
}

} // namespace olv
