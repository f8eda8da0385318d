#include "views/row_sort.h"

#include <bit>
#include <cstring>

#include "base/text.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "views/view_texts.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define OLV_SORT_VECTOR 1
#endif

namespace olv {

namespace {

// One row of a sort: its key of the pass at hand, its slot (the place it had when the sort
// began, which indexes the sort's tables of rows and of text data) and its text's length in
// units, kWideUnits set when the text is two bytes a unit. Entries stay 16 bytes, and the text
// table 8 bytes a row: the first touch of fresh pages is a large part of a sort's time.
struct SortEntry {
    uint64_t key;
    int32_t slot;
    uint32_t units;
};
constexpr uint32_t kWideUnits = 0x80000000u;

// Texts lie apart and come in any order: each pass asks for the line it will read this many
// entries ahead (and for where the text lies twice as far ahead).
constexpr int32_t kReadAhead = 16;
// Runs of equal keys this short are finished by insertion instead of another radix pass.
constexpr int32_t kInsertionRun = 24;

// Category labels in alphabetical order: File, Network, Process, Registry, Unknown.
uint64_t CategoryRank(uint32_t category) {
    switch (category) {
    case kCategoryFile:
        return 0;
    case kCategoryNetwork:
        return 1;
    case kCategoryProcess:
        return 2;
    case kCategoryRegistry:
        return 3;
    default:
        return 4;
    }
}

// The local time as shown, packed so that later times are larger.
uint64_t TimeKey(const SystemTime& t) {
    uint64_t k = t.year;
    k = (k << 4) | (t.month & 15u);
    k = (k << 5) | (t.day & 31u);
    k = (k << 5) | (t.hour & 31u);
    k = (k << 6) | (t.minute & 63u);
    k = (k << 6) | (t.second & 63u);
    k = (k << 10) | (t.milliseconds & 1023u);
    return k;
}

// Texts are TextViews: one byte a unit (narrow) or two, possibly unaligned (wide). A stored text
// ends before its terminator, so it holds no zero unit.
inline size_t UnitBytes(const TextView& t) {
    return t.wide ? 2 : 1;
}

inline char16_t UnitOf(const TextView& t, size_t i) {
    if (!t.wide) return t.data[i];
    // From its bytes, little-endian, as TextUnitAt: no memcpy call in a sanitizer's build.
    const uint8_t* at = t.data + 2 * i;
    return static_cast<char16_t>(at[0] | (at[1] << 8));
}

inline bool SameStoredText(const TextView& a, const TextView& b) {
    return a.data == b.data && a.length == b.length && a.wide == b.wide;
}

// A text key packs the units of a text from some depth on, folded, first-most-significant, so
// that keys compare as the texts do from there. Two kinds:
// - wide: four units of 16 bits; the places at and after the text's end are 0, so a shorter
//   text sorts first.
// - narrow: eight units of 8 bits, for texts mostly in ASCII: a folded unit below 0x80 is
//   itself, the places after the end 0; a unit from 0x80 on is 0xFF and ends the key (the bytes
//   after it are 0). Keys that differ order their texts rightly: up to the first differing byte
//   both hold the same ASCII units, and there an ended text (0) comes before any unit, and a unit
//   from 0x80 on (0xFF) after any ASCII one. Keys that are equal say the texts agree up to the
//   first 0xFF or 0, or on all eight units.
// Every pass takes narrow keys where it can, twice the units of a wide key: short texts
// (operations, process names) mostly end within the first key, and texts that differ in running
// numbers are mostly told apart in one pass after their shared beginning. Measured against wide
// keys for the first pass: the same for paths, 10 to 25 % less time for operations and processes.
enum KeyKind { kWideKey, kNarrowKey };
constexpr size_t kWideKeyChars = 4;
constexpr size_t kNarrowKeyChars = 8;
constexpr uint64_t kNarrowEscape = 0xFF;
constexpr uint64_t kEveryByte = 0x0101010101010101ull;

uint64_t WideTextKey(const TextView& t, size_t depth) {
    uint64_t key = 0;
    for (size_t n = 0; n < kWideKeyChars; ++n) {
        const size_t i = depth + n;
        key = (key << 16) | (i < t.length ? FoldAscii(UnitOf(t, i)) : 0u);
    }
    return key;
}

// Eight units below 0x80, one a byte, the first in the lowest byte (as a little-endian load puts
// them): the narrow key of them (letters folded, the first unit in the highest byte).
static_assert(std::endian::native == std::endian::little);
inline uint64_t AsciiWordKey(uint64_t w) {
    const uint64_t atLeastA = w + (0x80 - 'A') * kEveryByte; // no carries: every byte < 0x80
    const uint64_t aboveZ = w + (0x80 - 'Z' - 1) * kEveryByte;
    const uint64_t upper = atLeastA & ~aboveZ & (0x80 * kEveryByte);
    w |= upper >> 2; // 0x80 >> 2 is the case bit 0x20
    uint64_t key = 0;
    for (int b = 0; b < 8; ++b) // a byte swap the compiler makes one instruction of
        key = (key << 8) | ((w >> (8 * b)) & 0xFF);
    return key;
}

uint64_t NarrowTextKey(const TextView& t, size_t depth) {
    // Eight units that are all ASCII: read at once (the common case: paths and names).
    if (depth + kNarrowKeyChars <= t.length) {
        uint64_t w = 0;
        bool ascii = false;
        if (!t.wide) {
            std::memcpy(&w, t.data + depth, sizeof w);
            ascii = (w & (0x80 * kEveryByte)) == 0;
        } else {
#if defined(OLV_SORT_VECTOR)
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data + 2 * depth));
            const __m128i high = _mm_and_si128(v, _mm_set1_epi16(static_cast<int16_t>(0xFF80)));
            ascii = _mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) == 0xFFFF;
            if (ascii) _mm_storel_epi64(reinterpret_cast<__m128i*>(&w), _mm_packus_epi16(v, v));
#endif
        }
        if (ascii) return AsciiWordKey(w);
    }
    uint64_t key = 0;
    size_t n = 0;
    for (size_t i = depth; n < kNarrowKeyChars && i < t.length; ++n, ++i) {
        const char16_t c = FoldAscii(UnitOf(t, i));
        if (c >= 0x80) {
            key = (key << 8) | kNarrowEscape;
            ++n;
            break;
        }
        key = (key << 8) | c;
    }
    if (n == 0) return 0;
    return n < kNarrowKeyChars ? key << (8 * (kNarrowKeyChars - n)) : key;
}

