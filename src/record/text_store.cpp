#include "record/text_store.h"

#include <bit>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/growth.h"
#include "platform/memory.h"

namespace olv {

namespace {

constexpr size_t kFirstEntries = 1024;
constexpr size_t kFirstPoolBytes = 64 * 1024;
constexpr uint32_t kFirstSlots = 2048;
constexpr uint32_t kMostSlots = 1u << 31;

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
    return std::bit_ceil(n);
}

// Four units a step: interning a new path asks this of every unit.
bool AllNarrow(const char16_t* text, size_t length) {
    uint64_t high = 0;
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        uint64_t four;
        std::memcpy(&four, text + i, sizeof four);
        high |= four;
    }
    for (; i < length; ++i)
        high |= text[i];
    return (high & 0xFF00FF00FF00FF00ull) == 0;
}

// The units of a narrow text (each below 256) as bytes, eight a step where SSE2 is there.
void NarrowUnits(const char16_t* text, size_t length, uint8_t* to) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 8 <= length; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to + i), _mm_packus_epi16(units, units));
    }
#endif
    for (; i < length; ++i)
        to[i] = static_cast<uint8_t>(text[i]);
}

// Brings the hash index up to every text. False when memory is refused; the index then holds
// what it held, and a later call goes on from there.
bool IndexAll(TextStore* store) {
    if (store->indexed == 0) store->indexed = 1;
    if (store->indexed >= store->count) return true;
    // Texts are hashed as units; a narrow one is widened here first.
    auto* units =
        static_cast<char16_t*>(AllocZeroed(size_t{kTextStoreLongestText} * sizeof(char16_t)));
    if (units == nullptr) return false;
    bool ok = true;
    while (ok && store->indexed < store->count) {
        const uint32_t id = store->indexed;
        const TextView view = TextOfId(store, id);
        CopyTextUnits(view, units);
        const uint64_t hash = HashText16(units, view.length);
        const bool known = HashFind(&store->index, hash, [&](const TextStoreSlot& s) {
                               const TextView other = TextOfId(store, s.id);
                               return other.length == view.length && other.wide == view.wide &&
                                      std::memcmp(other.data, view.data,
                                                  size_t{view.length} * (view.wide ? 2 : 1)) == 0;
                           }) != nullptr;
        // A text a file holds twice keeps its first id in the index; both ids stay valid.
        if (!known) {
            TextStoreSlot* slot = HashInsert(&store->index, hash, kFirstSlots, kMostSlots);
            if (slot == nullptr) {
                ok = false;
                break;
            }
            slot->id = id;
        }
        ++store->indexed;
    }
    FreeBlock(units);
    return ok;
}

// Room in the index for texts more inserts without a doubling (it doubles when half its slots
// are in use). A fresh block of zeros is an empty index, so slots not yet written cost no memory.
bool GrowIndexFor(TextStore* store, uint32_t texts) {
    const uint64_t inUse = uint64_t{store->index.count} + texts;
    uint64_t slots = store->index.capacity == 0 ? kFirstSlots : store->index.capacity;
    while (inUse * 2 > slots)
        slots *= 2;
    if (slots > kMostSlots) return false;
    return slots == store->index.capacity ||
           HashResize(&store->index, static_cast<uint32_t>(slots));
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

void CopyTextUnits(TextView view, char16_t* out) {
    if (view.wide) {
        std::memcpy(out, view.data, size_t{view.length} * sizeof(char16_t));
        return;
    }
    uint32_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes widened to sixteen units a step: a row's texts are copied for every line an
    // export writes.
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= view.length; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(view.data + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(bytes, zero));
    }
    if (i + 8 <= view.length) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(view.data + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(bytes, zero));
        i += 8;
    }
    if (i == view.length) {
        // Whole in the steps above.
    } else if (view.length >= 8) {
        // The last eight again, overlapping units already written with the same values.
        const uint32_t last = view.length - 8;
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(view.data + last));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + last), _mm_unpacklo_epi8(bytes, zero));
        i = view.length;
    } else if (view.length >= 4) {
        // Four to seven: the first four and the last four.
        uint32_t first = 0, last = 0;
        std::memcpy(&first, view.data, 4);
        std::memcpy(&last, view.data + view.length - 4, 4);
        const __m128i a = _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(first)), zero);
        const __m128i b = _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(last)), zero);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), a);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + view.length - 4), b);
        i = view.length;
    }
#endif
    for (; i < view.length; ++i)
        out[i] = view.data[i];
}

