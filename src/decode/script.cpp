// The PowerShell provider (script blocks and module logging's pipeline output) and the
// antimalware scan interface's provider (the content a program had scanned), as Process rows of
// followed processes.
//
// A script block longer than one event arrives in parts that share its block id; the parts are
// kept in the tracking state's script table until the last one, and a block whose parts never
// all arrive is written at Stop (FlushScriptBlocks) with the number missing. A row holds the
// first kScriptTextChars - 1 units of a text in its path; the whole text (up to
// kWholeTextMostUnits, a longer one is cut and counted) is read once into the decoding thread's
// buffer and goes with the row into the queue (TakeWholeRowText).
#include <cstddef>
#include <cstring>
#include <utility>

#include "base/atomic.h"
#include "base/format.h"
#include "base/text.h"
#include "decode/decode.h"
#include "decode/properties.h"
#include "platform/growth.h"
#include "platform/memory.h"
#include "platform/time.h"
#include "record/script_row.h"
#include "rules/threat_rules.h"

namespace olv {

namespace {

constexpr uint16_t kModuleOutputEvent = 4103;
constexpr uint16_t kScriptBlockEvent = 4104;
constexpr uint16_t kScanEvent = 1101;
// The first line of a text as the detail shows it.
constexpr size_t kFirstLineChars = 120;
// Content larger than this is described by its size and hash only.
constexpr uint32_t kContentReadLimit = 1u << 20;
constexpr uint32_t kContentStackBytes = 4096;
constexpr uint32_t kHashBytes = 32;
constexpr size_t kContextChars = 4096;

// --- whole texts ---

// The whole text of the last row made on this thread. Rows are queued on the thread that decoded
// them, right after their decode, so a buffer per thread needs no lock; it grows to the longest
// text the thread has seen. It is a plain record with no destructor: MinGW's thread-exit
// destructors of thread_local objects are not reliable under Wine (one ran on a thread's copy
// that held another's bytes), so a consumer thread frees it itself (ReleaseThreadWholeText).
struct ThreadWholeText {
    WholeText text;
    bool pending;
};
thread_local ThreadWholeText tWholeRow;

} // namespace

void ReleaseThreadWholeText() {
    FreeBlock(tWholeRow.text.units);
    tWholeRow.text = WholeText{};
    tWholeRow.pending = false;
}

namespace {

// Room for units units and a terminator; false when memory is refused.
bool ReserveText(WholeText* t, size_t units) {
    if (units > kWholeTextMostUnits) return false;
    if (units + 1 <= t->capacity) return true;
    // Capacities double from 2048: the limit is the power of two that holds the longest text.
    return GrowArray(&t->units, &t->capacity, t->length, units + 1, size_t{2048},
                     size_t{kWholeTextMostUnits} * 2);
}

// Appends units to t, cut at kWholeTextMostUnits; false when cut or memory was refused.
bool AppendUnits(WholeText* t, const char16_t* units, size_t count) {
    const size_t room = kWholeTextMostUnits - t->length;
    const size_t n = count < room ? count : room;
    if (!ReserveText(t, t->length + n)) return false;
    if (n > 0) std::memcpy(t->units + t->length, units, n * sizeof(char16_t));
    t->length += static_cast<uint32_t>(n);
    t->units[t->length] = 0;
    return n == count;
}

// Appends a text property's units (up to its first NUL) to t, up to kWholeTextMostUnits in all,
// read straight from the event into the buffer; the property's whole length into *full. False,
// nothing appended, when t could not grow.
bool AppendTextProperty(WholeText* t, const EventRecord* event, const char16_t* name,
                        uint32_t* full) {
    *full = 0;
    const uint32_t size = WideTextPropertyUnits(event, name);
    const uint32_t room = kWholeTextMostUnits - t->length;
    const uint32_t want = size < room ? size : room;
    if (!ReserveText(t, size_t{t->length} + want)) return false;
    uint32_t units = 0;
    ReadLongWideProperty(event, name, t->units + t->length, size_t{want} + 1, &units);
    *full = units;
    t->length += units < want ? units : want;
    t->units[t->length] = 0;
    return true;
}

// The row's path from the thread's whole text: its start, and the whole text is kept for the
// queue when it is longer than the path holds.
void PathFromWholeText(EventRow* row) {
    const WholeText& whole = tWholeRow.text;
    const size_t n = whole.length < kScriptTextChars - 1 ? whole.length : kScriptTextChars - 1;
    if (n > 0) std::memcpy(row->path, whole.units, n * sizeof(char16_t));
    row->path[n] = 0;
    tWholeRow.pending = whole.length > n;
}

bool IsLineEnd(char16_t c) {
    return c == u'\r' || c == u'\n';
}

bool IsBlankUnit(char16_t c) {
    return c == u' ' || c == u'\t' || IsLineEnd(c);
}

// The first line of text that holds more than blanks, cut at kFirstLineChars with an ellipsis.
void AppendFirstLine(char16_t* out, size_t capacity, const char16_t* text) {
    const char16_t* p = text;
    while (*p != 0 && IsBlankUnit(*p))
        ++p;
    size_t n = 0;
    while (p[n] != 0 && !IsLineEnd(p[n]))
        ++n;
    while (n > 0 && IsBlankUnit(p[n - 1]))
        --n;
    if (n == 0) {
        AppendBounded(out, capacity, u"(empty)");
        return;
    }
    if (n <= kFirstLineChars) {
        AppendBoundedN(out, capacity, p, n);
        return;
    }
    AppendBoundedN(out, capacity, p, kFirstLineChars - 1);
    AppendBounded(out, capacity, u"\u2026");
}

// A text property as the row's whole text (the thread's buffer) and its start as the row's path;
// returns the property's whole length. Without memory for the buffer the row keeps what its
// path holds, and a longer text is counted as cut.
uint32_t ReadWholeText(TrackingState* ts, const EventRecord* event, const char16_t* name,
                       EventRow* row) {
    uint32_t units = 0;
    tWholeRow.text.length = 0;
    tWholeRow.pending = false;
    // The common block fits the path: read straight into the row, its only copy.
    if (WideTextPropertyUnits(event, name) <= kScriptTextChars) {
        ReadLongWideProperty(event, name, row->path, kScriptTextChars, &units);
        if (units < kScriptTextChars) return units;
        // A terminator-less property of the field's whole size: read again as a whole text.
    }
    if (AppendTextProperty(&tWholeRow.text, event, name, &units)) {
        PathFromWholeText(row);
        return units;
    }
    ReadLongWideProperty(event, name, row->path, kScriptTextChars, &units);
    if (units >= kScriptTextChars) AtomicAdd(ts->scriptTextsCut, 1);
    return units;
}

struct ScriptFacts {
    uint64_t fullUnits;
    uint32_t parts;
    uint32_t missing;
    const char16_t* path;
    const char16_t* blockId;
};

// The detail and result of a script block row whose text is in row->path.
void FinishScriptRow(TrackingState* ts, EventRow* row, const ScriptFacts& facts) {
    AppendFirstLine(row->detail, kDetailChars, row->path);
    char16_t size[96];
    FormatText(size, 96, u" \u2014 %lu characters", facts.fullUnits);
    if (facts.parts > 1) FormatText(size + TextLength(size), 48, u" in %u parts", facts.parts);
    if (facts.missing > 0) FormatText(size + TextLength(size), 32, u", %u missing", facts.missing);
    AppendBounded(row->detail, kDetailChars, size);
    if (facts.path != nullptr && facts.path[0] != 0) {
        AppendBounded(row->detail, kDetailChars, kScriptPathMarker);
        AppendBounded(row->detail, kDetailChars, facts.path);
    }
    if (facts.blockId != nullptr && facts.blockId[0] != 0) {
        AppendBounded(row->detail, kDetailChars, kScriptBlockMarker);
        AppendBounded(row->detail, kDetailChars, facts.blockId);
    }
    CopyBounded(row->result, kResultChars, facts.missing > 0 ? u"Parts missing" : u"OK");
    if (facts.fullUnits > kWholeTextMostUnits) AtomicAdd(ts->scriptTextsCut, 1);
    AtomicAdd(ts->scriptBlocksSeen, 1);
}

// --- the table of blocks in parts (under ts->scripts.lock) ---

ScriptBlockSlot* FindBlock(PendingScripts& table, uint32_t pid, const char16_t* id) {
    for (ScriptBlockSlot& slot : table.slots) {
        if (slot.used != 0 && slot.pid == pid && TextEquals(slot.blockId, id)) return &slot;
    }
    return nullptr;
}

// A free slot, or the oldest one after its block was written into pushedOut (*pushed true).
ScriptBlockSlot* TakeSlot(TrackingState* ts, EventRow* pushedOut, bool* pushed);

void MarkSeen(ScriptBlockSlot& slot, uint32_t number) {
    if (number <= 64) slot.seenMask |= uint64_t{1} << (number - 1);
    ++slot.seen;
}

bool WasSeen(const ScriptBlockSlot& slot, uint32_t number) {
    return number <= 64 && (slot.seenMask & (uint64_t{1} << (number - 1))) != 0;
}

// Takes one part's text into the slot: in order straight onto the kept text, one part ahead of
// its turn into the early buffer, any other part only counted (its text is past the limit, or out
// of place). scratch is room for a part's first units.
void TakePart(TrackingState* ts, ScriptBlockSlot& slot, const EventRecord* event, uint32_t number,
              char16_t* scratch) {
    uint32_t units = 0;
    if (number == slot.nextPart) {
        if (!AppendTextProperty(&slot.text, event, u"ScriptBlockText", &units)) {
            // No memory for it: the text goes on without this part, which is counted.
            ReadLongWideProperty(event, u"ScriptBlockText", scratch, kScriptTextChars, &units);
            AtomicAdd(ts->scriptTextsCut, 1);
        }
        slot.fullUnits += units;
        ++slot.nextPart;
        if (slot.earlyPart != 0 && slot.earlyPart == slot.nextPart) {
            AppendUnits(&slot.text, slot.early.units, slot.early.length);
            slot.earlyPart = 0;
            ++slot.nextPart;
        }
        return;
    }
    if (slot.earlyPart == 0 && slot.text.length < kWholeTextMostUnits) {
        slot.early.length = 0;
        if (AppendTextProperty(&slot.early, event, u"ScriptBlockText", &units)) {
            slot.earlyPart = number;
            slot.fullUnits += units;
            return;
        }
    }
    ReadLongWideProperty(event, u"ScriptBlockText", scratch, kScriptTextChars, &units);
    slot.fullUnits += units;
    if (slot.text.length < kWholeTextMostUnits) {
        // Its text belongs inside what the row keeps but cannot be placed.
        slot.gap = 1;
        AtomicAdd(ts->scriptPartsOutOfPlace, 1);
    }
}

void StartRowAt(EventRow* row, uint32_t pid, uint32_t threadId, int64_t t) {
    std::memset(static_cast<void*>(row), 0, sizeof *row);
    if (t >= 0) FileTimeToLocalTime(t, &row->time);
    row->pid = pid;
    row->threadId = threadId;
    row->timestamp = static_cast<uint64_t>(t);
}

// Writes the block of the slot into row (the row's texts must be empty) and frees the slot.
void WriteBlock(TrackingState* ts, ScriptBlockSlot& slot, EventRow* row) {
    SetRowKind(row, RowKind::RanScriptBlock);
    if (slot.earlyPart != 0) {
        // A part after a missing one: its text follows a mark of the hole.
        AppendUnits(&slot.text, u" \u2026 ", 3);
        AppendUnits(&slot.text, slot.early.units, slot.early.length);
    }
    // The text becomes the thread's row text: the buffers are exchanged, not copied.
    std::swap(slot.text, tWholeRow.text);
    PathFromWholeText(row);
    const uint32_t missing = slot.total > slot.seen ? slot.total - slot.seen : 0;
    if (missing > 0) AtomicAdd(ts->scriptBlocksIncomplete, 1);
    FinishScriptRow(ts, row, {slot.fullUnits, slot.total, missing, slot.path, slot.blockId});
    slot.used = 0;
}

ScriptBlockSlot* TakeSlot(TrackingState* ts, EventRow* pushedOut, bool* pushed) {
    PendingScripts& table = ts->scripts;
    ScriptBlockSlot* oldest = nullptr;
    for (ScriptBlockSlot& slot : table.slots) {
        if (slot.used == 0) return &slot;
        if (oldest == nullptr || slot.order < oldest->order) oldest = &slot;
    }
    StartRowAt(pushedOut, oldest->pid, oldest->threadId, oldest->firstTime);
    WriteBlock(ts, *oldest, pushedOut);
    *pushed = true;
    return oldest;
}

// Scores a row the decoder hands on by itself (not through DecodeEvent).
void NameAndScore(TrackingState* ts, EventRow* row) {
    const int64_t t = static_cast<int64_t>(row->timestamp);
    if (!LookupProcessName(ts, row->pid, t, row->process, kProcessChars)) row->process[0] = 0;
    const int32_t severity = ScoreRowOfKind(row, RowKind::RanScriptBlock, row->threat,
                                            kThreatChars);
    row->severity = severity > 0 ? static_cast<uint32_t>(severity) : 0;
}

void SendRow(TrackingState* ts, EventRow* row) {
    NameAndScore(ts, row);
    if (ts->rowSink != nullptr) ts->rowSink(ts->rowSinkContext, row);
}

bool DecodeScriptBlock(TrackingState* ts, const EventRecord* event, EventRow* row, RowKind* kind) {
    const uint32_t number = ReadIntProperty(event, u"MessageNumber");
    const uint32_t total = ReadIntProperty(event, u"MessageTotal");
    char16_t id[kScriptBlockIdChars];
    ReadWideStringProperty(event, u"ScriptBlockId", id, kScriptBlockIdChars);
    char16_t path[kScriptPathChars];
    ReadWideStringProperty(event, u"Path", path, kScriptPathChars);

    if (total <= 1) {
        // The usual block: one event, its text read straight into the row.
        StartRow(event, row);
        *kind = SetRowKind(row, RowKind::RanScriptBlock);
        FinishScriptRow(ts, row, {ReadWholeText(ts, event, u"ScriptBlockText", row), 1, 0, path, id});
        return true;
    }
    if (number == 0 || number > total) {
        AtomicAdd(ts->scriptPartsOutOfPlace, 1);
        return false;
    }

    const EventHeader& header = event->header;
    bool pushed = false;
    bool complete = false;
    EventRow pushedRow; // a block pushed out of a full table, sent once the lock is released
    {
        LockGuard guard(&ts->scripts.lock);
        PendingScripts& table = ts->scripts;
        ScriptBlockSlot* slot = FindBlock(table, header.processId, id);
        if (slot == nullptr) {
            slot = TakeSlot(ts, &pushedRow, &pushed);
            std::memset(static_cast<void*>(slot), 0, offsetof(ScriptBlockSlot, text));
            slot->text.length = 0;
            slot->early.length = 0;
            slot->used = 1;
            slot->pid = header.processId;
            slot->threadId = header.threadId;
            slot->firstTime = header.timeStamp;
            slot->order = ++table.arrivals;
            slot->total = total;
            slot->nextPart = 1;
            CopyBounded(slot->blockId, kScriptBlockIdChars, id);
            CopyBounded(slot->path, kScriptPathChars, path);
        }
        if (!WasSeen(*slot, number)) { // a part delivered twice adds nothing
            MarkSeen(*slot, number);
            // The row is free until the block completes: its path is the scratch room.
            TakePart(ts, *slot, event, number, row->path);
            complete = slot->seen >= slot->total;
            if (complete) {
                StartRow(event, row);
                WriteBlock(ts, *slot, row);
                *kind = RowKind::RanScriptBlock;
            }
        }
    }
    if (pushed) SendRow(ts, &pushedRow);
    return complete;
}

// The lines of ContextInfo that say what ran, as "Name = value; ...".
void AppendContext(char16_t* out, size_t capacity, const char16_t* context) {
    static const char16_t* const kNames[] = {u"Command Name", u"Command Type", u"Script Name",
                                             u"Host Application"};
    bool wrote = false;
    for (const char16_t* name : kNames) {
        const ptrdiff_t at = FindText(context, name);
        if (at < 0) continue;
        const char16_t* p = context + at + TextLength(name);
        while (*p == u' ')
            ++p;
        if (*p != u'=') continue;
        ++p;
        while (*p == u' ')
            ++p;
        size_t n = 0;
        while (p[n] != 0 && !IsLineEnd(p[n]))
            ++n;
        if (n == 0) continue;
        if (wrote) AppendBounded(out, capacity, u"; ");
        AppendBounded(out, capacity, name);
        AppendBounded(out, capacity, u" = ");
        AppendBoundedN(out, capacity, p, n);
        wrote = true;
    }
}

bool DecodeModuleOutput(TrackingState* ts, const EventRecord* event, EventRow* row,
                        RowKind* kind) {
    StartRow(event, row);
    *kind = SetRowKind(row, RowKind::LoggedModuleOutput);
    if (ReadWholeText(ts, event, u"Payload", row) > kWholeTextMostUnits) {
        AtomicAdd(ts->scriptTextsCut, 1);
    }
    uint32_t units = 0;
    char16_t context[kContextChars];
    ReadLongWideProperty(event, u"ContextInfo", context, kContextChars, &units);
    AppendContext(row->detail, kDetailChars, context);
    CopyBounded(row->result, kResultChars, u"OK");
    return true;
}

const char16_t* ScanResultText(uint32_t result) {
    if (result == 0) return u"Clean";
    if (result == 1) return u"Not detected";
    if (result >= 0x4000 && result <= 0x4FFF) return u"Blocked by administrator";
    if (result >= 0x8000) return u"Detected";
    return nullptr;
}

bool IsTextUnit(char16_t c) {
    return c >= 0x20 ? (c != 0xFFFE && c != 0xFFFF) : (c == u'\t' || IsLineEnd(c));
}

// The content as the row's whole text (and its start as the path) when every unit of it is text,
// as 8-bit text or as UTF-16. Counts a text cut at kWholeTextMostUnits; without memory for the
// whole text the row keeps what its path holds, and a longer text is counted as cut.
bool ContentAsText(TrackingState* ts, const uint8_t* bytes, uint32_t size, EventRow* row) {
    if (size == 0) return false;
    // 8-bit text first: UTF-16 text of a script written in ASCII holds zero bytes, which 8-bit
    // text never does, while 8-bit text of an even length could pass for UTF-16.
    bool narrow = true;
    for (uint32_t i = 0; i < size && narrow; ++i)
        narrow = bytes[i] < 0x80 && IsTextUnit(bytes[i]);
    uint32_t units = size;
    if (!narrow) {
        if (size % 2 != 0) return false;
        units = size / 2;
        for (uint32_t i = 0; i < units; ++i) {
            char16_t c;
            std::memcpy(&c, bytes + 2 * i, 2);
            if (c == 0 && i + 1 == units) {
                units = i; // a terminator at the end
                break;
            }
            if (!IsTextUnit(c)) return false;
        }
        if (units == 0) return false;
    }
    WholeText& whole = tWholeRow.text;
    whole.length = 0;
    uint32_t n = units < kWholeTextMostUnits ? units : kWholeTextMostUnits;
    char16_t* out = row->path;
    if (ReserveText(&whole, n)) {
        out = whole.units;
    } else if (n > kScriptTextChars - 1) {
        n = kScriptTextChars - 1;
    }
    if (narrow) {
        for (uint32_t i = 0; i < n; ++i)
            out[i] = bytes[i];
    } else {
        std::memcpy(out, bytes, size_t{n} * 2);
        ReplaceUnpairedSurrogates(out, n);
    }
    out[n] = 0;
    if (n < units) AtomicAdd(ts->scriptTextsCut, 1);
    if (out == whole.units) {
        whole.length = n;
        PathFromWholeText(row);
    } else {
        tWholeRow.pending = false;
    }
    return true;
}

struct ContentBuffer {
    uint8_t stack[kContentStackBytes];
    uint8_t* heap = nullptr;
    ~ContentBuffer() { FreeBlock(heap); }
    uint8_t* Take(uint32_t bytes) {
        if (bytes <= sizeof stack) return stack;
        heap = static_cast<uint8_t*>(AllocZeroed(bytes));
        return heap;
    }
};

bool DecodeScan(TrackingState* ts, const EventRecord* event, EventRow* row, RowKind* kind) {
    StartRow(event, row);
    *kind = SetRowKind(row, RowKind::ScannedContent);
    char16_t app[kScriptPathChars];
    ReadWideStringProperty(event, u"appname", app, kScriptPathChars);
    char16_t name[kScriptPathChars];
    ReadWideStringProperty(event, u"contentname", name, kScriptPathChars);
    const uint32_t contentSize = ReadIntProperty(event, u"contentsize");

    uint32_t size = 0;
    bool text = false;
    ContentBuffer buffer;
    ReadBytesProperty(event, u"content", nullptr, 0, &size);
    if (size > 0 && size <= kContentReadLimit) {
        uint8_t* bytes = buffer.Take(size);
        if (bytes != nullptr && ReadBytesProperty(event, u"content", bytes, size, &size)) {
            text = ContentAsText(ts, bytes, size, row);
        }
    }
    if (!text) CopyBounded(row->path, kPathChars, u"(binary content)");

    AppendBounded(row->detail, kDetailChars, app[0] != 0 ? app : u"(no application)");
    if (name[0] != 0) {
        AppendBounded(row->detail, kDetailChars, u": ");
        AppendBounded(row->detail, kDetailChars, name);
    }
    char16_t line[96];
    FormatText(line, 96, u" \u2014 %lu bytes", contentSize != 0 ? contentSize : size);
    AppendBounded(row->detail, kDetailChars, line);
    uint8_t hash[kHashBytes];
    uint32_t hashSize = 0;
    if (!text && ReadBytesProperty(event, u"hash", hash, kHashBytes, &hashSize) &&
        hashSize == kHashBytes) {
        char16_t hex[2 * kHashBytes + 1];
        for (uint32_t i = 0; i < kHashBytes; ++i)
            FormatText(hex + 2 * i, 3, u"%02x", static_cast<uint32_t>(hash[i]));
        AppendBounded(row->detail, kDetailChars, u" \u2014 SHA-256 ");
        AppendBounded(row->detail, kDetailChars, hex);
    }
    const uint32_t result = ReadIntProperty(event, u"scanResult");
    const char16_t* resultText = ScanResultText(result);
    if (resultText != nullptr) {
        CopyBounded(row->result, kResultChars, resultText);
    } else {
        FormatText(row->result, kResultChars, u"Result %lu", result);
    }
    return true;
}

} // namespace

bool DecodePowerShellEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                           RowKind* kind) {
    tWholeRow.pending = false;
    if (ts == nullptr || event == nullptr || row == nullptr || kind == nullptr) return false;
    const uint16_t id = event->header.descriptor.id;
    if (id != kScriptBlockEvent && id != kModuleOutputEvent) return false;
    if (!IsProcessFollowed(ts, event->header.processId, t)) return false;
    if (id == kScriptBlockEvent) return DecodeScriptBlock(ts, event, row, kind);
    return DecodeModuleOutput(ts, event, row, kind);
}

