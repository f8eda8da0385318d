#include "export/session_compact.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/format.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "record/row_facts.h"

namespace olv {

namespace {

constexpr uint32_t kPieceBytes = 64u * 1024 * 1024;
// The open reads in pieces that the taker takes in while they are still in the cache: the text
// table in pieces from this many bytes, each as large as the table read so far, up to the most;
// the rows in pieces of a quarter of the rows left, from the least to the most (192 KiB to
// 1.5 MiB of records). The first and last pieces are small so that the taker starts early and
// ends soon after the reader; the others are large so that the reader makes few calls and
// hand-overs, each of which costs the reader more than a raw read of the same bytes.
constexpr uint32_t kTablePieceBytes = 256u * 1024;
constexpr uint32_t kTableMostPieceBytes = 2u * 1024 * 1024;
constexpr uint32_t kRowPieceRows = 4096;
constexpr uint32_t kRowMostPieceRows = 32768;
// Bodies from this many bytes are taken in on a thread of their own beside the reading.
constexpr uint64_t kTakerThreadFrom = 4u * 1024 * 1024;
constexpr uint32_t kMostCategory = 4; // kCategoryProcess and the "Unknown" an old file may hold
constexpr uint32_t kMostSeverity = 3;

// Per text of the table while rows are checked, worked out once for each text so that a row's
// checks are a few lookups in one small array (two bytes a text, so that it stays in the cache).
enum TextFlag : uint16_t {
    kTextHasZero = 1,  // a unit is 0: not a text a row field can hold
    kFitsPath = 2,     // at most kPathChars - 1 units
    kFitsDetail = 4,   // at most kDetailChars - 1
    kFitsThreat = 8,   // at most kThreatChars - 1
    kFitsShort = 16,   // at most 63: operation, result, process
    kTimeShape = 32,   // kTimeUnits long
    kContextSound = 64, // checked as a context record, sound, with no operation text
    kContextSoundOperation = 128, // ... keeping an operation text (sound for rows of kind Other)
    kFactsChecked = 256, // used as a facts record and found sound
};
constexpr uint16_t kFitsAll = kFitsPath | kFitsDetail | kFitsThreat | kFitsShort;

// What a row may name a text for, one byte a text, derived from its flags once the table is in:
// the few bits the rows' checks ask, so that they lie in a table half the size of the flags.
enum RowUse : uint8_t {
    kUsePath = 1,
    kUseDetail = 2,
    kUseShort = 4,        // result
    kUseContext = 8,      // a sound context record without an operation text
    kUseContextOther = 16, // a sound context record keeping one: for rows of kind Other only
};
constexpr uint8_t RowUseOf(uint16_t flags) {
    // A context record's units are numbers, zeros among them: only texts are refused for those.
    const bool text = (flags & kTextHasZero) == 0;
    return static_cast<uint8_t>((text && (flags & kFitsPath) != 0 ? kUsePath : 0) |
                                (text && (flags & kFitsDetail) != 0 ? kUseDetail : 0) |
                                (text && (flags & kFitsShort) != 0 ? kUseShort : 0) |
                                ((flags & kContextSound) != 0 ? kUseContext : 0) |
                                ((flags & kContextSoundOperation) != 0 ? kUseContextOther : 0));
}
// RowUseOf by the low byte of the flags (the bits it reads), looked up: a text's flags follow no
// pattern, and the tests worked out one text after another would mispredict branches.
struct RowUseTable {
    uint8_t use[256];
};
constexpr RowUseTable MakeRowUseTable() {
    RowUseTable t{};
    for (uint32_t f = 0; f < 256; ++f)
        t.use[f] = RowUseOf(static_cast<uint16_t>(f));
    return t;
}
constexpr RowUseTable kRowUse = MakeRowUseTable();
constexpr bool RowUseReadsLowByte() {
    for (uint32_t f = 0; f < 0x10000; ++f) {
        if (RowUseOf(static_cast<uint16_t>(f)) != RowUseOf(static_cast<uint16_t>(f & 0xFF)))
            return false;
    }
    return true;
}
static_assert(RowUseReadsLowByte(), "RowUseOf reads the low byte of the flags only");

static_assert(kOperationChars == 64 && kResultChars == 64 && kProcessChars == 64);
static_assert(kThreatChars > 64 && kDetailChars > 64 && kPathChars > 64);
static_assert(kContextUnits == 14); // MarkContext reads its last six units
static_assert(kTextStoreWide == 1u << 31); // MarkText takes the wide bit by a shift

bool ReadExactly(FileHandle file, void* data, uint64_t bytes) {
    auto* at = static_cast<uint8_t*>(data);
    while (bytes > 0) {
        const uint32_t piece = bytes < kPieceBytes ? static_cast<uint32_t>(bytes) : kPieceBytes;
        uint32_t got = 0;
        if (!ReadFileBytes(file, at, piece, &got) || got != piece) return false;
        at += piece;
        bytes -= piece;
    }
    return true;
}

// Whether the bytes at data hold a zero unit of width bytes (1 or 2). before is how many bytes
// lie readable before data (the pool's earlier texts), so that a short text is read in one step
// ending at its end. Texts of the table come in every length and both widths one after another:
// texts of up to 64 bytes are read in a fixed number of steps (the later ones overlapping, ending
// at the text's end) and the width picks the lanes by mask, so that neither the length nor the
// width sends a branch the wrong way. No step reads past the text's end.
bool HoldsZeroUnit(const uint8_t* data, uint32_t bytes, uint32_t width, uint64_t before) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i wideLanes = _mm_set1_epi8(static_cast<char>(width == 2 ? -1 : 0));
    auto zeros = [&](const uint8_t* at) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        return _mm_or_si128(_mm_andnot_si128(wideLanes, _mm_cmpeq_epi8(v, zero)),
                            _mm_and_si128(wideLanes, _mm_cmpeq_epi16(v, zero)));
    };
    if (bytes <= 16 && before >= 16 - bytes) {
        // The step starts bytes - 16 before the text, a whole number of units: its lanes line up
        // with the text's units. Only the top bytes lanes are the text's.
        const auto mask = static_cast<uint32_t>(_mm_movemask_epi8(zeros(data + bytes - 16)));
        return (mask >> (16 - bytes)) != 0;
    }
    if (bytes > 16 && bytes <= 64) {
        const uint32_t last = bytes - 16; // a whole number of units, like every step
        const __m128i seen =
            _mm_or_si128(_mm_or_si128(zeros(data), zeros(data + (last < 16 ? last : 16))),
                         _mm_or_si128(zeros(data + (last < 32 ? last : 32)), zeros(data + last)));
        return _mm_movemask_epi8(seen) != 0;
    }
    if (bytes > 64) {
        __m128i seen = zeros(data + bytes - 16);
        for (uint32_t i = 0; i + 16 < bytes; i += 16)
            seen = _mm_or_si128(seen, zeros(data + i));
        return _mm_movemask_epi8(seen) != 0;
    }
#else
    (void)before;
#endif
    // The classic test for a zero lane: a lane's top bit survives (v - 1) & ~v only when it was 0.
    if (bytes < 8) {
        for (uint32_t i = 0; i < bytes; i += width) {
            if (data[i] == 0 && (width == 1 || data[i + 1] == 0)) return true;
        }
        return false;
    }
    const uint64_t ones = width == 1 ? 0x0101010101010101u : 0x0001000100010001u;
    const uint64_t tops = ones << (width * 8 - 1);
    uint64_t seen = 0;
    uint32_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        uint64_t v;
        std::memcpy(&v, data + i, sizeof v);
        seen |= (v - ones) & ~v & tops;
    }
    if (i < bytes) {
        uint64_t v; // bytes - 8 is a whole number of units from the start
        std::memcpy(&v, data + bytes - 8, sizeof v);
        seen |= (v - ones) & ~v & tops;
    }
    return seen != 0;
}