bool TextViewEquals(TextView view, const char16_t* text, size_t length) {
    if (view.length != length) return false;
    if (view.wide) return std::memcmp(view.data, text, length * sizeof(char16_t)) == 0;
    size_t i = 0;
#if defined(__SSE2__)
    // Eight bytes widened to eight units a step.
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= length; i += 8) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(view.data + i));
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i same = _mm_cmpeq_epi16(_mm_unpacklo_epi8(bytes, zero), units);
        if (_mm_movemask_epi8(same) != 0xFFFF) return false;
    }
#endif
    for (; i < length; ++i) {
        if (text[i] != view.data[i]) return false;
    }
    return true;
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
    if (slot != nullptr) {
        *id = slot->id;
        return true;
    }
    for (uint32_t i = store->indexed > 1 ? store->indexed : 1; i < store->count; ++i) {
        if (TextViewEquals(TextOfId(store, i), text, length)) {
            *id = i;
            return true;
        }
    }
    return false;
}

bool InternText(TextStore* store, const char16_t* text, size_t length, uint32_t* id) {
    return InternHashedText(store, text, length, TextHash(text, length), id);
}

uint64_t TextHash(const char16_t* text, size_t length) {
    return length == 0 ? 0 : HashText16(text, length);
}

void PrefetchTextSlot(const TextStore* store, uint64_t hash) {
    const HashTable<TextStoreSlot>& t = store->index;
    if (t.capacity == 0) return;
    const uint32_t at = static_cast<uint32_t>(hash != 0 ? hash : 1) & (t.capacity - 1);
    __builtin_prefetch(&t.hashes[at]);
    __builtin_prefetch(&t.entries[at]);
}

bool InternHashedText(TextStore* store, const char16_t* text, size_t length, uint64_t hash,
                      uint32_t* id) {
    if (length == 0) {
        *id = 0;
        return true;
    }
    if (length > kTextStoreLongestText || text == nullptr) return false;
    if (store->indexed < store->count && !IndexAll(store)) return false;
    const TextStoreSlot* found =
        HashFind(&store->index, hash, [&](const TextStoreSlot& s) {
            return TextViewEquals(TextOfId(store, s.id), text, length);
        });
    if (found != nullptr) {
        *id = found->id;
        return true;
    }
    const bool narrow = AllNarrow(text, length);
    const bool longHead = length > kTextPoolShortest;
    const uint64_t headBytes = sizeof(uint16_t) + (longHead ? sizeof(uint32_t) : 0);
    const uint64_t bytes = headBytes + (narrow ? length : length * 2);
    const uint32_t next = store->count == 0 ? 1 : store->count;
    if (next >= MostTexts(store) || store->poolUsed + bytes > MostBytes(store)) return false;
    // Every growth is made before anything changes, so a refusal leaves the store as it was.
    const uint64_t mostTexts = CeilPow2(MostTexts(store));
    const uint64_t mostBytes = CeilPow2(MostBytes(store));
    if (!GrowArray(&store->entries, &store->capacity, store->count, size_t{next} + 1,
                   kFirstEntries < mostTexts ? kFirstEntries : mostTexts, mostTexts)) {
        return false;
    }
    if (!GrowArray(&store->pool, &store->poolCapacity, store->poolUsed, store->poolUsed + bytes,
                   kFirstPoolBytes < mostBytes ? kFirstPoolBytes : mostBytes, mostBytes)) {
        return false;
    }
    TextStoreSlot* slot = HashInsert(&store->index, hash, kFirstSlots, kMostSlots);
    if (slot == nullptr) return false;
    uint8_t* to = store->pool + store->poolUsed;
    const uint16_t head =
        static_cast<uint16_t>((longHead ? 0 : length) | (narrow ? 0 : kTextPoolWide));
    std::memcpy(to, &head, sizeof head);
    to += sizeof head;
    if (longHead) {
        const auto units = static_cast<uint32_t>(length);
        std::memcpy(to, &units, sizeof units);
        to += sizeof units;
    }
    if (narrow) {
        NarrowUnits(text, length, to);
    } else {
        std::memcpy(to, text, length * sizeof(char16_t));
    }
    store->entries[next] =
        TextStoreEntry{static_cast<uint32_t>(store->poolUsed + headBytes),
                       static_cast<uint32_t>(length) | (narrow ? 0u : kTextStoreWide)};
    store->poolUsed += bytes;
    store->count = next + 1;
    store->indexed = store->count;
    slot->id = next;
    *id = next;
    return true;
}