uint64_t TextKey(KeyKind kind, const TextView& t, size_t depth) {
    return kind == kWideKey ? WideTextKey(t, depth) : NarrowTextKey(t, depth);
}

// What a key that a run of texts shares says of them: whether the texts ended within it (they
// are equal), else how many units of them it covered and the kind of the next key (after a unit
// from 0x80 on that a narrow key could not hold, a wide key).
struct KeyReach {
    bool ended;
    size_t chars;
    KeyKind next;
};

KeyReach ReachOf(KeyKind kind, uint64_t key) {
    if (kind == kWideKey) return KeyReach{(key & 0xFFFF) == 0, kWideKeyChars, kNarrowKey};
    for (size_t n = 0; n < kNarrowKeyChars; ++n) {
        const uint64_t byte = (key >> (8 * (kNarrowKeyChars - 1 - n))) & 0xFF;
        if (byte == 0) return KeyReach{true, n, kNarrowKey};
        if (byte == kNarrowEscape) return KeyReach{false, n, kWideKey};
    }
    return KeyReach{false, kNarrowKeyChars, kNarrowKey};
}

// The first place in [from, end) at which a and b hold different units (unfolded), else end;
// end is within both texts. Texts sorted side by side mostly agree: units are compared eight at
// a time where both texts have the same width, and one at a time after a difference.
constexpr size_t kPieceChars = 8;

