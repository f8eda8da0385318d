#include "capture/event_queue.h"

#include "platform/memory.h"
#include "record/app_state.h"

#include <cstring>

#include "base/atomic.h"

namespace olv {

namespace {

uint32_t gSlotsOfNewRings = kQueueSlots;

uint32_t Waiting(const AppState* app, uint32_t write, uint32_t read) {
    return (write - read) & app->queueMask;
}

} // namespace

void SetEventQueueSlots(uint32_t slots) {
    const bool powerOfTwo = slots != 0 && (slots & (slots - 1)) == 0;
    gSlotsOfNewRings = powerOfTwo && slots >= 4 && slots <= kQueueSlots ? slots : kQueueSlots;
}

// Runs on the trace threads: one bounded copy under a short lock, or one atomic increment.
// Nothing here allocates, formats or touches a window.
void QueueRow(AppState* app, const EventRow* row) {
    if (app->queueSlots == nullptr || app->queueExtents == nullptr || row == nullptr) {
        AtomicAdd(app->droppedHere, 1);
        return;
    }
    EnterLock(&app->queueLock);
    const uint32_t write = app->queueWrite;
    const uint32_t next = (write + 1) & app->queueMask;
    if (next == AtomicLoad(app->queueRead)) {
        LeaveLock(&app->queueLock);
        AtomicAdd(app->droppedHere, 1);
        return;
    }
    // Only what the row holds is written: a few hundred of its 3256 bytes, mostly. The ring is
    // far larger than the caches, so the lines of the slot after the next are asked for now: a
    // short event decodes in less time than memory takes to bring them, so asking one slot ahead
    // left the next row waiting for them.
    CopyRowIntoSlot(&app->queueSlots[write], &app->queueExtents[write], row);
    AtomicStore(app->queueWrite, next); // after the slot's bytes (a release store)
    PrefetchLiveLines(&app->queueSlots[(next + 1) & app->queueMask]);
    LeaveLock(&app->queueLock);
}

bool MakeEventQueue(AppState* app) {
    if (app->queueSlots == nullptr) {
        // Both blocks start zeroed, as the extents' rule needs.
        FreeBlock(app->queueExtents);
        app->queueExtents = nullptr;
        const uint32_t slots = gSlotsOfNewRings;
        app->queueMask = slots - 1;
        app->queueSlots = static_cast<EventRow*>(AllocZeroed(sizeof(EventRow) * slots));
        if (app->queueSlots != nullptr) {
            app->queueExtents = static_cast<SlotExtents*>(AllocZeroed(sizeof(SlotExtents) * slots));
        }
        if (app->queueExtents == nullptr) FreeEventQueue(app);
    }
    return app->queueSlots != nullptr;
}

void EmptyEventQueue(AppState* app) {
    AtomicStore(app->queueWrite, 0);
    AtomicStore(app->queueRead, 0);
}

void FreeEventQueue(AppState* app) {
    FreeBlock(app->queueSlots);
    app->queueSlots = nullptr;
    FreeBlock(app->queueExtents);
    app->queueExtents = nullptr;
    EmptyEventQueue(app);
}

uint32_t QueuedRowCount(const AppState* app) {
    const uint32_t read = AtomicLoad(app->queueRead);
    const uint32_t write = AtomicLoad(app->queueWrite);
    return Waiting(app, write, read);
}

uint32_t QueuedRowCountLocked(AppState* app) {
    LockGuard guard(&app->queueLock);
    return Waiting(app, AtomicLoad(app->queueWrite), AtomicLoad(app->queueRead));
}

} // namespace olv