// A text of a context record's shape, checked as one while it is in the cache: rows name the
// same context many times, and the first of them would otherwise fetch it from far back in the
// table. Its texts come before it in a table the store wrote; one that names a text after it (or
// fails a check) is left unmarked, for CheckContext to judge when a row uses it, so a text that no
// row takes for a context is never refused for not being one.
void MarkContext(const TextStore* store, uint32_t id, uint16_t* flags) {
    // The record's last six units: the process, threat and operation ids, low unit first.
    const TextStoreEntry e = store->entries[id];
    const uint8_t* units = store->pool + e.offset;
    const bool wide = (e.head & kTextStoreWide) != 0;
    auto unit = [&](uint32_t i) -> uint32_t {
        return wide ? uint32_t{units[2 * i]} | (uint32_t{units[2 * i + 1]} << 8) : units[i];
    };
    auto word = [&](uint32_t i) { return unit(i) | (unit(i + 1) << 16); };
    const uint32_t process = word(8), threat = word(10), operation = word(12);
    auto sound = [&](uint32_t text, uint16_t fits) {
        return text == 0 || (text < id && (flags[text] & (kTextHasZero | fits)) == fits);
    };
    if (sound(process, kFitsShort) && sound(threat, kFitsThreat) && sound(operation, kFitsShort))
        flags[id] |= operation != 0 ? kContextSoundOperation : kContextSound;
}

