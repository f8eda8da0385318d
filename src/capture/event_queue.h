// The EventQueue: a ring of 65536 rows in the AppState through which finished rows pass from the
// trace threads to the window thread. Writers are serialised by queueLock; the window thread is
// the single reader.
#pragma once

#include <cstdint>

#include "record/event_row.h"

namespace olv {

struct AppState; // app/app_state.h

// The ring's life: made zero-filled at Start when there is none (false when memory was refused),
// emptied (both indexes 0) before a recording, freed with its indexes set back at Stop and in
// every clean-up. Window thread, with no trace thread running.
bool MakeEventQueue(AppState* app);
void EmptyEventQueue(AppState* app);
void FreeEventQueue(AppState* app);

// Test hook, process-wide: rings made from now on have this many slots, a power of two from 4 to
// kQueueSlots (anything else, 0 included, means kQueueSlots). A test that proves nothing by the
// ring's size makes it small: the full ring's hundreds of megabytes are most of such a test's
// time under a sanitizer. The ring's size is then app->queueMask + 1.
void SetEventQueueSlots(uint32_t slots);

// Copies the row into the ring, or counts it in droppedHere when the ring is full or absent.
void QueueRow(AppState* app, const EventRow* row);
// Rows waiting: write - read, plus the slot count when write is the smaller (read without the
// lock).
uint32_t QueuedRowCount(const AppState* app);
// The same under queueLock, for a consistent count.
uint32_t QueuedRowCountLocked(AppState* app);

} // namespace olv
