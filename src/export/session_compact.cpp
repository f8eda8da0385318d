#include "export/session_compact.h"

#include <cstring>

#include "base/format.h"
#include "platform/memory.h"

namespace olv {

namespace {

constexpr uint16_t kWideHead = 0x8000;
constexpr uint32_t kPieceBytes = 64u * 1024 * 1024;
constexpr uint32_t kWriteBufferBytes = 1024 * 1024;
constexpr uint32_t kMostCategory = 4; // kCategoryProcess and the "Unknown" an old file may hold
constexpr uint32_t kMostSeverity = 3;

// Per text of the table while rows are checked.
enum TextFlag : uint8_t {
    kTextHasZero = 1,      // a unit is 0: not a text a row field can hold
    kContextChecked = 2,   // used as a context record and found sound
};

void PutWritten(SafeFileWriter* writer, uint8_t* buffer, uint32_t* used, const void* data,
                uint32_t bytes) {
    if (*used + bytes > kWriteBufferBytes) {
        WriteBytes(writer, buffer, *used);
        *used = 0;
    }
    std::memcpy(buffer + *used, data, bytes);
    *used += bytes;
}

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

// The table's texts into the store, each checked: a head and units within the table, at least
// one unit, no text twice. flags gets kTextHasZero per id.
bool ReadTable(const uint8_t* table, uint64_t bytes, uint32_t texts, TextStore* store,
               uint8_t* flags, char16_t* scratch, char16_t* why, size_t whyChars) {
    uint64_t at = 0;
    for (uint32_t id = 1; id < texts; ++id) {
        if (bytes - at < 2) {
            FormatText(why, whyChars, u"the text table ends before its text %lu", id);
            return false;
        }
        uint16_t head;
        std::memcpy(&head, table + at, sizeof head);
        at += sizeof head;
        const bool wide = (head & kWideHead) != 0;
        const uint32_t units = head & static_cast<uint16_t>(~kWideHead);
        const uint64_t size = uint64_t{units} * (wide ? 2 : 1);
        if (units == 0) {
            FormatText(why, whyChars, u"text %lu of the text table is empty", id);
            return false;
        }
        if (bytes - at < size) {
            FormatText(why, whyChars, u"the text table ends inside its text %lu", id);
            return false;
        }
        bool zero = false;
        if (wide) {
            std::memcpy(scratch, table + at, size);
        } else {
            for (uint32_t i = 0; i < units; ++i)
                scratch[i] = table[at + i];
        }
        for (uint32_t i = 0; i < units; ++i)
            zero = zero || scratch[i] == 0;
        at += size;
        uint32_t got = 0;
        if (FindStoredText(store, scratch, units, &got)) {
            FormatText(why, whyChars, u"text %lu of the text table repeats text %lu", id, got);
            return false;
        }
        if (!InternText(store, scratch, units, &got)) {
            FormatText(why, whyChars, u"the text table does not fit in memory");
            return false;
        }
        flags[id] = zero ? kTextHasZero : 0;
    }
    if (at != bytes) {
        FormatText(why, whyChars, u"the text table has %lu bytes after its last text",
                   static_cast<uint32_t>(bytes - at > UINT32_MAX ? UINT32_MAX : bytes - at));
        return false;
    }
    return true;
}

struct RowCheck {
    const TextStore* store;
    uint8_t* flags;
    uint32_t texts;
    uint32_t row;
    char16_t* why;
    size_t whyChars;
};

// A text id in a row field of chars units: in the table, free of zero units, leaving room for
// the terminator.
bool CheckTextId(RowCheck* c, uint32_t id, size_t chars, const char16_t* field) {
    if (id == 0) return true;
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
    if (id == 0 || id >= c->texts || TextOfId(c->store, id).length != kContextUnits) {
        FormatText(c->why, c->whyChars, u"row %lu's context (text %lu) is not a context record",
                   c->row + 1, id);
        return false;
    }
    const RowContext context = ContextOf(c->store, row);
    if (context.operation != 0 && KindOf(row) != RowKind::Other) {
        FormatText(c->why, c->whyChars, u"row %lu keeps an operation text beside its kind",
                   c->row + 1);
        return false;
    }
    if ((c->flags[id] & kContextChecked) != 0) return true;
    if (!CheckTextId(c, context.process, kProcessChars, u"process") ||
        !CheckTextId(c, context.threat, kThreatChars, u"threat") ||
        !CheckTextId(c, context.operation, kOperationChars, u"operation")) {
        return false;
    }
    c->flags[id] |= kContextChecked;
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
    if (row.facts != 0) {
        FormatText(c->why, c->whyChars, u"row %lu has facts (text %lu) of a newer version",
                   c->row + 1, row.facts);
        return false;
    }
    if ((row.time & kTimeInStore) != 0) {
        const uint64_t id = row.time & ~kTimeInStore;
        if (id == 0 || id >= c->texts ||
            TextOfId(c->store, static_cast<uint32_t>(id)).length != kTimeUnits) {
            FormatText(c->why, c->whyChars, u"row %lu's time is not a time record", c->row + 1);
            return false;
        }
    } else if ((row.time >> 54) != 0) {
        FormatText(c->why, c->whyChars, u"row %lu's time has bits set past its members",
                   c->row + 1);
        return false;
    }
    return CheckTextId(c, row.path, kPathChars, u"path") &&
           CheckTextId(c, row.detail, kDetailChars, u"detail") &&
           CheckTextId(c, row.result, kResultChars, u"result") && CheckContext(c, row);
}

} // namespace

uint64_t CompactBodyBytes(const TextStore* store, uint32_t count) {
    uint64_t bytes = sizeof(CompactTableHead);
    for (uint32_t id = 1; id < TextCount(store); ++id) {
        const TextView v = TextOfId(store, id);
        bytes += 2 + uint64_t{v.length} * (v.wide ? 2 : 1);
    }
    return bytes + uint64_t{count} * kCompactRecordSize;
}

void WriteCompactBody(SafeFileWriter* writer, const TextStore* store, const CompactRow* rows,
                      uint32_t count) {
    const uint32_t texts = TextCount(store);
    CompactTableHead head{texts, 0, 0};
    head.bytes = CompactBodyBytes(store, 0) - sizeof head;
    uint8_t* buffer = static_cast<uint8_t*>(AllocZeroed(kWriteBufferBytes));
    if (buffer == nullptr) {
        writer->ok = false;
        return;
    }
    uint32_t used = 0;
    PutWritten(writer, buffer, &used, &head, sizeof head);
    for (uint32_t id = 1; id < texts && writer->ok; ++id) {
        const TextView v = TextOfId(store, id);
        const uint16_t textHead = static_cast<uint16_t>(v.length | (v.wide ? kWideHead : 0));
        PutWritten(writer, buffer, &used, &textHead, sizeof textHead);
        const uint32_t bytes = v.length * (v.wide ? 2u : 1u);
        PutWritten(writer, buffer, &used, v.data, bytes);
    }
    if (used > 0) WriteBytes(writer, buffer, used);
    FreeBlock(buffer);
    const auto* bytes = reinterpret_cast<const uint8_t*>(rows);
    uint64_t left = rows == nullptr ? 0 : uint64_t{count} * kCompactRecordSize;
    while (left > 0 && writer->ok) {
        const uint32_t piece = left < kPieceBytes ? static_cast<uint32_t>(left) : kPieceBytes;
        WriteBytes(writer, bytes, piece);
        bytes += piece;
        left -= piece;
    }
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
        head.bytes < uint64_t{head.texts - 1} * 3 || head.bytes > kTextStoreMostBytes + 2 * uint64_t{head.texts}) {
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

    uint8_t* table = head.bytes > 0 ? static_cast<uint8_t*>(AllocZeroed(head.bytes)) : nullptr;
    uint8_t* flags = static_cast<uint8_t*>(AllocZeroed(head.texts));
    auto* scratch =
        static_cast<char16_t*>(AllocZeroed((kTextStoreLongestText + 1) * sizeof(char16_t)));
    CompactRow* read = count > 0 ? static_cast<CompactRow*>(AllocZeroed(rowBytes)) : nullptr;
    TextStore loaded{};
    CompactReadOutcome outcome = kCompactRead;
    if ((head.bytes > 0 && table == nullptr) || flags == nullptr || scratch == nullptr ||
        (count > 0 && read == nullptr)) {
        outcome = kCompactReadFailed;
    } else if (!ReadExactly(file, table, head.bytes)) {
        outcome = kCompactReadFailed;
    } else if (!ReadTable(table, head.bytes, head.texts, &loaded, flags, scratch, why, whyChars)) {
        outcome = kCompactDamaged;
    } else if (count > 0 && !ReadExactly(file, read, rowBytes)) {
        outcome = kCompactReadFailed;
    } else {
        RowCheck check{&loaded, flags, head.texts, 0, why, whyChars};
        for (; check.row < count; ++check.row) {
            if (!CheckRow(&check, read[check.row])) {
                outcome = kCompactDamaged;
                break;
            }
        }
    }
    FreeBlock(table);
    FreeBlock(flags);
    FreeBlock(scratch);
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