size_t SameUnitsUpTo(const TextView& a, const TextView& b, size_t from, size_t end) {
    size_t i = from;
    if (!a.wide && !b.wide) {
        for (; i + kPieceChars <= end; i += kPieceChars) {
            uint64_t x, y;
            std::memcpy(&x, a.data + i, sizeof x);
            std::memcpy(&y, b.data + i, sizeof y);
            if (x != y) break;
        }
    } else if (a.wide && b.wide) {
#if defined(OLV_SORT_VECTOR)
        for (; i + kPieceChars <= end; i += kPieceChars) {
            const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a.data + 2 * i));
            const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.data + 2 * i));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(va, vb)) != 0xFFFF) break;
        }
#endif
    }
    for (; i < end; ++i) {
        if (UnitOf(a, i) != UnitOf(b, i)) return i;
    }
    return end;
}

// Compares two texts from depth on, folded: <0, 0 or >0 (a text that ends first comes first).
int CompareTextFrom(const TextView& a, const TextView& b, size_t depth) {
    if (SameStoredText(a, b)) return 0;
    const size_t common = a.length < b.length ? a.length : b.length;
    for (size_t i = depth; i < common; ++i) {
        i = SameUnitsUpTo(a, b, i, common);
        if (i == common) break;
        const char16_t ca = FoldAscii(UnitOf(a, i));
        const char16_t cb = FoldAscii(UnitOf(b, i));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return a.length < b.length ? -1 : (a.length > b.length ? 1 : 0);
}

// How many units of b from `from` on equal a's, folded, counting at most to `limit` (at most
// a's length) and to b's end.
size_t FoldedSameUpTo(const TextView& a, const TextView& b, size_t from, size_t limit) {
    const size_t end = limit < b.length ? limit : b.length;
    if (SameStoredText(a, b)) return end > from ? end - from : 0;
    size_t i = from;
    for (; i < end; ++i) {
        i = SameUnitsUpTo(a, b, i, end);
        if (i == end) break;
        if (FoldAscii(UnitOf(a, i)) != FoldAscii(UnitOf(b, i))) break;
    }
    return i - from;
}

int CompareNumbers(uint64_t a, uint64_t b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareStoredTexts(const Recording* app, int32_t a, int32_t b, RowText which) {
    return CompareTextFrom(StoredText(app, a, which), StoredText(app, b, which), 0);
}

// Stable LSD radix sort of entries by key, 8 bits a pass; a pass in which every key has the same
// byte is skipped. The result is in entries.
void RadixSort(SortEntry* entries, SortEntry* spare, int32_t count) {
    if (count < 2) return;
    uint32_t counts[8][256] = {};
    for (int32_t i = 0; i < count; ++i) {
        const uint64_t k = entries[i].key;
        for (int d = 0; d < 8; ++d)
            ++counts[d][(k >> (8 * d)) & 255];
    }
    SortEntry* from = entries;
    SortEntry* to = spare;
    for (int d = 0; d < 8; ++d) {
        uint32_t* c = counts[d];
        bool oneBucket = false;
        for (int b = 0; b < 256; ++b) {
            if (c[b] == static_cast<uint32_t>(count)) oneBucket = true;
            if (c[b] != 0) break;
        }
        if (oneBucket) continue;
        uint32_t sum = 0;
        for (int b = 0; b < 256; ++b) {
            const uint32_t n = c[b];
            c[b] = sum;
            sum += n;
        }
        for (int32_t i = 0; i < count; ++i)
            to[c[(from[i].key >> (8 * d)) & 255]++] = from[i];
        SortEntry* t = from;
        from = to;
        to = t;
    }
    if (from != entries) std::memcpy(entries, from, static_cast<size_t>(count) * sizeof(SortEntry));
}

// The keys of a numeric column.
uint64_t NumericKey(const Recording* app, int32_t row, int column) {
    switch (column) {
    case kColumnTime:
        return TimeKey(StoredTime(app, row));
    case kColumnSeverity:
        return StoredSeverity(app, row);
    case kColumnProcess:
        return StoredPid(app, row);
    case kColumnCategory:
        return CategoryRank(StoredCategory(app, row));
    default:
        return 0;
    }
}

void SortByNumber(const Recording* app, const int32_t* rowOfSlot, SortEntry* entries,
                  SortEntry* spare, int32_t count, int column, bool descending) {
    for (int32_t i = 0; i < count; ++i) {
        if (i + kReadAhead < count) PrefetchStoredRow(app, rowOfSlot[entries[i + kReadAhead].slot]);
        const uint64_t key = NumericKey(app, rowOfSlot[entries[i].slot], column);
        entries[i].key = descending ? ~key : key;
    }
    RadixSort(entries, spare, count);
}

// A sort of entries by their texts: data[slot] and the entry's units. Rows whose texts are
// equal keep their order, or, with tieStore, are ordered by their detail texts in that store
// (the path column's second text); rowOfSlot gives their rows there.
struct TextSort {
    const uint8_t** data;
    const int32_t* rowOfSlot;
    SortEntry* spare;
    bool descending;
    const Recording* tieStore;
};

inline TextView TextOfEntry(const TextSort* s, const SortEntry& e) {
    return TextView{s->data[e.slot], e.units & ~kWideUnits, (e.units & kWideUnits) != 0};
}

inline void SetTextOfEntry(const TextSort* s, SortEntry* e, const TextView& text) {
    s->data[e->slot] = text.data;
    e->units = (text.length & ~kWideUnits) | (text.wide ? kWideUnits : 0);
}

inline void ReadAheadText(const TextSort* s, const SortEntry* entries, int32_t i, int32_t count,
                          size_t depth) {
    if (i + 2 * kReadAhead < count) __builtin_prefetch(&s->data[entries[i + 2 * kReadAhead].slot]);
    if (i + kReadAhead < count) {
        const TextView ahead = TextOfEntry(s, entries[i + kReadAhead]);
        if (depth < ahead.length) __builtin_prefetch(ahead.data + depth * UnitBytes(ahead));
    }
}

void FillTextKeys(const TextSort* s, SortEntry* entries, int32_t count, size_t depth,
                  KeyKind kind) {
    for (int32_t i = 0; i < count; ++i) {
        ReadAheadText(s, entries, i, count, depth);
        const uint64_t key = TextKey(kind, TextOfEntry(s, entries[i]), depth);
        entries[i].key = s->descending ? ~key : key;
    }
}

// Stable insertion sort of a short run whose texts agree before depth.
void InsertionSortText(const TextSort* s, SortEntry* entries, int32_t count, size_t depth) {
    for (int32_t i = 1; i < count; ++i) {
        const SortEntry moving = entries[i];
        const TextView text = TextOfEntry(s, moving);
        int32_t j = i;
        while (j > 0) {
            int c = CompareTextFrom(TextOfEntry(s, entries[j - 1]), text, depth);
            if (c == 0 && s->tieStore != nullptr) {
                c = CompareStoredTexts(s->tieStore, s->rowOfSlot[entries[j - 1].slot],
                                       s->rowOfSlot[moving.slot], kTextDetail);
            }
            if (s->descending) c = -c;
            if (c <= 0) break;
            entries[j] = entries[j - 1];
            --j;
        }
        entries[j] = moving;
    }
}

// How many units from depth on every text of the run shares with the first (folded), as far as
// a sample of at most kSharedSample texts spread over the run tells: at least the true figure,
// and mostly equal to it (a run's texts that agree on a beginning do so throughout). Paths share
// long beginnings; the sample lets one pass both check the shared beginning of every text and
// take the keys after it (FillTextKeysAfterShared).
constexpr int32_t kSharedSample = 32;

size_t SampledSharedFrom(const TextSort* s, const SortEntry* entries, int32_t count, size_t depth) {
    const TextView first = TextOfEntry(s, entries[0]);
    if (depth >= first.length) return 0;
    size_t shared = first.length - depth;
    const int32_t step = count / kSharedSample > 0 ? count / kSharedSample : 1;
    for (int32_t i = step; i < count && shared > 0; i += step)
        shared = FoldedSameUpTo(first, TextOfEntry(s, entries[i]), depth, depth + shared);
    return FoldedSameUpTo(first, TextOfEntry(s, entries[count - 1]), depth, depth + shared);
}

// The keys of the run at depth + shared, while checking that every text agrees with the first
// on the `shared` units before them. Returns how many every text does agree on: `shared` when
// the sample was right (the keys are then the run's keys), fewer when it was not (the keys must
// be taken again from there).
size_t FillTextKeysAfterShared(const TextSort* s, SortEntry* entries, int32_t count, size_t depth,
                               size_t shared, KeyKind kind) {
    const TextView first = TextOfEntry(s, entries[0]);
    const size_t at = depth + shared;
    for (int32_t i = 0; i < count; ++i) {
        ReadAheadText(s, entries, i, count, depth);
        if (i + kReadAhead < count) {
            const TextView ahead = TextOfEntry(s, entries[i + kReadAhead]);
            if (at < ahead.length) __builtin_prefetch(ahead.data + at * UnitBytes(ahead));
        }
        const TextView text = TextOfEntry(s, entries[i]);
        if (shared > 0) shared = FoldedSameUpTo(first, text, depth, depth + shared);
        const uint64_t key = TextKey(kind, text, at);
        entries[i].key = s->descending ? ~key : key;
    }
    return shared;
}

void SortByTieTexts(const TextSort* s, SortEntry* entries, int32_t count);

// entries hold keys of the kind at depth, sorted: every run of equal keys whose texts go on is
// sorted by the next units, recursively (at most two levels per four units of the text: a
// narrow key may end at its first unit, and the wide key after it takes four).
void RefineRuns(const TextSort* s, SortEntry* entries, int32_t count, size_t depth, KeyKind kind) {
    int32_t begin = 0;
    while (begin < count) {
        int32_t end = begin + 1;
        while (end < count && entries[end].key == entries[begin].key)
            ++end;
        const int32_t run = end - begin;
        const KeyReach reach =
            ReachOf(kind, s->descending ? ~entries[begin].key : entries[begin].key);
        if (run > 1 && reach.ended) {
            // The texts ended within the key: they are equal, and only the tie-break (if any)
            // orders them.
            if (s->tieStore != nullptr) SortByTieTexts(s, entries + begin, run);
        } else if (run > 1) {
            const size_t from = depth + reach.chars;
            if (run <= kInsertionRun) {
                InsertionSortText(s, entries + begin, run, from);
            } else {
                const size_t guess = SampledSharedFrom(s, entries + begin, run, from);
                const size_t shared =
                    FillTextKeysAfterShared(s, entries + begin, run, from, guess, reach.next);
                const size_t next = from + shared;
                if (shared != guess) FillTextKeys(s, entries + begin, run, next, reach.next);
                RadixSort(entries + begin, s->spare, run);
                RefineRuns(s, entries + begin, run, next, reach.next);
            }
        }
        begin = end;
    }
}

// Sorts entries whose texts are in place by them, from the first unit.
void SortByTexts(const TextSort* s, SortEntry* entries, int32_t count) {
    FillTextKeys(s, entries, count, 0, kNarrowKey);
    RadixSort(entries, s->spare, count);
    RefineRuns(s, entries, count, 0, kNarrowKey);
}

// A run of rows with equal texts: their texts are done with, so their slots take the rows'
// detail texts, which then order the run.
void SortByTieTexts(const TextSort* s, SortEntry* entries, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const int32_t row = s->rowOfSlot[entries[i].slot];
        SetTextOfEntry(s, &entries[i], StoredText(s->tieStore, row, kTextDetail));
    }
    const TextSort tie{s->data, s->rowOfSlot, s->spare, s->descending, nullptr};
    SortByTexts(&tie, entries, count);
}

// Sorts entries by a stored text of their rows; data has room for their slots.
void SortByStoredText(const Recording* app, const int32_t* rowOfSlot, SortEntry* entries,
                      SortEntry* spare, const uint8_t** data, int32_t count, RowText field,
                      bool descending, bool detailBreaksTies) {
    const TextSort s{data, rowOfSlot, spare, descending, detailBreaksTies ? app : nullptr};
    for (int32_t i = 0; i < count; ++i) {
        if (i + kReadAhead < count) {
            PrefetchStoredText(app, rowOfSlot[entries[i + kReadAhead].slot], field);
        }
        SetTextOfEntry(&s, &entries[i], StoredText(app, rowOfSlot[entries[i].slot], field));
    }
    SortByTexts(&s, entries, count);
}

// Writes out[i] = from[entries[i].slot] through room (count values), so out may be from.
void WriteRowsOfSlots(const SortEntry* entries, int32_t count, const int32_t* from, int32_t* room,
                      int32_t* out) {
    for (int32_t i = 0; i < count; ++i)
        room[i] = from[entries[i].slot];
    std::memcpy(out, room, static_cast<size_t>(count) * sizeof(int32_t));
}

// Ascending row indexes, in place, without memory of its own (heap sort of 32-bit values is
// slower than the radix sort, but this runs only when memory was refused).
void SortIndexesAscending(int32_t* indexes, int32_t count) {
    auto siftDown = [indexes](int32_t at, int32_t size) {
        for (;;) {
            int32_t child = 2 * at + 1;
            if (child >= size) return;
            if (child + 1 < size && indexes[child + 1] > indexes[child]) ++child;
            if (indexes[at] >= indexes[child]) return;
            const int32_t t = indexes[at];
            indexes[at] = indexes[child];
            indexes[child] = t;
            at = child;
        }
    };
    for (int32_t i = count / 2 - 1; i >= 0; --i)
        siftDown(i, count);
    for (int32_t end = count - 1; end > 0; --end) {
        const int32_t t = indexes[0];
        indexes[0] = indexes[end];
        indexes[end] = t;
        siftDown(0, end);
    }
}

bool IsAscending(const int32_t* indexes, int32_t count) {
    for (int32_t i = 1; i < count; ++i) {
        if (indexes[i - 1] > indexes[i]) return false;
    }
    return true;
}

int SortColumnOf(const Recording* app) {
    return app->view.sortBy == kSortRecordingOrder ? -1 : app->view.sortBy - 1;
}

} // namespace