bool ReserveTextRoom(TextStore* store, uint32_t texts, uint64_t bytes) {
    if (store->indexed < store->count && !IndexAll(store)) return false;
    const uint64_t count = store->count == 0 ? 1 : store->count;
    if (count + texts > MostTexts(store) || store->poolUsed + bytes > MostBytes(store)) return false;
    // The room is most often there already (the store is asked before every row).
    if (count + texts <= store->capacity && store->poolUsed + bytes <= store->poolCapacity &&
        store->index.capacity != 0 &&
        (uint64_t{store->index.count} + texts) * 2 <= store->index.capacity) {
        return true;
    }
    const uint64_t mostTexts = CeilPow2(MostTexts(store));
    const uint64_t mostBytes = CeilPow2(MostBytes(store));
    if (!GrowArray(&store->entries, &store->capacity, store->count, count + texts,
                   kFirstEntries < mostTexts ? kFirstEntries : mostTexts, mostTexts) ||
        !GrowArray(&store->pool, &store->poolCapacity, store->poolUsed, store->poolUsed + bytes,
                   kFirstPoolBytes < mostBytes ? kFirstPoolBytes : mostBytes, mostBytes)) {
        return false;
    }
    return GrowIndexFor(store, texts);
}

bool ReserveTextIndex(TextStore* store, uint32_t texts) {
    if (store->indexed < store->count) return false;
    const uint64_t count = store->count == 0 ? 1 : store->count;
    if (count + texts > MostTexts(store)) return false;
    return GrowIndexFor(store, texts);
}

bool ReserveTextPool(TextStore* store, uint32_t texts, uint64_t bytes) {
    const uint64_t count = store->count == 0 ? 1 : store->count;
    if (count + texts > MostTexts(store) || store->poolUsed + bytes > MostBytes(store)) return false;
    const uint64_t mostTexts = CeilPow2(MostTexts(store));
    const uint64_t mostBytes = CeilPow2(MostBytes(store));
    return GrowArray(&store->entries, &store->capacity, store->count, count + texts,
                     kFirstEntries < mostTexts ? kFirstEntries : mostTexts, mostTexts) &&
           GrowArray(&store->pool, &store->poolCapacity, store->poolUsed, store->poolUsed + bytes,
                     kFirstPoolBytes < mostBytes ? kFirstPoolBytes : mostBytes, mostBytes);
}

const uint8_t* TextPool(const TextStore* store, uint64_t* bytes) {
    *bytes = store->poolUsed;
    return store->pool;
}

uint8_t* TextPoolRoom(TextStore* store, uint64_t bytes) {
    FreeTextStore(store);
    if (bytes == 0 || bytes > MostBytes(store)) return nullptr;
    store->pool = static_cast<uint8_t*>(AllocZeroed(static_cast<size_t>(bytes)));
    if (store->pool == nullptr) return nullptr;
    store->poolCapacity = bytes;
    store->poolUsed = bytes;
    return store->pool;
}

namespace {

bool RefusePool(uint32_t id, uint32_t* bad) {
    *bad = id;
    return false;
}

} // namespace

bool BeginTextPool(TextStore* store, uint32_t texts, uint32_t* bad) {
    *bad = 0;
    const uint64_t bytes = store->poolUsed;
    // Each text takes at least three bytes: a count past that cannot be right.
    if (texts == 0 || texts > MostTexts(store) || uint64_t{texts - 1} * 3 > bytes)
        return RefusePool(texts, bad);
    store->entries = static_cast<TextStoreEntry*>(AllocZeroed(size_t{texts} * sizeof(TextStoreEntry)));
    if (store->entries == nullptr) return RefusePool(0, bad);
    store->capacity = texts;
    store->count = 1;
    store->indexed = 1; // the index is built on the first Intern
    return true;
}

bool IndexTextPool(TextStore* store, uint64_t filled, uint32_t* bad) {
    return IndexTextPoolTaking(store, filled, bad, [](uint32_t, TextStoreEntry) {});
}

bool OpenTextPool(TextStore* store, uint32_t texts, uint32_t* bad) {
    if (BeginTextPool(store, texts, bad) && IndexTextPool(store, store->poolUsed, bad)) return true;
    FreeTextStore(store);
    return false;
}

uint32_t TextCount(const TextStore* store) {
    return store->count == 0 ? 1 : store->count;
}

uint64_t TextStoreBytes(const TextStore* store) {
    return store->poolCapacity + uint64_t{store->capacity} * sizeof(TextStoreEntry) +
           uint64_t{store->index.capacity} * (sizeof(uint64_t) + sizeof(TextStoreSlot));
}

} // namespace olv