// The flags of a text of the table, as it is indexed.
inline void MarkText(const TextStore* store, uint32_t id, TextStoreEntry e, uint16_t* flags) {
    const uint32_t n = e.head & ~kTextStoreWide;
    const uint32_t wide = e.head >> 31; // by shifts: narrow and wide texts come in no order
    const bool zero = HoldsZeroUnit(store->pool + e.offset, n << wide, 1 + wide, e.offset);
    flags[id] = static_cast<uint16_t>(
        (zero ? kTextHasZero : 0) | (n < kPathChars ? kFitsPath : 0) |
        (n < kDetailChars ? kFitsDetail : 0) | (n < kThreatChars ? kFitsThreat : 0) |
        (n < kResultChars ? kFitsShort : 0) | (n == kTimeUnits ? kTimeShape : 0));
    if (n == kContextUnits) MarkContext(store, id, flags);
}

struct RowCheck {
    const TextStore* store;
    uint16_t* flags;
    uint32_t texts;
    uint32_t row;
    char16_t* why;
    size_t whyChars;
};

// A text id in a row field of chars units: in the table, free of zero units, leaving room for
// the terminator.
bool CheckTextId(RowCheck* c, uint32_t id, uint16_t fits, size_t chars, const char16_t* field) {
    if (id == 0) return true;
    if (id < c->texts && (c->flags[id] & (kTextHasZero | fits)) == fits) return true;
    if (id >= c->texts) {
        FormatText(c->why, c->whyChars, u"row %lu names text %lu for its %s, past the table's %lu "
                   u"texts", c->row + 1, id, field, c->texts);
        return false;
    }
    if ((c->flags[id] & kTextHasZero) != 0) {
        FormatText(c->why, c->whyChars, u"row %lu's %s (text %lu) holds a zero unit", c->row + 1,
                   field, id);
        return false;
    }
    const uint32_t length = TextOfId(c->store, id).length;
    if (length > chars - 1) {
        FormatText(c->why, c->whyChars, u"row %lu's %s is %lu units long, longer than its field "
                   u"of %lu", c->row + 1, field, length, static_cast<uint32_t>(chars - 1));
        return false;
    }
    return true;
}

bool CheckContext(RowCheck* c, const CompactRow& row) {
    const uint32_t id = row.context;
    if (id == 0 || id >= c->texts ||
        (c->store->entries[id].head & ~kTextStoreWide) != kContextUnits) {
        FormatText(c->why, c->whyChars, u"row %lu's context (text %lu) is not a context record",
                   c->row + 1, id);
        return false;
    }
    // A context is shared by many rows: its texts are checked once. Whether it may keep an
    // operation text is a matter of each row's kind.
    const bool other = KindOf(row) == RowKind::Other;
    if ((c->flags[id] & kContextSound) != 0) return true;
    const bool checked = (c->flags[id] & kContextSoundOperation) != 0;
    const RowContext context = ContextOf(c->store, row);
    if (context.operation != 0 && !other) {
        FormatText(c->why, c->whyChars, u"row %lu keeps an operation text beside its kind",
                   c->row + 1);
        return false;
    }
    if (checked) return true;
    if (!CheckTextId(c, context.process, kFitsShort, kProcessChars, u"process") ||
        !CheckTextId(c, context.threat, kFitsThreat, kThreatChars, u"threat") ||
        !CheckTextId(c, context.operation, kFitsShort, kOperationChars, u"operation")) {
        return false;
    }
    c->flags[id] |= context.operation != 0 ? kContextSoundOperation : kContextSound;
    return true;
}

