#include "record/text_store.h"

#include <cstring>

#include "base/growth.h"
#include "platform/memory.h"

namespace olv {

namespace {

constexpr size_t kFirstEntries = 1024;
constexpr size_t kFirstPoolBytes = 64 * 1024;
constexpr uint32_t kFirstSlots = 2048;

uint32_t MostTexts(const TextStore* s) {
    return s->mostTexts != 0 && s->mostTexts < kTextStoreMostTexts ? s->mostTexts
                                                                     : kTextStoreMostTexts;
}
uint64_t MostBytes(const TextStore* s) {
    return s->mostBytes != 0 && s->mostBytes < kTextStoreMostBytes ? s->mostBytes
                                                                     : kTextStoreMostBytes;
}

// Growth limits: the power of two at or above a bound, so that doubling from a power-of-two first
// size reaches the bound itself; what is used is checked against the bound.
uint64_t CeilPow2(uint64_t n) {
    uint64_t p = 1;
    while (p < n)
        p *= 2;
    return p;
}

bool AllNarrow(const char16_t* text, size_t length) {
    char16_t high = 0;
    for (size_t i = 0; i < length; ++i)
        high = static_cast<char16_t>(high | (text[i] & 0xFF00));
    return high == 0;
}

} // namespace

void FreeTextStore(TextStore* store) {
    if (store == nullptr) return;
    FreeBlock(store->entries);
    FreeBlock(store->pool);
    HashFree(&store->index);
    const uint32_t mostTexts = store->mostTexts;
    const uint64_t mostBytes = store->mostBytes;
    *store = TextStore{};
    store->mostTexts = mostTexts;
    store->mostBytes = mostBytes;
}

char16_t TextUnitAt(TextView view, uint32_t i) {
    if (!view.wide) return view.data[i];
    char16_t unit;
    std::memcpy(&unit, view.data + size_t{i} * 2, sizeof unit);
    return unit;
}

void CopyTextUnits(TextView view, char16_t* out) {
    if (view.wide) {
        std::memcpy(out, view.data, size_t{view.length} * sizeof(char16_t));
        return;
    }
    for (uint32_t i = 0; i < view.length; ++i)
        out[i] = view.data[i];
}

bool TextViewEquals(TextView view, const char16_t* text, size_t length) {
    if (view.length != length) return false;
    if (view.wide) return std::memcmp(view.data, text, length * sizeof(char16_t)) == 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != view.data[i]) return false;
    }
    return true;
}

TextView TextOfId(const TextStore* store, uint32_t id) {
    if (id == 0 || id >= store->count) return TextView{nullptr, 0, false};
    const TextStoreEntry& e = store->entries[id];
    return TextView{store->pool + e.offset, e.head & ~kTextStoreWide,
                    (e.head & kTextStoreWide) != 0};
}

bool FindStoredText(const TextStore* store, const char16_t* text, size_t length, uint32_t* id) {
    if (length == 0) {
        *id = 0;
        return true;
    }
    const TextStoreSlot* slot = HashFind(&store->index, HashText16(text, length),
                                         [&](const TextStoreSlot& s) {
                                             return TextViewEquals(TextOfId(store, s.id), text,
                                                                   length);
                                         });
    if (slot == nullptr) return false;
    *id = slot->id;
    return true;
}

bool InternText(TextStore* store, const char16_t* text, size_t length, uint32_t* id) {
    if (length == 0) {
        *id = 0;
        return true;
    }
    if (length > kTextStoreLongestText || text == nullptr) return false;
    const uint64_t hash = HashText16(text, length);
    const TextStoreSlot* found =
        HashFind(&store->index, hash, [&](const TextStoreSlot& s) {
            return TextViewEquals(TextOfId(store, s.id), text, length);
        });
    if (found != nullptr) {
        *id = found->id;
        return true;
    }
    const bool narrow = AllNarrow(text, length);
    const uint64_t bytes = narrow ? length : length * 2;
    const uint32_t next = store->count == 0 ? 1 : store->count;
    if (next >= MostTexts(store) || store->poolUsed + bytes > MostBytes(store)) return false;
    // Every growth is made before anything changes, so a refusal leaves the store as it was.
    if (!GrowArray(&store->entries, &store->capacity, store->count, size_t{next} + 1,
                   kFirstEntries < MostTexts(store) ? kFirstEntries : CeilPow2(MostTexts(store)),
                   CeilPow2(MostTexts(store)))) {
        return false;
    }
    if (!GrowArray(&store->pool, &store->poolCapacity, store->poolUsed, store->poolUsed + bytes,
                   kFirstPoolBytes < MostBytes(store) ? kFirstPoolBytes : CeilPow2(MostBytes(store)),
                   CeilPow2(MostBytes(store)))) {
        return false;
    }
    TextStoreSlot* slot = HashInsert(&store->index, hash, kFirstSlots, 1u << 31);
    if (slot == nullptr) return false;
    uint8_t* to = store->pool + store->poolUsed;
    if (narrow) {
        for (size_t i = 0; i < length; ++i)
            to[i] = static_cast<uint8_t>(text[i]);
    } else {
        std::memcpy(to, text, length * sizeof(char16_t));
    }
    store->entries[next] = TextStoreEntry{static_cast<uint32_t>(store->poolUsed),
                                          static_cast<uint32_t>(length) |
                                              (narrow ? 0u : kTextStoreWide)};
    store->poolUsed += bytes;
    store->count = next + 1;
    slot->id = next;
    *id = next;
    return true;
}

uint32_t TextCount(const TextStore* store) {
    return store->count == 0 ? 1 : store->count;
}

uint64_t TextStoreBytes(const TextStore* store) {
    return store->poolCapacity + uint64_t{store->capacity} * sizeof(TextStoreEntry) +
           uint64_t{store->index.capacity} * (sizeof(uint64_t) + sizeof(TextStoreSlot));
}

} // namespace olv
