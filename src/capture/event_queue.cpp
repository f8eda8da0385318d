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
bool DecodeNext(const Recording* app, RowRecordCoder* coder, uint32_t* at, uint32_t end) {
    if (*at == end) return false;
    const uint8_t* record = RecordAt(app, at, end);
    if (record == nullptr) return false;
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

// Runs on the trace threads: one record written under a short lock, or one atomic increment.
// A record that does not fit before the ring's end goes to its start, behind a wrap marker, when
// there is room there.
void QueueRow(Recording* app, const EventRow* row) {
    if (app->queueBytes == nullptr || app->queueCoders == nullptr || row == nullptr) {
        AtomicAdd(app->droppedHere, 1);
        return;
    }
    EnterLock(&app->queueLock);
    const uint32_t size = app->queueMask + 1;
    const uint32_t write = app->queueWrite;
    const uint32_t free = size - (write - AtomicLoad(app->queueRead));
    const uint32_t place = write & app->queueMask;
    const uint32_t toEnd = size - place;
    RowRecordCoder* coder = &app->queueCoders->writer;
    uint32_t advance = static_cast<uint32_t>(
        EncodeRowRecord(coder, row, app->queueBytes + place, free < toEnd ? free : toEnd));
    if (advance == 0 && free > toEnd) {
        const size_t atStart = EncodeRowRecord(coder, row, app->queueBytes, free - toEnd);
        if (atStart != 0) {
            std::memset(app->queueBytes + place, 0, sizeof(uint16_t)); // the wrap marker
            advance = toEnd + static_cast<uint32_t>(atStart);
        }
    }
    if (advance == 0) {
        LeaveLock(&app->queueLock);
        AtomicAdd(app->droppedHere, 1);
        return;
    }
    // Counted before it is published, so that the reader never counts more rows out than in.
    AtomicAdd(app->queueRowsIn, 1);
    AtomicStore(app->queueWrite, write + advance); // after the record's bytes (a release store)
    LeaveLock(&app->queueLock);
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
}

const EventRow* NextQueuedRow(Recording* app, QueueRead* read, RowChanges* changes) {
    // The path hash made ahead is this record's: it was made at the position read now.
    const uint16_t pathHashUnits = read->nextPathUnits;
    read->nextPathUnits = 0;
    if (read->at == read->end || read->damaged != 0) return nullptr;
    RowRecordCoder* coder = &app->queueCoders->reader;
    if (!DecodeNext(app, coder, &read->at, read->end)) {
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