int CompareTextViews(TextView a, TextView b) {
    return CompareTextFrom(a, b, 0);
}

int CompareRowsForColumn(const Recording* app, int32_t a, int32_t b, int column, bool descending) {
    int c = 0;
    switch (column) {
    case kColumnTime:
    case kColumnSeverity:
    case kColumnCategory:
        c = CompareNumbers(NumericKey(app, a, column), NumericKey(app, b, column));
        break;
    case kColumnProcess:
        // The cell shows the pid first, so the numbers the user reads run in order.
        c = CompareNumbers(StoredPid(app, a), StoredPid(app, b));
        if (c == 0) c = CompareStoredTexts(app, a, b, kTextProcess);
        break;
    case kColumnOperation:
        c = CompareStoredTexts(app, a, b, kTextOperation);
        break;
    case kColumnPath:
        c = CompareStoredTexts(app, a, b, kTextPath);
        if (c == 0) c = CompareStoredTexts(app, a, b, kTextDetail);
        break;
    case kColumnResult:
        c = CompareStoredTexts(app, a, b, kTextResult);
        break;
    default:
        break;
    }
    if (descending) c = -c;
    if (c != 0) return c;
    return a < b ? -1 : (a > b ? 1 : 0);
}

bool SortRowIndexes(const Recording* app, int32_t* indexes, int32_t count, int column,
                    bool descending) {
    if (column < 0 || column >= kSortableColumns) return false;
    if (count < 2) return true;
    const bool byText = column == kColumnProcess || column == kColumnOperation ||
                        column == kColumnPath || column == kColumnResult;
    const size_t bytes = static_cast<size_t>(count) * sizeof(SortEntry);
    SortEntry* entries = static_cast<SortEntry*>(AllocZeroed(bytes));
    void* spareBlock = AllocZeroed(bytes);
    const uint8_t** data =
        byText
            ? static_cast<const uint8_t**>(AllocZeroed(static_cast<size_t>(count) * sizeof(void*)))
            : nullptr;
    if (entries == nullptr || spareBlock == nullptr || (byText && data == nullptr)) {
        FreeBlock(entries);
        FreeBlock(spareBlock);
        FreeBlock(data);
        return false;
    }
    SortEntry* spare = static_cast<SortEntry*>(spareBlock);
    int32_t* room = static_cast<int32_t*>(spareBlock); // between passes only
    for (int32_t i = 0; i < count; ++i)
        entries[i].slot = i;
    // Equal rows keep the order they come in, so they must come in recording order: indexes
    // are put in it, and from then on say the row of each slot.
    if (!IsAscending(indexes, count)) {
        for (int32_t i = 0; i < count; ++i)
            entries[i].key = static_cast<uint32_t>(indexes[i]);
        RadixSort(entries, spare, count);
        WriteRowsOfSlots(entries, count, indexes, room, indexes);
        for (int32_t i = 0; i < count; ++i)
            entries[i].slot = i;
    }
    const int32_t* rows = indexes;
    // A second key orders only the runs that the first leaves equal.
    switch (column) {
    case kColumnProcess:
        // Least significant key first: both passes are stable, so the pid orders and the name
        // decides among rows of one pid.
        SortByStoredText(app, rows, entries, spare, data, count, kTextProcess, descending, false);
        SortByNumber(app, rows, entries, spare, count, kColumnProcess, descending);
        break;
    case kColumnOperation:
        SortByStoredText(app, rows, entries, spare, data, count, kTextOperation, descending, false);
        break;
    case kColumnPath:
        SortByStoredText(app, rows, entries, spare, data, count, kTextPath, descending, true);
        break;
    case kColumnResult:
        SortByStoredText(app, rows, entries, spare, data, count, kTextResult, descending, false);
        break;
    default:
        SortByNumber(app, rows, entries, spare, count, column, descending);
        break;
    }
    WriteRowsOfSlots(entries, count, indexes, room, indexes);
    FreeBlock(entries);
    FreeBlock(spareBlock);
    FreeBlock(data);
    return true;
}