// A facts record of the layout of the row's kind, each text it names a text of the table that
// fits a fact. A record is shared by many rows: its texts are checked once.
bool CheckFacts(RowCheck* c, const CompactRow& row) {
    const uint32_t id = row.facts;
    if (id == 0) return true;
    RowFacts facts{};
    const RowFactsLayout layout = FactsLayoutOfKind(KindOf(row));
    if (id >= c->texts || !ReadFactsRecord(TextOfId(c->store, id), &facts) ||
        facts.layout != layout) {
        FormatText(c->why, c->whyChars, u"row %lu's facts (text %lu) are not a facts record of "
                   u"its kind", c->row + 1, id);
        return false;
    }
    if ((c->flags[id] & kFactsChecked) != 0) return true;
    for (uint32_t f = 0; f < kRowFactCount; ++f) {
        const uint32_t text = facts.text[f];
        if (text == 0) continue;
        if (text >= c->texts || (c->flags[text] & kTextHasZero) != 0 ||
            TextOfId(c->store, text).length > kFactChars - 1) {
            FormatText(c->why, c->whyChars, u"row %lu's fact %lu (text %lu) is not a text of "
                       u"the table that fits a fact", c->row + 1, f, text);
            return false;
        }
    }
    c->flags[id] |= kFactsChecked;
    return true;
}

bool CheckRow(RowCheck* c, const CompactRow& row) {
    if (row.kind >= kRowKindCount) {
        FormatText(c->why, c->whyChars, u"row %lu has kind %lu, which is not known", c->row + 1,
                   uint32_t{row.kind});
        return false;
    }
    if (row.category > kMostCategory || row.severity > kMostSeverity) {
        FormatText(c->why, c->whyChars, u"row %lu has category %lu and severity %lu", c->row + 1,
                   uint32_t{row.category}, uint32_t{row.severity});
        return false;
    }
    if (!CheckFacts(c, row)) return false;
    if ((row.time & kTimeInStore) != 0) {
        const uint64_t id = row.time & ~kTimeInStore;
        if (id == 0 || id >= c->texts || (c->flags[id] & kTimeShape) == 0) {
            FormatText(c->why, c->whyChars, u"row %lu's time is not a time record", c->row + 1);
            return false;
        }
    } else if ((row.time >> 54) != 0) {
        FormatText(c->why, c->whyChars, u"row %lu's time has bits set past its members",
                   c->row + 1);
        return false;
    }
    // A script, module output or content row's path is its whole text, of any length the table
    // holds; every other path fits its field.
    const RowKind kind = KindOf(row);
    const bool whole = kind == RowKind::RanScriptBlock || kind == RowKind::LoggedModuleOutput ||
                       kind == RowKind::ScannedContent;
    const bool pathSound = whole ? CheckTextId(c, row.path, 0, size_t{kTextStoreLongestText} + 1,
                                               u"path")
                                 : CheckTextId(c, row.path, kFitsPath, kPathChars, u"path");
    return pathSound &&
           CheckTextId(c, row.detail, kFitsDetail, kDetailChars, u"detail") &&
           CheckTextId(c, row.result, kFitsShort, kResultChars, u"result") && CheckContext(c, row);
}

// Whether the row passes by the use bits alone, as it does once its texts and context have been
// seen. use holds a byte for every id below useIds (a power of two), zero past the table's texts,
// so one test of the ids together bounds all four lookups. A row that does not pass is checked
// again by CheckRow, which names the fault or marks a context seen for the first time; where this
// passes a row, so does CheckRow.
inline bool RowPassesQuickly(const uint8_t* use, uint32_t useIds, const CompactRow& r) {
    // A time kept in the store (the top bit) or bits past the packed members go to CheckRow.
    if (((r.path | r.detail | r.result | r.context) >= useIds) | (r.facts != 0) |
        (r.kind >= kRowKindCount) | (r.category > kMostCategory) | (r.severity > kMostSeverity) |
        ((r.time >> 54) != 0)) {
        return false;
    }
    const uint32_t fits = (use[r.path] & kUsePath) | (use[r.detail] & kUseDetail) |
                          (use[r.result] & kUseShort);
    const uint32_t context =
        use[r.context] &
        (r.kind == static_cast<uint16_t>(RowKind::Other) ? kUseContext | kUseContextOther
                                                         : kUseContext);
    return (fits == (kUsePath | kUseDetail | kUseShort)) & (context != 0);
}

} // namespace

