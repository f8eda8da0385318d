// TextStore: interned texts. Rows repeat the same paths, process names, command lines and
// endpoints many times; a store keeps each distinct text once and gives it a 32-bit id, so a row
// holds ids instead of fixed text arrays. Id 0 is the empty text and is never stored.
//
// A text is a run of UTF-16 units of known length; it may hold any unit (the compact row keeps a
// few small binary records here as well, see compact_row.h). Each text is kept one byte a unit
// when every unit is below 256, else two bytes a unit. The pool holds each text as a 16-bit head
// (its units, the top bit set when two bytes a unit) and its units, one text after the other,
// which is also the text table of a compact session file: a store is saved and opened as one
// block. A text longer than kTextPoolShortest units (a whole script text) has a head of zero units
// (with the wide bit as usual) followed by its units as 32 bits: a zero head is no text of its own,
// since every text has at least one unit. Lookup by id is one array index; interning looks the text up by hash first. The hash
// index follows the texts lazily: a store opened from a file builds it on its first Intern. Memory comes from AllocZeroed through platform/growth.h and
// platform/hash_table.h, so the allocation fault hooks see every growth, and a refused growth (or a
// store at its bounds) makes Intern report false and change nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/hash_table.h"

namespace olv {

// A text longer than this is refused: the longest field of a row is 1024 units, and a row's
// whole script text (kWholeTextMostUnits) is kept up to this.
constexpr uint32_t kTextStoreLongestText = uint32_t{1} << 20;
// The longest text whose units fit the pool's 16-bit head; longer ones take the long head.
constexpr uint32_t kTextPoolShortest = 0x7FFF;
// Bounds of one store: texts (ids) and bytes of text.
constexpr uint32_t kTextStoreMostTexts = 1u << 30;
constexpr uint64_t kTextStoreMostBytes = uint64_t{1} << 32;

struct TextStoreSlot {
    uint32_t id;
};

// One text's place in the pool: its first unit's byte and its length in units with the wide bit.
struct TextStoreEntry {
    uint32_t offset;
    uint32_t head; // units | kTextStoreWide
};
constexpr uint32_t kTextStoreWide = 0x80000000u;
// The head of a text in the pool.
constexpr uint16_t kTextPoolWide = 0x8000;
static_assert(uint32_t{kTextPoolWide} << 16 == kTextStoreWide);

struct TextStore {
    TextStoreEntry* entries; // by id; entries[0] is the empty text
    uint32_t count;          // ids in use, the empty text's included (0 before the first text)
    uint32_t capacity;
    uint8_t* pool; // the texts' units, one after the other
    uint64_t poolUsed;
    uint64_t poolCapacity;
    HashTable<TextStoreSlot> index;
    uint32_t indexed; // ids below this are in the index (the empty text counts as indexed)
    // Bounds of this store (kTextStoreMostTexts and kTextStoreMostBytes when left 0); tests set
    // them low to reach a full store.
    uint32_t mostTexts;
    uint64_t mostBytes;
};

// A stored text as it lies in the pool: length units of one byte (narrow) or two bytes (wide,
// possibly unaligned: read with memcpy or through the helpers below). Valid until the next
// Intern.
struct TextView {
    const uint8_t* data;
    uint32_t length;
    bool wide;
};

void FreeTextStore(TextStore* store);

// The id of the text of length units (id 0 for length 0), stored first when it is new. False when
// the text is too long, the store is full or memory is refused: then nothing changed.
bool InternText(TextStore* store, const char16_t* text, size_t length, uint32_t* id);
// InternText for a text whose TextHash the caller has already made.
uint64_t TextHash(const char16_t* text, size_t length);
bool InternHashedText(TextStore* store, const char16_t* text, size_t length, uint64_t hash,
                      uint32_t* id);
// Asks for the index slot a text of this hash starts its lookup at (a hint; nothing changes).
void PrefetchTextSlot(const TextStore* store, uint64_t hash);
// The id of a text already stored, or false when there is none. (On a store opened from a file
// and not interned into since, texts past the index are compared one by one.)
bool FindStoredText(const TextStore* store, const char16_t* text, size_t length, uint32_t* id);

// Makes room for texts more texts of bytes pool bytes in all (each text's two-byte head counted),
// so that interning them asks for no memory. False when memory is refused or the room would pass
// the store's bounds; what grew stays grown.
bool ReserveTextRoom(TextStore* store, uint32_t texts, uint64_t bytes);

// ReserveTextRoom for the entries and the pool only, for a caller that knows about how much a run
// of interning will store (rows read from a file): both fill front to back, so room not used
// yet costs no memory, where the index would be touched all over. A hint: false when memory is
// refused or the room would pass the store's bounds, and nothing changed then.
bool ReserveTextPool(TextStore* store, uint32_t texts, uint64_t bytes);

// ReserveTextPool's counterpart for the index: room for texts more texts, made at once rather
// than a doubling at a time (each doubling moves every text's slot into fresh memory). The slots
// are spread over the whole index, so room reserved and not used still costs the pages the texts
// that do come land on. A hint: false when memory is refused, the room would pass the store's
// bounds or the store's index is not yet built (a store opened from a file), and nothing changed.
bool ReserveTextIndex(TextStore* store, uint32_t texts);

// The pool as a block (the compact session's text table): its bytes and their number.
const uint8_t* TextPool(const TextStore* store, uint64_t* bytes);
// Opening a saved pool into an empty store: TextPoolRoom gives room for bytes bytes (null when
// the bytes pass the store's bound or memory is refused); the caller fills it, then
// OpenTextPool reads texts - 1 texts from it. False when the room does not hold exactly that many
// well-formed texts (each of at least one unit, none running past the end): *bad is then the
// first id that is not, or texts when bytes are left over, and the store is empty again.
uint8_t* TextPoolRoom(TextStore* store, uint64_t bytes);
bool OpenTextPool(TextStore* store, uint32_t texts, uint32_t* bad);
// OpenTextPool in steps, so that a pool read in pieces is taken in while each piece is still in
// the cache: BeginTextPool sets room for texts ids (false, *bad as above, for a count the room
// cannot hold); the caller fills the room front to back and, after each piece, IndexTextPool
// takes the texts that lie whole within the first filled bytes (TextCount tells how many ids are
// in by then). The call with filled at the room's size ends the open. A false return sets *bad
// as OpenTextPool does (0 when memory was refused) and leaves the store, pool included, to the
// caller to free: the rest of the room may still be being filled.
bool BeginTextPool(TextStore* store, uint32_t texts, uint32_t* bad);
bool IndexTextPool(TextStore* store, uint64_t filled, uint32_t* bad);
// IndexTextPool that also calls take(id, entry) for each text as it is indexed, while its bytes
// are still in the cache: a caller that checks every text then reads the pool once, and its work
// on one text overlaps the reading of the next text's head.
template <typename Take>
bool IndexTextPoolTaking(TextStore* store, uint64_t filled, uint32_t* bad, Take take);

// Texts in the store, the empty text counted (at least 1).
uint32_t TextCount(const TextStore* store);
// Bytes the store holds in memory: its pool, its entries and its index.
uint64_t TextStoreBytes(const TextStore* store);

// The text of an id; the empty text for id 0 and for an id not in the store.
// Inline: every line an export writes looks up each of its row's texts.
inline TextView TextOfId(const TextStore* store, uint32_t id) {
    if (id == 0 || id >= store->count) return TextView{nullptr, 0, false};
    const TextStoreEntry& e = store->entries[id];
    return TextView{store->pool + e.offset, e.head & ~kTextStoreWide,
                    (e.head & kTextStoreWide) != 0};
}
inline bool TextIdValid(const TextStore* store, uint32_t id) {
    return id == 0 || id < store->count;
}
// Unit i of a view (i < view.length). Inline: the searches read every unit of a text this way.
inline char16_t TextUnitAt(TextView view, uint32_t i) {
    if (!view.wide) return view.data[i];
    // A wide unit lies little-endian at any address. Put together from its bytes (one load when
    // optimised) rather than copied: a sanitizer's build calls its memcpy for each unit.
    const uint8_t* at = view.data + size_t{i} * 2;
    return static_cast<char16_t>(at[0] | (at[1] << 8));
}
// Writes the view's units to out (room for at least view.length units), no terminator.
void CopyTextUnits(TextView view, char16_t* out);
// Whether the view holds exactly the length units of text.
bool TextViewEquals(TextView view, const char16_t* text, size_t length);

template <typename Take>
bool IndexTextPoolTaking(TextStore* store, uint64_t filled, uint32_t* bad, Take take) {
    *bad = 0;
    const uint64_t bytes = store->poolUsed;
    const bool whole = filled >= bytes;
    if (whole) filled = bytes;
    const uint32_t texts = store->capacity;
    const uint8_t* pool = store->pool;
    uint32_t id = store->count;
    uint64_t at = 0;
    if (id > 1) {
        const TextStoreEntry last = store->entries[id - 1];
        at = last.offset +
             uint64_t{last.head & ~kTextStoreWide} * ((last.head & kTextStoreWide) != 0 ? 2 : 1);
    }
    auto refuse = [&](uint32_t which) {
        *bad = which;
        return false;
    };
    for (; id < texts; ++id) {
        uint16_t head = 0;
        if (filled - at < sizeof head) {
            if (whole) return refuse(id);
            break;
        }
        std::memcpy(&head, pool + at, sizeof head);
        uint32_t units = head & static_cast<uint16_t>(~kTextPoolWide);
        uint64_t headBytes = sizeof head;
        if (units == 0) {
            // The long head: the units follow as 32 bits, and only a text the short head cannot
            // say is written so (one way to write each text keeps the pool's bytes one meaning).
            if (filled - at < sizeof head + sizeof units) {
                if (whole) return refuse(id);
                break;
            }
            std::memcpy(&units, pool + at + sizeof head, sizeof units);
            if (units <= kTextPoolShortest || units > kTextStoreLongestText) return refuse(id);
            headBytes += sizeof units;
        }
        // Narrow and wide texts follow one another in no order: shifts, not branches, on wide.
        const uint64_t size = headBytes + (uint64_t{units} << (head >> 15));
        if (filled - at < size) {
            if (whole) return refuse(id);
            break;
        }
        const TextStoreEntry entry{static_cast<uint32_t>(at + headBytes),
                                   units | (static_cast<uint32_t>(head & kTextPoolWide) << 16)};
        store->entries[id] = entry;
        take(id, entry);
        at += size;
    }
    store->count = id;
    // Every text taken: any byte after the last one is too many, seen now or at the end.
    if (id == texts && (at != filled || (whole && at != bytes))) return refuse(texts);
    if (whole && id != texts) return refuse(id);
    return true;
}

} // namespace olv
