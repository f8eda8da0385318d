// The EventQueue: a ring of row records (capture/row_record.h) in the Recording through which
// finished rows pass from the trace threads to the window thread. Writers are serialised by
// queueLock; the window thread is the single reader. The ring is bounded in bytes
// (kQueueBytes), not in rows: a row that does not fit is dropped and counted.
#pragma once

#include <cstdint>

#include "capture/row_record.h"
#include "record/event_row.h"

namespace olv {

struct Recording; // record/recording.h

// The writer's and the reader's previous rows, allocated with the ring.
struct QueueCoders {
    RowRecordCoder writer; // under queueLock
    RowRecordCoder reader; // window thread
};

// The ring's life: made zero-filled at Start when there is none (false when memory was refused),
// emptied before a recording, freed with its positions set back at Stop and in every clean-up.
// Window thread, with no trace thread running.
bool MakeEventQueue(Recording* app);
void EmptyEventQueue(Recording* app);
void FreeEventQueue(Recording* app);

// Test hook, process-wide: rings made from now on have this many bytes, a power of two from
// kSmallestQueueBytes to kQueueBytes (anything else, 0 included, means kQueueBytes). A test that
// proves nothing by the ring's size makes it small. The ring's size is then app->queueMask + 1.
constexpr uint32_t kSmallestQueueBytes = 8192; // above the largest record
void SetEventQueueBytes(uint32_t bytes);

// Writes the row's record into the ring, or counts the row in droppedHere when the ring has no
// room for it or is absent. Trace threads; nothing here allocates, formats or touches a window.
void QueueRow(Recording* app, const EventRow* row);
// The same for a row whose path is the start of a longer text: the whole text (units units, at
// most kTextStoreLongestText) goes into the ring just before the row, in the same lock, and the
// reader stores it as the row's path. When the ring has room for the row but not for its text,
// the row goes alone (its path as it is) and the text is counted in textsCutHere: a long text
// never costs a row.
void QueueRowWithText(Recording* app, const EventRow* row, const char16_t* text, uint32_t units);
// Rows waiting (read without the lock).
uint32_t QueuedRowCount(const Recording* app);
// The same under queueLock, for a consistent count.
uint32_t QueuedRowCountLocked(Recording* app);

// Reading, on the window thread: BeginQueueRead notes the rows published so far, NextQueuedRow
// decodes them one by one (the row lives in the reader's coder until the next call; null when
// none is left), and EndQueueRead gives the bytes read back to the writers. A read may stop at any
// row; the rest stay queued.
struct QueueRead {
    uint32_t at;      // byte position of the next record
    uint32_t end;     // bytes published when the read began
    uint32_t rows;    // rows decoded
    uint32_t damaged; // a record could not be read: EndQueueRead drops the rest
    // The next record's path hash, made by NextQueuedRow with changes (nextPathUnits 0 when there
    // is none): the reader asks for its index slot while it stores the row before.
    uint64_t nextPathHash;
    uint16_t nextPathUnits;
    // The whole text of the row NextQueuedRow returned last (wholeUnits 0 when it has none), in the
    // ring until EndQueueRead.
    const char16_t* wholeText;
    uint32_t wholeUnits;
};
void BeginQueueRead(Recording* app, QueueRead* read);
// With changes, also what the row's record changed from the row before (RowChangesOf).
const EventRow* NextQueuedRow(Recording* app, QueueRead* read, RowChanges* changes = nullptr);
void EndQueueRead(Recording* app, const QueueRead* read);

// Test hook: decodes up to `capacity` waiting rows, oldest first, into rows[] without taking
// anything from the ring; returns how many.
uint32_t PeekQueuedRows(const Recording* app, EventRow* rows, uint32_t capacity);

} // namespace olv