uint64_t CompactBodyBytes(const TextStore* store, uint32_t count) {
    uint64_t pool = 0;
    TextPool(store, &pool);
    return sizeof(CompactTableHead) + pool + uint64_t{count} * kCompactRecordSize;
}

namespace {

void WriteInPieces(SafeFileWriter* writer, const uint8_t* bytes, uint64_t left) {
    while (left > 0 && writer->ok) {
        const uint32_t piece = left < kPieceBytes ? static_cast<uint32_t>(left) : kPieceBytes;
        WriteBytes(writer, bytes, piece);
        bytes += piece;
        left -= piece;
    }
}

} // namespace

void WriteCompactBody(SafeFileWriter* writer, const TextStore* store, const CompactRow* rows,
                      uint32_t count) {
    uint64_t poolBytes = 0;
    const uint8_t* pool = TextPool(store, &poolBytes);
    const CompactTableHead head{TextCount(store), 0, poolBytes};
    WriteBytes(writer, &head, sizeof head);
    // The store's pool is the table itself.
    WriteInPieces(writer, pool, poolBytes);
    if (rows != nullptr)
        WriteInPieces(writer, reinterpret_cast<const uint8_t*>(rows),
                      uint64_t{count} * kCompactRecordSize);
}

namespace {

// One open of a body: the reader fills the table room and then the rows front to back, and the
// taker takes in what has been read, in file order: the table's texts, then the rows. The taker
// runs on its own thread beside the reader when it can (the checks then cost no more time than
// the reading), else in turn with it.
struct BodyOpen {
    TextStore* loaded;
    uint16_t* flags;
    uint8_t* use;     // useIds bytes: RowUseOf each text's flags, 0 past the table
    uint32_t useIds;
    const CompactRow* rows;
    uint64_t tableBytes;
    uint32_t texts;
    // The taker's own.
    RowCheck check;
    uint64_t taken; // table bytes taken in
    bool tableDone;
    CompactReadOutcome verdict;
    // Shared, under lock.
    Lock lock;
    Condition wake;
    uint64_t filled; // body bytes read: the table's, then the rows'
    bool readEnded;  // the reader has stopped: filled is final
    bool stop;       // the taker has found a fault: reading on is of no use
};

void ReportTable(BodyOpen* b, uint32_t bad) {
    b->verdict = bad == 0 ? kCompactReadFailed : kCompactDamaged;
    if (bad == b->texts) {
        FormatText(b->check.why, b->check.whyChars,
                   u"the text table holds bytes after its last text");
    } else {
        FormatText(b->check.why, b->check.whyChars,
                   u"text %lu of the text table is empty or runs past the table's end", bad);
    }
}

// The taker's working room: the text table's entries, the flags and the use bytes. It is made by
// the thread that fills it, so that its zeroed lines start in that thread's cache rather than
// being fetched from the reader's, and the reader starts reading sooner. False (with the
// verdict) when memory is refused.
bool BeginTaking(BodyOpen* b) {
    uint32_t bad = 0;
    b->flags = static_cast<uint16_t*>(AllocZeroed(size_t{b->texts} * sizeof(uint16_t)));
    b->use = static_cast<uint8_t*>(AllocZeroed(b->useIds));
    if (b->flags == nullptr || b->use == nullptr ||
        (b->tableBytes > 0 && !BeginTextPool(b->loaded, b->texts, &bad))) {
        b->verdict = kCompactReadFailed;
        return false;
    }
    b->check.flags = b->flags;
    if (b->tableDone) {
        b->flags[0] = kFitsAll;
        b->use[0] = RowUseOf(kFitsAll);
    }
    return true;
}

// Takes in the body's first filled bytes; false (with the verdict) at the first fault.
bool TakeIn(BodyOpen* b, uint64_t filled) {
    if (!b->tableDone) {
        const uint64_t table = filled < b->tableBytes ? filled : b->tableBytes;
        if (table > b->taken) {
            uint32_t bad = 0;
            const TextStore* store = b->loaded;
            uint16_t* flags = b->flags;
            if (!IndexTextPoolTaking(b->loaded, table, &bad,
                                     [store, flags](uint32_t id, TextStoreEntry e) {
                                         MarkText(store, id, e, flags);
                                     })) {
                ReportTable(b, bad);
                return false;
            }
            b->taken = table;
        }
        if (b->taken < b->tableBytes) return true;
        b->tableDone = true;
        b->flags[0] = kFitsAll; // the empty text fits every field; it is no time or context record
        const uint16_t* flags = b->flags;
        uint8_t* use = b->use;
        for (uint32_t id = 0; id < b->texts; ++id)
            use[id] = kRowUse.use[flags[id] & 0xFF];
    }
    const auto end = static_cast<uint32_t>((filled - b->tableBytes) / kCompactRecordSize);
    RowCheck* check = &b->check;
    const uint8_t* use = b->use;
    const uint32_t useIds = b->useIds;
    const CompactRow* rows = b->rows;
    for (uint32_t row = check->row; row < end; ++row) {
        if (RowPassesQuickly(use, useIds, rows[row])) continue;
        check->row = row;
        if (!CheckRow(check, rows[row])) {
            b->verdict = kCompactDamaged;
            return false;
        }
        // CheckRow may have found the row's context sound for the first time.
        const uint32_t context = rows[row].context;
        b->use[context] = RowUseOf(b->flags[context]);
    }
    check->row = end;
    return true;
}

uint32_t TakerThread(void* argument) {
    auto* b = static_cast<BodyOpen*>(argument);
    if (!BeginTaking(b)) {
        LockGuard hold(&b->lock);
        b->stop = true;
        return 0;
    }
    uint64_t seen = 0;
    for (;;) {
        bool ended = false;
        {
            LockGuard hold(&b->lock);
            while (b->filled == seen && !b->readEnded)
                WaitCondition(&b->wake, &b->lock);
            seen = b->filled;
            ended = b->readEnded;
        }
        if (!TakeIn(b, seen)) {
            LockGuard hold(&b->lock);
            b->stop = true;
            return 0;
        }
        if (ended) return 0;
    }
}

} // namespace