bool DecodeAmsiEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                     RowKind* kind) {
    tWholeRow.pending = false;
    if (ts == nullptr || event == nullptr || row == nullptr || kind == nullptr) return false;
    if (event->header.descriptor.id != kScanEvent) return false;
    if (!IsProcessFollowed(ts, event->header.processId, t)) return false;
    return DecodeScan(ts, event, row, kind);
}

bool TakeWholeRowText(const char16_t** text, uint32_t* units) {
    const bool pending = tWholeRow.pending && tWholeRow.text.length > 0;
    tWholeRow.pending = false;
    if (!pending) return false;
    *text = tWholeRow.text.units;
    *units = tWholeRow.text.length;
    return true;
}

void FlushScriptBlocks(TrackingState* ts) {
    if (ts == nullptr || ts->scripts.lock.initialised == 0) return;
    EventRow row;
    for (;;) {
        bool found = false;
        {
            LockGuard guard(&ts->scripts.lock);
            ScriptBlockSlot* first = nullptr;
            for (ScriptBlockSlot& slot : ts->scripts.slots) {
                if (slot.used != 0 && (first == nullptr || slot.order < first->order)) {
                    first = &slot;
                }
            }
            if (first != nullptr) {
                StartRowAt(&row, first->pid, first->threadId, first->firstTime);
                WriteBlock(ts, *first, &row);
                found = true;
            }
        }
        if (!found) return;
        SendRow(ts, &row);
    }
}

} // namespace olv