bool SortTextViews(const TextView* texts, int32_t* order, int32_t count, bool descending) {
    if (count < 2) return true;
    const size_t bytes = static_cast<size_t>(count) * sizeof(SortEntry);
    SortEntry* entries = static_cast<SortEntry*>(AllocZeroed(bytes));
    void* spareBlock = AllocZeroed(bytes);
    const uint8_t** data =
        static_cast<const uint8_t**>(AllocZeroed(static_cast<size_t>(count) * sizeof(void*)));
    if (entries == nullptr || spareBlock == nullptr || data == nullptr) {
        FreeBlock(entries);
        FreeBlock(spareBlock);
        FreeBlock(data);
        return false;
    }
    const TextSort s{data, order, static_cast<SortEntry*>(spareBlock), descending, nullptr};
    for (int32_t i = 0; i < count; ++i) {
        entries[i].slot = i;
        SetTextOfEntry(&s, &entries[i], texts[order[i]]);
    }
    SortByTexts(&s, entries, count);
    WriteRowsOfSlots(entries, count, order, static_cast<int32_t*>(spareBlock), order);
    FreeBlock(entries);
    FreeBlock(spareBlock);
    FreeBlock(data);
    return true;
}

bool ApplyShownOrder(Recording* app) {
    if (app->shownRows == nullptr || app->shownCount < 2) return true;
    const int column = SortColumnOf(app);
    if (column >= 0 && SortRowIndexes(app, app->shownRows, app->shownCount, column,
                                      app->view.sortDescending != 0)) {
        return true;
    }
    if (!IsAscending(app->shownRows, app->shownCount)) {
        // Back to recording order without memory of its own.
        SortIndexesAscending(app->shownRows, app->shownCount);
    }
    if (column < 0) return true;
    app->view.sortBy = kSortRecordingOrder;
    app->view.sortDescending = 0;
    return false;
}

