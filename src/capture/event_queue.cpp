#include "capture/event_queue.h"

#include "platform/memory.h"
#include "record/recording.h"

#include <cstring>

#include "base/atomic.h"

namespace olv {

namespace {

static_assert(kSmallestQueueBytes >= 2 * kLargestRowRecord, "a small ring holds any row");
static_assert(kLargestRowRecord <= UINT16_MAX, "a record's size fits its head");

uint32_t gBytesOfNewRings = kQueueBytes;

// Where the next record starts when the record at `at` is a wrap marker or a whole record, or
// `end` when the bytes there are damaged (the reader's coder no longer follows the writer's, so
// nothing after them can be read).
const uint8_t* RecordAt(const Recording* app, uint32_t* at, uint32_t end) {
    const uint32_t size = app->queueMask + 1;
    const uint32_t place = *at & app->queueMask;
    uint16_t head;
    std::memcpy(&head, app->queueBytes + place, sizeof head);
    if (head == kRecordWrapMarker) {
        *at += size - place;
        if (*at == end) return nullptr;
        return app->queueBytes;
    }
    return app->queueBytes + place;
}

// The bytes a record at `record` (at position `at`) may take: up to what was published and to the
// ring's end.
size_t BytesFrom(const Recording* app, const uint8_t* record, uint32_t at, uint32_t end) {
    const uint32_t place = static_cast<uint32_t>(record - app->queueBytes);
    const uint32_t published = end - at;
    const uint32_t toEnd = app->queueMask + 1 - place;
    return published < toEnd ? published : toEnd;
}

// Decodes the record at *at (before end) with `coder` and moves past it; false when no record
// could be read (nothing left, or damage).
bool DecodeNext(const Recording* app, RowRecordCoder* coder, uint32_t* at, uint32_t end,
                const char16_t** wholeText = nullptr, uint32_t* wholeUnits = nullptr) {
    if (wholeUnits != nullptr) *wholeUnits = 0;
    if (*at == end) return false;
    const uint8_t* record = RecordAt(app, at, end);
    if (record == nullptr) return false;
    uint16_t head;
    std::memcpy(&head, record, sizeof head);
    if (head == kRecordWholeText) {
        // A whole text, then its row: a text with no row behind it is damage.
        const size_t available = BytesFrom(app, record, *at, end);
        uint32_t units = 0;
        if (available < kWholeTextRecordHead) return false;
        std::memcpy(&units, record + sizeof(uint32_t), sizeof units);
        if (units == 0 || units > kTextStoreLongestText ||
            WholeTextRecordBytes(units) > available) {
            return false;
        }
        *at += static_cast<uint32_t>(WholeTextRecordBytes(units));
        if (*at == end) return false;
        const uint8_t* rowRecord = RecordAt(app, at, end);
        if (rowRecord == nullptr) return false;
        uint16_t rowHead;
        std::memcpy(&rowHead, rowRecord, sizeof rowHead);
        if (rowHead == kRecordWholeText) return false;
        if (wholeUnits != nullptr) {
            // Records start at even offsets of an allocated ring: the units are 2-byte aligned.
            *wholeText = reinterpret_cast<const char16_t*>(record + kWholeTextRecordHead);
            *wholeUnits = units;
        }
        record = rowRecord;
    }
    const size_t taken = DecodeRowRecord(coder, record, BytesFrom(app, record, *at, end));
    if (taken == 0) return false;
    *at += static_cast<uint32_t>(taken);
    return true;
}

} // namespace

void SetEventQueueBytes(uint32_t bytes) {
    const bool powerOfTwo = bytes != 0 && (bytes & (bytes - 1)) == 0;
    gBytesOfNewRings =
        powerOfTwo && bytes >= kSmallestQueueBytes && bytes <= kQueueBytes ? bytes : kQueueBytes;
}

namespace {

// Writes the row's record at position write (nothing published yet); the bytes it advanced, or 0
// when the ring has no room for it. A record that does not fit before the ring's end goes to its
// start, behind a wrap marker, when there is room there.
uint32_t PlaceRowRecord(Recording* app, uint32_t write, const EventRow* row) {
    const uint32_t size = app->queueMask + 1;
    const uint32_t free = size - (write - AtomicLoad(app->queueRead));
    const uint32_t place = write & app->queueMask;
    const uint32_t toEnd = size - place;
    RowRecordCoder* coder = &app->queueCoders->writer;
    const auto advance = static_cast<uint32_t>(
        EncodeRowRecord(coder, row, app->queueBytes + place, free < toEnd ? free : toEnd));
    if (advance != 0 || free <= toEnd) return advance;
    const size_t atStart = EncodeRowRecord(coder, row, app->queueBytes, free - toEnd);
    if (atStart == 0) return 0;
    std::memset(app->queueBytes + place, 0, sizeof(uint16_t)); // the wrap marker
    return toEnd + static_cast<uint32_t>(atStart);
}

// The same for a whole-text record; the units are copied straight into the ring.
uint32_t PlaceTextRecord(Recording* app, uint32_t write, const char16_t* text, uint32_t units) {
    const uint32_t size = app->queueMask + 1;
    const uint32_t free = size - (write - AtomicLoad(app->queueRead));
    const uint32_t place = write & app->queueMask;
    const uint32_t toEnd = size - place;
    const size_t bytes = WholeTextRecordBytes(units);
    uint32_t at = place;
    uint32_t skipped = 0;
    if (bytes > free || bytes > toEnd) {
        if (free <= toEnd || bytes > free - toEnd) return 0;
        std::memset(app->queueBytes + place, 0, sizeof(uint16_t)); // the wrap marker
        at = 0;
        skipped = toEnd;
    }
    uint8_t* out = app->queueBytes + at;
    const uint16_t head[2] = {kRecordWholeText, 0};
    std::memcpy(out, head, sizeof head);
    std::memcpy(out + sizeof head, &units, sizeof units);
    std::memcpy(out + kWholeTextRecordHead, text, size_t{units} * sizeof(char16_t));
    return skipped + static_cast<uint32_t>(bytes);
}

void PublishRow(Recording* app, uint32_t write, uint32_t advance) {
    // Counted before it is published, so that the reader never counts more rows out than in.
    AtomicAdd(app->queueRowsIn, 1);
    AtomicStore(app->queueWrite, write + advance); // after the record's bytes (a release store)
}

} // namespace

// Runs on the trace threads: one record written under a short lock, or one atomic increment.
void QueueRow(Recording* app, const EventRow* row) {
    QueueRowWithText(app, row, nullptr, 0);
}

void QueueRowWithText(Recording* app, const EventRow* row, const char16_t* text, uint32_t units) {
    if (app->queueBytes == nullptr || app->queueCoders == nullptr || row == nullptr) {
        AtomicAdd(app->droppedHere, 1);
        return;
    }
    const bool whole = text != nullptr && units != 0;
    EnterLock(&app->queueLock);
    const uint32_t write = app->queueWrite;
    if (whole && units <= kTextStoreLongestText) {
        // The text first, then its row right behind it; published together or not at all.
        const uint32_t textBytes = PlaceTextRecord(app, write, text, units);
        const uint32_t rowBytes = textBytes != 0 ? PlaceRowRecord(app, write + textBytes, row) : 0;
        if (rowBytes != 0) {
            PublishRow(app, write, textBytes + rowBytes);
            LeaveLock(&app->queueLock);
            return;
        }
    }
    const uint32_t advance = PlaceRowRecord(app, write, row);
    if (advance == 0) {
        LeaveLock(&app->queueLock);
        AtomicAdd(app->droppedHere, 1);
        return;
    }
    PublishRow(app, write, advance);
    LeaveLock(&app->queueLock);
    if (whole) AtomicAdd(app->textsCutHere, 1);
}

bool MakeEventQueue(Recording* app) {
    if (app->queueBytes == nullptr) {
        FreeBlock(app->queueCoders);
        app->queueCoders = nullptr;
        const uint32_t bytes = gBytesOfNewRings;
        app->queueMask = bytes - 1;
        app->queueBytes = static_cast<uint8_t*>(AllocZeroed(bytes));
        if (app->queueBytes != nullptr) app->queueCoders = AllocRecord<QueueCoders>();
        if (app->queueCoders == nullptr) FreeEventQueue(app);
        EmptyEventQueue(app);
    }
    return app->queueBytes != nullptr;
}

void EmptyEventQueue(Recording* app) {
    AtomicStore(app->queueWrite, 0);
    AtomicStore(app->queueRead, 0);
    AtomicStore(app->queueRowsIn, 0);
    AtomicStore(app->queueRowsOut, 0);
    // The next record holds every member: the reader may have left records unread.
    if (app->queueCoders != nullptr) {
        app->queueCoders->writer.hasLast = 0;
        app->queueCoders->reader.hasLast = 0;
    }
}

void FreeEventQueue(Recording* app) {
    FreeBlock(app->queueBytes);
    app->queueBytes = nullptr;
    FreeBlock(app->queueCoders);
    app->queueCoders = nullptr;
    EmptyEventQueue(app);
}

uint32_t QueuedRowCount(const Recording* app) {
    const uint32_t out = AtomicLoad(app->queueRowsOut);
    return AtomicLoad(app->queueRowsIn) - out;
}

uint32_t QueuedRowCountLocked(Recording* app) {
    LockGuard guard(&app->queueLock);
    return QueuedRowCount(app);
}

void BeginQueueRead(Recording* app, QueueRead* read) {
    read->at = AtomicLoad(app->queueRead);
    read->end = app->queueBytes != nullptr ? AtomicLoad(app->queueWrite) : read->at;
    read->rows = 0;
    read->damaged = 0;
    read->nextPathHash = 0;
    read->nextPathUnits = 0;
    read->wholeText = nullptr;
    read->wholeUnits = 0;
}

const EventRow* NextQueuedRow(Recording* app, QueueRead* read, RowChanges* changes) {
    // The path hash made ahead is this record's: it was made at the position read now.
    const uint16_t pathHashUnits = read->nextPathUnits;
    read->nextPathUnits = 0;
    if (read->at == read->end || read->damaged != 0) return nullptr;
    RowRecordCoder* coder = &app->queueCoders->reader;
    if (!DecodeNext(app, coder, &read->at, read->end, &read->wholeText, &read->wholeUnits)) {
        read->damaged = 1;
        return nullptr;
    }
    ++read->rows;
    if (changes != nullptr) {
        RowChangesOf(coder, changes);
        changes->pathHash = read->nextPathHash;
        changes->pathHashUnits = pathHashUnits;
        uint32_t at = read->at;
        const uint8_t* next = at != read->end ? RecordAt(app, &at, read->end) : nullptr;
        if (next != nullptr && !RecordPathHash(next, BytesFrom(app, next, at, read->end),
                                               &read->nextPathHash, &read->nextPathUnits)) {
            read->nextPathUnits = 0;
        }
    }
    return &coder->last;
}

void EndQueueRead(Recording* app, const QueueRead* read) {
    if (app->queueBytes == nullptr) return;
    if (read->damaged == 0) {
        AtomicAdd(app->queueRowsOut, read->rows);
        AtomicStore(app->queueRead, read->at); // only after the rows were decoded
        return;
    }
    // Never seen: only the writer writes the ring. Rows that cannot be read are counted as
    // dropped rather than read wrongly; the ring starts afresh with a record holding every member.
    LockGuard guard(&app->queueLock);
    const uint32_t lost = AtomicLoad(app->queueRowsIn) - AtomicLoad(app->queueRowsOut) - read->rows;
    AtomicAdd(app->droppedHere, lost);
    AtomicStore(app->queueRowsOut, AtomicLoad(app->queueRowsIn));
    app->queueCoders->writer.hasLast = 0;
    AtomicStore(app->queueRead, AtomicLoad(app->queueWrite));
}

uint32_t PeekQueuedRows(const Recording* app, EventRow* rows, uint32_t capacity) {
    if (app->queueBytes == nullptr) return 0;
    RowRecordCoder coder = app->queueCoders->reader;
    uint32_t at = AtomicLoad(app->queueRead);
    const uint32_t end = AtomicLoad(app->queueWrite);
    uint32_t n = 0;
    for (; n < capacity && DecodeNext(app, &coder, &at, end); ++n)
        std::memcpy(static_cast<void*>(&rows[n]), &coder.last, sizeof(EventRow));
    return n;
}

} // namespace olv
