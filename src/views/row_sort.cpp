#include "views/row_sort.h"

#include <cstring>

#include "base/text.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "views/view_texts.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define OLV_SORT_VECTOR 1
#endif

namespace olv {

namespace {

// One row of a sort: its key of the pass at hand and its index.
struct SortEntry {
    uint64_t key;
    int32_t row;
    int32_t unused;
};

// Rows are 3256 bytes apart and come in any order: each pass asks for the line it will read
// this many entries ahead.
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

// A text field of a row, by the sort's text kinds.
enum TextField { kTextProcess, kTextOperation, kTextPath, kTextDetail, kTextResult };

const char16_t* FieldOf(const EventRow* row, TextField field, size_t* chars) {
    switch (field) {
    case kTextProcess:
        *chars = kProcessChars;
        return row->process;
    case kTextOperation:
        *chars = kOperationChars;
        return row->operation;
    case kTextPath:
        *chars = kPathChars;
        return row->path;
    case kTextDetail:
        *chars = kDetailChars;
        return row->detail;
    case kTextResult:
        *chars = kResultChars;
        return row->result;
    }
    *chars = 0;
    return nullptr;
}

// A text key packs the characters of a text from some depth on, folded, first-most-significant,
// so that keys compare as the texts do from there. Two kinds:
// - wide: four characters of 16 bits; characters at and after the terminator (or the field's end)
//   are 0, so a shorter text sorts first.
// - narrow: eight characters of 8 bits, for texts mostly in ASCII: a folded character below 0x80
//   is itself, the terminator (and what follows it) 0; a character from 0x80 on is 0xFF and ends
//   the key (the bytes after it are 0). Keys that differ order their texts rightly: up to the
//   first differing byte both hold the same ASCII characters, and there an ended text (0) comes
//   before any character, and a character from 0x80 on (0xFF) after any ASCII one. Keys that are
//   equal say the texts agree up to the first 0xFF or 0, or on all eight characters.
// Every pass takes narrow keys where it can, twice the characters of a wide key: short texts
// (operations, process names) mostly end within the first key, and texts that differ in running
// numbers are mostly told apart in one pass after their shared beginning. Measured against wide
// keys for the first pass: the same for paths, 10 to 25 % less time for operations and processes.
enum KeyKind { kWideKey, kNarrowKey };
constexpr size_t kWideKeyChars = 4;
constexpr size_t kNarrowKeyChars = 8;
constexpr uint64_t kNarrowEscape = 0xFF;

uint64_t WideTextKey(const char16_t* text, size_t chars, size_t depth) {
    uint64_t key = 0;
    size_t i = depth;
    bool ended = depth >= chars;
    for (size_t n = 0; n < kWideKeyChars; ++n) {
        uint64_t c = 0;
        if (!ended) {
            if (i >= chars || text[i] == 0) {
                ended = true;
            } else {
                c = FoldAscii(text[i]);
                ++i;
            }
        }
        key = (key << 16) | c;
    }
    return key;
}

uint64_t NarrowTextKey(const char16_t* text, size_t chars, size_t depth) {
    uint64_t key = 0;
    size_t n = 0;
    for (size_t i = depth; n < kNarrowKeyChars && i < chars && text[i] != 0; ++n, ++i) {
        const char16_t c = FoldAscii(text[i]);
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

uint64_t TextKey(KeyKind kind, const char16_t* text, size_t chars, size_t depth) {
    return kind == kWideKey ? WideTextKey(text, chars, depth) : NarrowTextKey(text, chars, depth);
}

// What a key that a run of texts shares says of them: whether the texts ended within it (they
// are equal), else how many characters of them it covered and the kind of the next key (after a
// character from 0x80 on that a narrow key could not hold, a wide key).
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

// Texts are compared eight characters at a time where that stays inside the field: a piece
// whose characters are all the same, none of them a terminator, is passed over at once (texts
// sorted side by side mostly agree); any other piece is looked at one character at a time.
// Every text field holds a whole number of such pieces, but a comparison may start anywhere.
constexpr size_t kPieceChars = 8;
static_assert(kProcessChars % kPieceChars == 0 && kOperationChars % kPieceChars == 0 &&
              kPathChars % kPieceChars == 0 && kDetailChars % kPieceChars == 0 &&
              kResultChars % kPieceChars == 0);

// Whether a[i..i+8) and b[i..i+8) are the same units and none of them is a terminator.
inline bool SamePiece(const char16_t* a, const char16_t* b, size_t i) {
#if defined(OLV_SORT_VECTOR)
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const __m128i differ = _mm_xor_si128(_mm_cmpeq_epi16(va, vb), _mm_set1_epi16(-1));
    const __m128i ends = _mm_cmpeq_epi16(va, _mm_setzero_si128());
    return _mm_movemask_epi8(_mm_or_si128(differ, ends)) == 0;
#else
    for (size_t j = i; j < i + kPieceChars; ++j) {
        if (a[j] != b[j] || a[j] == 0) return false;
    }
    return true;
#endif
}

// Compares two texts from depth on, folded: <0, 0 or >0.
int CompareTextFrom(const char16_t* a, const char16_t* b, size_t chars, size_t depth) {
    size_t i = depth;
    while (i < chars) {
        if (i + kPieceChars <= chars && SamePiece(a, b, i)) {
            i += kPieceChars;
            continue;
        }
        const size_t end = i + kPieceChars <= chars ? i + kPieceChars : chars;
        for (; i < end; ++i) {
            const char16_t ca = FoldAscii(a[i]);
            const char16_t cb = FoldAscii(b[i]);
            if (ca != cb) return ca < cb ? -1 : 1;
            if (ca == 0) return 0;
        }
    }
    return 0;
}

// How many characters of b from `from` on equal a's, folded, counting at most to `limit` (at
// most chars). A terminator is counted like any character: callers limit the count to a's text.
size_t FoldedSameUpTo(const char16_t* a, const char16_t* b, size_t from, size_t limit) {
    size_t i = from;
    while (i < limit) {
        if (i + kPieceChars <= limit && SamePiece(a, b, i)) {
            i += kPieceChars;
            continue;
        }
        const size_t end = i + kPieceChars <= limit ? i + kPieceChars : limit;
        for (; i < end; ++i) {
            if (FoldAscii(a[i]) != FoldAscii(b[i])) return i - from;
        }
    }
    return limit - from;
}

int CompareNumbers(uint64_t a, uint64_t b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareField(const EventRow* ra, const EventRow* rb, TextField field) {
    size_t chars = 0;
    const char16_t* a = FieldOf(ra, field, &chars);
    const char16_t* b = FieldOf(rb, field, &chars);
    return CompareTextFrom(a, b, chars, 0);
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
uint64_t NumericKey(const EventRow* row, int column) {
    switch (column) {
    case kColumnTime:
        return TimeKey(row->time);
    case kColumnSeverity:
        return row->severity;
    case kColumnProcess:
        return row->pid;
    case kColumnCategory:
        return CategoryRank(row->category);
    default:
        return 0;
    }
}

void SortByNumber(const EventRow* rows, SortEntry* entries, SortEntry* spare, int32_t count,
                  int column, bool descending) {
    for (int32_t i = 0; i < count; ++i) {
        if (i + kReadAhead < count) __builtin_prefetch(&rows[entries[i + kReadAhead].row].time);
        const uint64_t key = NumericKey(&rows[entries[i].row], column);
        entries[i].key = descending ? ~key : key;
    }
    RadixSort(entries, spare, count);
}

// What decides between rows whose texts are equal: nothing (their order stays) or another text.
enum TieBreak { kTieNone, kTieDetail };

struct TextSort {
    const EventRow* rows;
    SortEntry* spare;
    TextField field;
    bool descending;
    TieBreak tie;
};

void SortByText(const EventRow* rows, SortEntry* entries, SortEntry* spare, int32_t count,
                TextField field, bool descending, TieBreak tie);

void FillTextKeys(const TextSort* s, SortEntry* entries, int32_t count, size_t depth,
                  KeyKind kind) {
    size_t chars = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (i + kReadAhead < count) {
            const char16_t* ahead =
                FieldOf(&s->rows[entries[i + kReadAhead].row], s->field, &chars);
            if (depth < chars) __builtin_prefetch(ahead + depth);
        }
        const char16_t* text = FieldOf(&s->rows[entries[i].row], s->field, &chars);
        const uint64_t key = TextKey(kind, text, chars, depth);
        entries[i].key = s->descending ? ~key : key;
    }
}

// Stable insertion sort of a short run whose texts agree before depth.
void InsertionSortText(const TextSort* s, SortEntry* entries, int32_t count, size_t depth) {
    size_t chars = 0;
    for (int32_t i = 1; i < count; ++i) {
        const SortEntry moving = entries[i];
        const char16_t* text = FieldOf(&s->rows[moving.row], s->field, &chars);
        int32_t j = i;
        while (j > 0) {
            const char16_t* before = FieldOf(&s->rows[entries[j - 1].row], s->field, &chars);
            int c = CompareTextFrom(before, text, chars, depth);
            if (c == 0 && s->tie != kTieNone) {
                const EventRow* rb = &s->rows[entries[j - 1].row];
                const EventRow* rm = &s->rows[moving.row];
                c = CompareField(rb, rm, kTextDetail);
            }
            if (s->descending) c = -c;
            if (c <= 0) break;
            entries[j] = entries[j - 1];
            --j;
        }
        entries[j] = moving;
    }
}

// The characters of the first text of the run from depth to its terminator (or the field's end).
size_t RestOfFirst(const TextSort* s, const SortEntry* entries, size_t depth, size_t* chars) {
    const char16_t* first = FieldOf(&s->rows[entries[0].row], s->field, chars);
    size_t n = 0;
    while (depth + n < *chars && first[depth + n] != 0)
        ++n;
    return n;
}

// How many characters from depth on every text of the run shares with the first (folded; a
// terminator ends the count), as far as a sample of at most kSharedSample texts spread over the
// run tells: at least the true figure, and mostly equal to it (a run's texts that agree on a
// beginning do so throughout). Paths share long beginnings; the sample lets one pass both check
// the shared beginning of every text and take the keys after it (FillTextKeysAfterShared).
constexpr int32_t kSharedSample = 32;

size_t SampledSharedFrom(const TextSort* s, const SortEntry* entries, int32_t count, size_t depth) {
    size_t chars = 0;
    const char16_t* first = FieldOf(&s->rows[entries[0].row], s->field, &chars);
    if (depth >= chars) return 0;
    size_t shared = RestOfFirst(s, entries, depth, &chars);
    const int32_t step = count / kSharedSample > 0 ? count / kSharedSample : 1;
    for (int32_t i = step; i < count && shared > 0; i += step) {
        const char16_t* text = FieldOf(&s->rows[entries[i].row], s->field, &chars);
        shared = FoldedSameUpTo(first, text, depth, depth + shared);
    }
    shared = FoldedSameUpTo(first, FieldOf(&s->rows[entries[count - 1].row], s->field, &chars),
                            depth, depth + shared);
    return shared;
}

// The keys of the run at depth + shared, while checking that every text agrees with the first
// on the `shared` characters before them. Returns how many every text does agree on: `shared`
// when the sample was right (the keys are then the run's keys), fewer when it was not (the keys
// must be taken again from there).
size_t FillTextKeysAfterShared(const TextSort* s, SortEntry* entries, int32_t count, size_t depth,
                               size_t shared, KeyKind kind) {
    size_t chars = 0;
    const char16_t* first = FieldOf(&s->rows[entries[0].row], s->field, &chars);
    const size_t at = depth + shared;
    for (int32_t i = 0; i < count; ++i) {
        if (i + kReadAhead < count) {
            const char16_t* ahead =
                FieldOf(&s->rows[entries[i + kReadAhead].row], s->field, &chars);
            __builtin_prefetch(ahead + depth);
            if (at < chars) __builtin_prefetch(ahead + at);
        }
        const char16_t* text = FieldOf(&s->rows[entries[i].row], s->field, &chars);
        if (shared > 0) shared = FoldedSameUpTo(first, text, depth, depth + shared);
        const uint64_t key = TextKey(kind, text, chars, at);
        entries[i].key = s->descending ? ~key : key;
    }
    return shared;
}

// entries hold keys of the kind at depth, sorted: every run of equal keys whose texts go on is
// sorted by the next characters, recursively (at most two levels per four characters of the
// field: a narrow key may end at its first character, and the wide key after it takes four).
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
            if (s->tie != kTieNone) {
                SortByText(s->rows, entries + begin, s->spare, run, kTextDetail, s->descending,
                           kTieNone);
            }
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

void SortByText(const EventRow* rows, SortEntry* entries, SortEntry* spare, int32_t count,
                TextField field, bool descending, TieBreak tie) {
    const TextSort s{rows, spare, field, descending, tie};
    FillTextKeys(&s, entries, count, 0, kNarrowKey);
    RadixSort(entries, spare, count);
    RefineRuns(&s, entries, count, 0, kNarrowKey);
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

int CompareRowsForColumn(const EventRow* rows, int32_t a, int32_t b, int column, bool descending) {
    const EventRow* ra = &rows[a];
    const EventRow* rb = &rows[b];
    int c = 0;
    switch (column) {
    case kColumnTime:
    case kColumnSeverity:
    case kColumnCategory:
        c = CompareNumbers(NumericKey(ra, column), NumericKey(rb, column));
        break;
    case kColumnProcess:
        // The cell shows the pid first, so the numbers the user reads run in order.
        c = CompareNumbers(ra->pid, rb->pid);
        if (c == 0) c = CompareField(ra, rb, kTextProcess);
        break;
    case kColumnOperation:
        c = CompareField(ra, rb, kTextOperation);
        break;
    case kColumnPath:
        c = CompareField(ra, rb, kTextPath);
        if (c == 0) c = CompareField(ra, rb, kTextDetail);
        break;
    case kColumnResult:
        c = CompareField(ra, rb, kTextResult);
        break;
    default:
        break;
    }
    if (descending) c = -c;
    if (c != 0) return c;
    return a < b ? -1 : (a > b ? 1 : 0);
}

bool SortRowIndexes(const EventRow* rows, int32_t* indexes, int32_t count, int column,
                    bool descending) {
    if (column < 0 || column >= kSortableColumns) return false;
    if (count < 2) return true;
    const size_t bytes = static_cast<size_t>(count) * sizeof(SortEntry);
    SortEntry* entries = static_cast<SortEntry*>(AllocZeroed(bytes));
    SortEntry* spare = static_cast<SortEntry*>(AllocZeroed(bytes));
    if (entries == nullptr || spare == nullptr) {
        FreeBlock(entries);
        FreeBlock(spare);
        return false;
    }
    for (int32_t i = 0; i < count; ++i)
        entries[i].row = indexes[i];
    // Equal rows keep the order they come in, so they must come in recording order.
    if (!IsAscending(indexes, count)) {
        for (int32_t i = 0; i < count; ++i)
            entries[i].key = static_cast<uint32_t>(indexes[i]);
        RadixSort(entries, spare, count);
    }
    // A second key orders only the runs that the first leaves equal.
    switch (column) {
    case kColumnProcess:
        // Least significant key first: both passes are stable, so the pid orders and the name
        // decides among rows of one pid.
        SortByText(rows, entries, spare, count, kTextProcess, descending, kTieNone);
        SortByNumber(rows, entries, spare, count, kColumnProcess, descending);
        break;
    case kColumnOperation:
        SortByText(rows, entries, spare, count, kTextOperation, descending, kTieNone);
        break;
    case kColumnPath:
        SortByText(rows, entries, spare, count, kTextPath, descending, kTieDetail);
        break;
    case kColumnResult:
        SortByText(rows, entries, spare, count, kTextResult, descending, kTieNone);
        break;
    default:
        SortByNumber(rows, entries, spare, count, column, descending);
        break;
    }
    for (int32_t i = 0; i < count; ++i)
        indexes[i] = entries[i].row;
    FreeBlock(entries);
    FreeBlock(spare);
    return true;
}

bool ApplyShownOrder(Recording* app) {
    if (app->shownRows == nullptr || app->shownCount < 2) return true;
    const int column = SortColumnOf(app);
    if (column >= 0 && SortRowIndexes(app->rows, app->shownRows, app->shownCount, column,
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
        !SortRowIndexes(app->rows, app->shownRows + from, arrived, column, descending)) {
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
            if (CompareRowsForColumn(app->rows, shown[probe], row, column, descending) < 0) {
                lo = probe + 1;
                break;
            }
            hi = probe;
        }
        while (lo < hi) {
            const int32_t mid = lo + (hi - lo) / 2;
            if (CompareRowsForColumn(app->rows, shown[mid], row, column, descending) < 0) {
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
    UiListInvalidate(app->port.eventList, false);
    if (item >= 0) UiListSelectItem(app->port.eventList, item);
    UpdateStatusBar(app);
    return item;
}

int SortArrowOfColumn(const Recording* app, int column) {
    if (SortColumnOf(app) != column || column < 0) return 0;
    return app->view.sortDescending != 0 ? -1 : 1;
}

void ShowSortArrow(Recording* app) {
    const int column = SortColumnOf(app);
    UiListSetSortArrow(app->port.eventList, column,
                       column >= 0 ? SortArrowOfColumn(app, column) : 0);
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
