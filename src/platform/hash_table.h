// The one hash table: open addressing with linear probing over a power-of-two number of slots,
// at most half of them in use, so that a lookup ends at an empty slot within a few steps. Each
// slot holds the key's 64-bit hash (0 marks an empty slot) and a caller's plain record; the
// caller compares keys, so a record may keep its key anywhere (in itself, in a text pool).
// Removal shifts the following entries back instead of leaving markers, so probes never lengthen.
//
// Memory comes from AllocZeroed: the fault hooks see every growth, and a refused growth leaves
// the table as it was (the caller counts the loss). Records are moved on growth and removal:
// a pointer to one is good until the next insertion or removal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/memory.h"

namespace olv {

template <typename Entry> struct HashTable {
    uint64_t* hashes; // per slot: the stored hash, 0 when the slot is empty
    Entry* entries;   // per slot; zero while the slot is empty
    uint32_t capacity; // slots: a power of two, or 0 before the first insertion
    uint32_t count;    // slots in use
};

// Mixes for keys that are themselves numbers (process ids are multiples of 4): the slot is taken
// from the low bits, which must depend on every bit of the key.
inline uint64_t HashNumber(uint64_t key) {
    uint64_t h = (key + 1) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

// Texts: four characters a step, then a final mix so that the low bits depend on every
// character (keys of a recording often differ only in a few digits near their end).
namespace hash_text_detail {
// The steps both text hashes share, so that a text hashes alike from either form.
template <typename Unit, typename FourUnits>
inline uint64_t HashUnits(const Unit* text, size_t length, FourUnits fourUnits) {
    uint64_t h = 1469598103934665603ull ^ length;
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        h = (h ^ fourUnits(text + i)) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 31;
    }
    for (; i < length; ++i)
        h = (h ^ text[i]) * 1099511628211ull;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return h;
}
} // namespace hash_text_detail

inline uint64_t HashText16(const char16_t* text, size_t length) {
    return hash_text_detail::HashUnits(text, length, [](const char16_t* at) {
        uint64_t word;
        std::memcpy(&word, at, sizeof word);
        return word;
    });
}

// HashText16 of the text whose units are these bytes (each unit below 256), made from the bytes
// without widening them first: a text kept one byte a unit hashes as its units would.
inline uint64_t HashText8As16(const uint8_t* text, size_t length) {
    return hash_text_detail::HashUnits(text, length, [](const uint8_t* at) {
        return uint64_t{at[0]} | (uint64_t{at[1]} << 16) | (uint64_t{at[2]} << 32) |
               (uint64_t{at[3]} << 48);
    });
}

namespace hash_table_detail {

inline uint64_t Stored(uint64_t hash) {
    return hash != 0 ? hash : 1;
}

template <typename Entry> size_t BlockBytes(uint32_t slots) {
    return static_cast<size_t>(slots) * (sizeof(uint64_t) + sizeof(Entry));
}

} // namespace hash_table_detail

// The record stored under hash for which same(record) holds; nullptr when there is none.
template <typename Entry, typename Same>
Entry* HashFind(const HashTable<Entry>* t, uint64_t hash, Same same) {
    if (t->capacity == 0) return nullptr;
    const uint64_t stored = hash_table_detail::Stored(hash);
    const uint32_t mask = t->capacity - 1;
    for (uint32_t at = static_cast<uint32_t>(stored) & mask;; at = (at + 1) & mask) {
        const uint64_t h = t->hashes[at];
        if (h == 0) return nullptr;
        if (h == stored && same(static_cast<const Entry&>(t->entries[at]))) return &t->entries[at];
    }
}

// Moves the table into slots slots (a power of two, more than twice its count). False, with the
// table unchanged, when memory is refused.
template <typename Entry> bool HashResize(HashTable<Entry>* t, uint32_t slots) {
    static_assert(std::is_trivially_copyable_v<Entry>, "hash tables hold plain records");
    static_assert(alignof(Entry) <= alignof(uint64_t), "records follow the hashes in one block");
    if (slots == 0 || (slots & (slots - 1)) != 0 || slots / 2 < t->count) return false;
    void* block = AllocZeroed(hash_table_detail::BlockBytes<Entry>(slots));
    if (block == nullptr) return false;
    auto* hashes = static_cast<uint64_t*>(block);
    auto* entries = reinterpret_cast<Entry*>(hashes + slots);
    const uint32_t mask = slots - 1;
    for (uint32_t i = 0; i < t->capacity; ++i) {
        const uint64_t h = t->hashes[i];
        if (h == 0) continue;
        uint32_t at = static_cast<uint32_t>(h) & mask;
        while (hashes[at] != 0)
            at = (at + 1) & mask;
        hashes[at] = h;
        entries[at] = t->entries[i];
    }
    FreeBlock(t->hashes);
    t->hashes = hashes;
    t->entries = entries;
    t->capacity = slots;
    return true;
}

// A fresh zero record under hash (the caller has found no record with its key), the table first
// doubling (from firstSlots) when half its slots are in use. nullptr when that would pass
// maxSlots or memory is refused: then the table is unchanged.
template <typename Entry>
Entry* HashInsert(HashTable<Entry>* t, uint64_t hash, uint32_t firstSlots, uint32_t maxSlots) {
    if (t->capacity == 0 || (static_cast<uint64_t>(t->count) + 1) * 2 > t->capacity) {
        const uint64_t slots = t->capacity == 0 ? firstSlots : uint64_t{t->capacity} * 2;
        if (slots > maxSlots || !HashResize(t, static_cast<uint32_t>(slots))) return nullptr;
    }
    const uint64_t stored = hash_table_detail::Stored(hash);
    const uint32_t mask = t->capacity - 1;
    uint32_t at = static_cast<uint32_t>(stored) & mask;
    while (t->hashes[at] != 0)
        at = (at + 1) & mask;
    t->hashes[at] = stored;
    ++t->count;
    return &t->entries[at];
}

// Removes the record (a pointer into the table), moving back the records after it that would
// otherwise be cut off from their home slot.
template <typename Entry> void HashErase(HashTable<Entry>* t, Entry* entry) {
    if (t->capacity == 0 || entry < t->entries || entry >= t->entries + t->capacity) return;
    const uint32_t mask = t->capacity - 1;
    uint32_t hole = static_cast<uint32_t>(entry - t->entries);
    if (t->hashes[hole] == 0) return;
    for (uint32_t at = (hole + 1) & mask; t->hashes[at] != 0; at = (at + 1) & mask) {
        const uint32_t home = static_cast<uint32_t>(t->hashes[at]) & mask;
        // The record at at may fill the hole when its home is not in (hole, at], cyclically.
        const bool homeAfterHole = ((home - hole - 1) & mask) < ((at - hole) & mask);
        if (homeAfterHole) continue;
        t->hashes[hole] = t->hashes[at];
        t->entries[hole] = t->entries[at];
        hole = at;
    }
    t->hashes[hole] = 0;
    std::memset(static_cast<void*>(&t->entries[hole]), 0, sizeof(Entry));
    --t->count;
}

// Empties the table and keeps its slots.
template <typename Entry> void HashClear(HashTable<Entry>* t) {
    if (t->hashes != nullptr) std::memset(t->hashes, 0, hash_table_detail::BlockBytes<Entry>(t->capacity));
    t->count = 0;
}

template <typename Entry> void HashFree(HashTable<Entry>* t) {
    FreeBlock(t->hashes);
    *t = HashTable<Entry>{};
}

} // namespace olv