void PlaceArrivedShownRows(Recording* app, int32_t from) {
    const int column = SortColumnOf(app);
    if (column < 0 || app->shownRows == nullptr || from < 0 || from >= app->shownCount) return;
    const int32_t arrived = app->shownCount - from;
    const bool descending = app->view.sortDescending != 0;
    int32_t* fresh = static_cast<int32_t*>(AllocZeroed(static_cast<size_t>(arrived) * 4));
    if (fresh == nullptr ||
        !SortRowIndexes(app, app->shownRows + from, arrived, column, descending)) {
        FreeBlock(fresh);
        ApplyShownOrder(app); // sorts all, or falls back to recording order
        return;
    }
    std::memcpy(fresh, app->shownRows + from, static_cast<size_t>(arrived) * 4);
    // From the back: each arrived row goes after every older row it does not come before (its
    // index is larger than theirs, so equal rows stay in recording order). The arrivals are in
    // order, so each lands at or before the place of the one after it: the search gallops back
    // from there (steps of 1, 2, 4, ...) and then halves, taking about twice the logarithm of
    // the distance rather than of the whole list, each step a comparison of two stored rows.
    int32_t* shown = app->shownRows;
    int32_t older = from;
    for (int32_t k = arrived - 1; k >= 0; --k) {
        const int32_t row = fresh[k];
        int32_t lo = 0, hi = older; // first older item that comes after row, in [lo, hi]
        for (int64_t step = 1;; step *= 2) {
            if (step > older) break;
            const int32_t probe = static_cast<int32_t>(older - step);
            if (CompareRowsForColumn(app, shown[probe], row, column, descending) < 0) {
                lo = probe + 1;
                break;
            }
            hi = probe;
        }
        while (lo < hi) {
            const int32_t mid = lo + (hi - lo) / 2;
            if (CompareRowsForColumn(app, shown[mid], row, column, descending) < 0) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        const int32_t moved = older - lo;
        if (moved > 0) {
            std::memmove(shown + lo + k + 1, shown + lo, static_cast<size_t>(moved) * 4);
        }
        shown[lo + k] = row;
        older = lo;
    }
    FreeBlock(fresh);
}

int32_t SortByColumnClick(Recording* app, int column, int32_t focusedItem) {
    if (column < 0 || column >= kSortableColumns) return focusedItem;
    EnterLock(&app->rowsLock);
    int32_t focusedRow = -1;
    if (focusedItem >= 0 && focusedItem < app->shownCount) {
        focusedRow = app->shownRows[focusedItem];
    }
    const uint8_t clicked = static_cast<uint8_t>(column + 1);
    if (app->view.sortBy != clicked) {
        app->view.sortBy = clicked;
        app->view.sortDescending = 0;
    } else if (app->view.sortDescending == 0) {
        app->view.sortDescending = 1;
    } else {
        app->view.sortBy = kSortRecordingOrder;
        app->view.sortDescending = 0;
    }
    ApplyShownOrder(app);
    LeaveLock(&app->rowsLock);
    const int32_t item = focusedRow >= 0 ? ShownItemOfRow(app, focusedRow) : -1;
    ShowSortArrow(app);
    MarkRepaint(&app->changes, kRepaintItems);
    if (item >= 0) MarkSelect(&app->changes, kSelectFocused, item);
    UpdateStatusBar(app);
    return item;
}

int SortedColumn(const Recording* app) {
    return SortColumnOf(app);
}

int SortArrowOfColumn(const Recording* app, int column) {
    if (SortColumnOf(app) != column || column < 0) return 0;
    return app->view.sortDescending != 0 ? -1 : 1;
}

void ShowSortArrow(Recording* app) {
    app->changes.sortArrowChanged = 1;
}

int32_t ShownItemOfRow(Recording* app, int32_t rowIndex) {
    LockGuard guard(&app->rowsLock);
    if (rowIndex < 0 || app->shownRows == nullptr) return -1;
    for (int32_t i = 0; i < app->shownCount; ++i) {
        if (app->shownRows[i] == rowIndex) return i;
    }
    return -1;
}

const char16_t* ListColumnHeading(int column) {
    static const char16_t* const kHeadings[kSortableColumns] = {
        u"Time", u"Severity", u"PID", u"Category", u"Operation", u"Path / Detail", u"Result"};
    return column >= 0 && column < kSortableColumns ? kHeadings[column] : u"";
}

void DescribeShownOrder(const Recording* app, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    const int column = SortColumnOf(app);
    if (column < 0) return;
    AppendBounded(out, capacity, u"sorted by ");
    AppendBounded(out, capacity, ListColumnHeading(column));
    AppendBounded(out, capacity, app->view.sortDescending != 0 ? u", descending" : u", ascending");
}

} // namespace olv