CompactReadOutcome ReadCompactBody(FileHandle file, uint64_t bodyBytes, uint32_t count,
                                   TextStore* store, CompactRow** rows, char16_t* why,
                                   size_t whyChars) {
    return ReadCompactBodyInPieces(file, bodyBytes, count, store, rows, why, whyChars,
                                   CompactReadPieces{});
}

CompactReadOutcome ReadCompactBodyInPieces(FileHandle file, uint64_t bodyBytes, uint32_t count,
                                           TextStore* store, CompactRow** rows, char16_t* why,
                                           size_t whyChars, CompactReadPieces pieces) {
    *rows = nullptr;
    const uint32_t tablePiece = pieces.tableBytes != 0 ? pieces.tableBytes : kTablePieceBytes;
    const uint32_t tableMost = pieces.tableMostBytes != 0 ? pieces.tableMostBytes
                               : pieces.tableBytes != 0   ? pieces.tableBytes
                                                          : kTableMostPieceBytes;
    const uint32_t rowPiece = pieces.rows != 0 ? pieces.rows : kRowPieceRows;
    const uint32_t rowMost = pieces.rows != 0 ? pieces.rows : kRowMostPieceRows;
    const uint64_t takerFrom = pieces.takerThreadFrom != 0 ? pieces.takerThreadFrom
                                                            : kTakerThreadFrom;
    CompactTableHead head{};
    const uint64_t rowBytes = uint64_t{count} * kCompactRecordSize;
    if (bodyBytes < sizeof head) {
        FormatText(why, whyChars, u"the file ends before its text table");
        return kCompactDamaged;
    }
    if (!ReadExactly(file, &head, sizeof head)) return kCompactReadFailed;
    // Each text takes at least three bytes (its head and one unit).
    if (head.texts == 0 || head.reserved != 0 || head.texts > kTextStoreMostTexts ||
        head.bytes < uint64_t{head.texts - 1} * 3 || head.bytes > kTextStoreMostBytes) {
        FormatText(why, whyChars, u"the text table's head is damaged (%lu texts)", head.texts);
        return kCompactDamaged;
    }
    const uint64_t expected = sizeof head + head.bytes + rowBytes;
    if (bodyBytes != expected) {
        FormatText(why, whyChars,
                   bodyBytes > expected ? u"bytes follow the last row"
                                        : u"the file ends before its last row");
        return kCompactDamaged;
    }

    auto* b = AllocRecord<BodyOpen>();
    TextStore loaded{};
    CompactRow* read = count > 0 ? static_cast<CompactRow*>(AllocZeroed(rowBytes)) : nullptr;
    uint8_t* pool = head.bytes > 0 ? TextPoolRoom(&loaded, head.bytes) : nullptr;
    if (b == nullptr || (count > 0 && read == nullptr) || (head.bytes > 0 && pool == nullptr)) {
        FreeBlock(b);
        FreeBlock(read);
        FreeTextStore(&loaded);
        return kCompactReadFailed;
    }
    uint32_t useIds = 1;
    while (useIds < head.texts)
        useIds *= 2;
    b->loaded = &loaded;
    b->useIds = useIds;
    b->rows = read;
    b->tableBytes = head.bytes;
    b->texts = head.texts;
    b->check = RowCheck{&loaded, nullptr, head.texts, 0, why, whyChars};
    b->verdict = kCompactRead;
    b->tableDone = head.bytes == 0;
    InitLock(&b->lock);
    InitCondition(&b->wake);
    ThreadHandle taker =
        head.bytes + rowBytes >= takerFrom ? StartThread(TakerThread, b, nullptr) : nullptr;
    const bool takeFailed = taker == nullptr && !BeginTaking(b);

    // The reader: the table, then the rows, in pieces that the taker takes in as they arrive.
    bool readFailed = false;
    uint64_t filled = 0;
    const uint64_t total = head.bytes + rowBytes;
    while (!takeFailed && filled < total) {
        uint8_t* to = filled < head.bytes ? pool + filled
                                          : reinterpret_cast<uint8_t*>(read) + (filled - head.bytes);
        const uint64_t left = filled < head.bytes ? head.bytes - filled : total - filled;
        const uint64_t tableNext = filled < tablePiece  ? tablePiece
                                   : filled < tableMost ? filled
                                                        : tableMost;
        const uint64_t rowsLeft = left / kCompactRecordSize / 4;
        const uint64_t rowsNext = rowsLeft < rowPiece  ? rowPiece
                                  : rowsLeft < rowMost ? rowsLeft
                                                       : rowMost;
        const uint64_t most = filled < head.bytes ? tableNext : rowsNext * kCompactRecordSize;
        const uint64_t n = left < most ? left : most;
        if (!ReadExactly(file, to, n)) {
            readFailed = true;
            break;
        }
        filled += n;
        if (taker == nullptr) {
            if (!TakeIn(b, filled)) break;
            continue;
        }
        LockGuard hold(&b->lock);
        b->filled = filled;
        WakeAllCondition(&b->wake);
        if (b->stop) break;
    }
    if (taker != nullptr) {
        {
            LockGuard hold(&b->lock);
            b->readEnded = true;
            WakeAllCondition(&b->wake);
        }
        JoinThread(taker);
    }
    // The first fault in file order: a fault the taker found lies before the piece whose read
    // failed.
    CompactReadOutcome outcome = b->verdict;
    if (outcome == kCompactRead && readFailed) outcome = kCompactReadFailed;
    DeleteCondition(&b->wake);
    DeleteLock(&b->lock);
    FreeBlock(b->flags);
    FreeBlock(b->use);
    FreeBlock(b);
    if (outcome != kCompactRead) {
        FreeBlock(read);
        FreeTextStore(&loaded);
        return outcome;
    }
    FreeTextStore(store);
    *store = loaded;
    *rows = read;
    return kCompactRead;
}

} // namespace olv
