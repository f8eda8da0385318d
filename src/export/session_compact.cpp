#include "export/session_compact.h"

#include <cstring>

#include "base/format.h"
#include "platform/memory.h"
#include "record/row_facts.h"

namespace olv {

namespace {

constexpr uint32_t kPieceBytes = 64u * 1024 * 1024;
constexpr uint32_t kCheckPieceRows = 32768; // 1.5 MiB of records
constexpr uint32_t kMostCategory = 4; // kCategoryProcess and the "Unknown" an old file may hold
constexpr uint32_t kMostSeverity = 3;

// Per text of the table while rows are checked, worked out once for each text so that a row's
// checks are a few lookups in one small array.
enum TextFlag : uint16_t {
    kTextHasZero = 1,     // a unit is 0: not a text a row field can hold
    kFitsPath = 2,        // at most kPathChars - 1 units
    kFitsDetail = 4,      // at most kDetailChars - 1
    kFitsThreat = 8,      // at most kThreatChars - 1
    kFitsShort = 16,      // at most 63: operation, result, process
    kContextShape = 32,   // kContextUnits long
    kTimeShape = 64,      // kTimeUnits long
    kContextChecked = 128, // used as a context record and found sound
    kContextOperation = 256, // ... keeping an operation text (rows of kind Other only)
    kFactsChecked = 512,     // used as a facts record and found sound
};
static_assert(kOperationChars == 64 && kResultChars == 64 && kProcessChars == 64);

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

// The flags of every text of the table.
void MarkTexts(const TextStore* store, uint16_t* flags) {
    for (uint32_t id = 1; id < TextCount(store); ++id) {
        const TextView v = TextOfId(store, id);
        bool zero = false;
        if (v.wide) {
            for (uint32_t i = 0; i < v.length && !zero; ++i)
                zero = v.data[2 * i] == 0 && v.data[2 * i + 1] == 0;
        } else {
            zero = std::memchr(v.data, 0, v.length) != nullptr;
        }
        const uint32_t n = v.length;
        flags[id] = static_cast<uint16_t>(
            (zero ? kTextHasZero : 0) | (n < kPathChars ? kFitsPath : 0) |
            (n < kDetailChars ? kFitsDetail : 0) | (n < kThreatChars ? kFitsThreat : 0) |
            (n < kResultChars ? kFitsShort : 0) | (n == kContextUnits ? kContextShape : 0) |
            (n == kTimeUnits ? kTimeShape : 0));
    }
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
    if (id == 0 || id >= c->texts || (c->flags[id] & kContextShape) == 0) {
        FormatText(c->why, c->whyChars, u"row %lu's context (text %lu) is not a context record",
                   c->row + 1, id);
        return false;
    }
    // A context is shared by many rows: its texts are checked once. Whether it keeps an operation
    // text is a matter of each row's kind.
    const bool other = KindOf(row) == RowKind::Other;
    if ((c->flags[id] & kContextChecked) != 0 && (other || (c->flags[id] & kContextOperation) == 0))
        return true;
    const RowContext context = ContextOf(c->store, row);
    if (context.operation != 0 && !other) {
        FormatText(c->why, c->whyChars, u"row %lu keeps an operation text beside its kind",
                   c->row + 1);
        return false;
    }
    if ((c->flags[id] & kContextChecked) != 0) return true;
    if (!CheckTextId(c, context.process, kFitsShort, kProcessChars, u"process") ||
        !CheckTextId(c, context.threat, kFitsThreat, kThreatChars, u"threat") ||
        !CheckTextId(c, context.operation, kFitsShort, kOperationChars, u"operation")) {
        return false;
    }
    c->flags[id] |= kContextChecked | (context.operation != 0 ? kContextOperation : 0);
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
    return CheckTextId(c, row.path, kFitsPath, kPathChars, u"path") &&
           CheckTextId(c, row.detail, kFitsDetail, kDetailChars, u"detail") &&
           CheckTextId(c, row.result, kFitsShort, kResultChars, u"result") && CheckContext(c, row);
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

CompactReadOutcome ReadCompactBody(FileHandle file, uint64_t bodyBytes, uint32_t count,
                                   TextStore* store, CompactRow** rows, char16_t* why,
                                   size_t whyChars) {
    *rows = nullptr;
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

    TextStore loaded{};
    auto* flags = static_cast<uint16_t*>(AllocZeroed(size_t{head.texts} * sizeof(uint16_t)));
    CompactRow* read = count > 0 ? static_cast<CompactRow*>(AllocZeroed(rowBytes)) : nullptr;
    uint8_t* pool = head.bytes > 0 ? TextPoolRoom(&loaded, head.bytes) : nullptr;
    CompactReadOutcome outcome = kCompactRead;
    uint32_t bad = 0;
    if (flags == nullptr || (count > 0 && read == nullptr) || (head.bytes > 0 && pool == nullptr)) {
        outcome = kCompactReadFailed;
    } else if (!ReadExactly(file, pool, head.bytes)) {
        outcome = kCompactReadFailed;
    } else if (head.bytes > 0 && !OpenTextPool(&loaded, head.texts, &bad)) {
        outcome = bad == 0 ? kCompactReadFailed : kCompactDamaged;
        if (bad == head.texts) {
            FormatText(why, whyChars, u"the text table holds bytes after its last text");
        } else {
            FormatText(why, whyChars, u"text %lu of the text table is empty or runs past the "
                       u"table's end", bad);
        }
    } else {
        // Rows are read in small pieces, each checked while it is still in the cache.
        MarkTexts(&loaded, flags);
        RowCheck check{&loaded, flags, head.texts, 0, why, whyChars};
        while (outcome == kCompactRead && check.row < count) {
            const uint32_t n = count - check.row < kCheckPieceRows ? count - check.row
                                                                   : kCheckPieceRows;
            if (!ReadExactly(file, read + check.row, uint64_t{n} * kCompactRecordSize)) {
                outcome = kCompactReadFailed;
                break;
            }
            for (const uint32_t end = check.row + n; check.row < end; ++check.row) {
                if (!CheckRow(&check, read[check.row])) {
                    outcome = kCompactDamaged;
                    break;
                }
            }
        }
    }
    FreeBlock(flags);
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
