#include "capture/event_queue.h"

#include <cstring>

#include "app/app_state.h"
#include "base/atomic.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/thread.h"
#include "views/row_store.h"

using namespace olv;

namespace {

struct QueueFixture {
    AppState* app;
    QueueFixture() {
        ResetAllocationFaults();
        ResetHeadlessUi();
        app = AllocRecord<AppState>();
        InitAppState(app);
        WireHeadlessControls(app);
        app->queueSlots = static_cast<EventRow*>(AllocZeroed(kQueueSlots * sizeof(EventRow)));
    }
    ~QueueFixture() {
        ResetAllocationFaults();
        CleanUpAppState(app);
        FreeBlock(app);
    }
};

EventRow Numbered(uint32_t producer, uint32_t sequence) {
    EventRow row{};
    row.category = kCategoryFile;
    row.pid = producer;
    row.threadId = sequence;
    return row;
}

} // namespace

TEST_CASE_FIXTURE(QueueFixture,
                  "a full ring drops the newest row and takes rows again after a batch") {
    EventRow row = Numbered(1, 0);
    uint32_t queued = 0;
    while (AtomicLoad(app->droppedHere) == 0) {
        row.threadId = queued;
        QueueRow(app, &row);
        if (AtomicLoad(app->droppedHere) == 0) ++queued;
    }
    CHECK(queued == kQueueSlots - 1); // one slot always stays unused
    CHECK(QueuedRowCount(app) == kQueueSlots - 1);
    CHECK(QueuedRowCountLocked(app) == kQueueSlots - 1);
    CHECK(app->queueWrite == kQueueSlots - 1);
    // The dropped row overwrote nothing: the newest waiting row is still the last one queued.
    CHECK(app->queueSlots[kQueueSlots - 2].threadId == kQueueSlots - 2);

    IngestQueuedRows(app);
    CHECK(app->rowCount == kIngestBatch);
    CHECK(QueuedRowCount(app) == kQueueSlots - 1 - kIngestBatch);
    row.threadId = 999999;
    QueueRow(app, &row);
    CHECK(AtomicLoad(app->droppedHere) == 1);
    CHECK(QueuedRowCount(app) == kQueueSlots - kIngestBatch);
    CHECK(app->queueSlots[kQueueSlots - 1].threadId == 999999); // the slot before the wrap
}

TEST_CASE_FIXTURE(QueueFixture,
                  "rows leave the ring in the order they entered it, across the wrap") {
    app->queueWrite = app->queueRead = kQueueSlots - 5;
    for (uint32_t i = 0; i < 20; ++i) {
        EventRow row = Numbered(7, i);
        QueueRow(app, &row);
    }
    CHECK(app->queueWrite == 15);
    CHECK(QueuedRowCount(app) == 20);
    CHECK(DrainEventQueue(app) == 0);
    REQUIRE(app->rowCount == 20);
    for (int32_t i = 0; i < 20; ++i)
        CHECK(app->rows[i].threadId == static_cast<uint32_t>(i));
    CHECK(app->queueRead == 15);
}

TEST_CASE_FIXTURE(QueueFixture,
                  "without a ring a row is counted as dropped and nothing else changes") {
    FreeBlock(app->queueSlots);
    app->queueSlots = nullptr;
    app->queueWrite = 3;
    app->queueRead = 3;
    EventRow row = Numbered(1, 1);
    QueueRow(app, &row);
    CHECK(AtomicLoad(app->droppedHere) == 1);
    CHECK(app->queueWrite == 3);
    CHECK(app->queueRead == 3);
    IngestQueuedRows(app);
    CHECK(DrainEventQueue(app) == 0);
    CHECK(app->rowCount == 0);
    CHECK(HeadlessModel()->list.itemCountSets == 0);
}

namespace {

constexpr uint32_t kRowsPerProducer = 40000;

struct Producer {
    AppState* app;
    uint32_t id;
};

uint32_t Produce(void* argument) {
    Producer* p = static_cast<Producer*>(argument);
    for (uint32_t i = 0; i < kRowsPerProducer; ++i) {
        EventRow row = Numbered(p->id, i);
        QueueRow(p->app, &row);
    }
    return 0;
}

} // namespace

TEST_CASE_FIXTURE(QueueFixture,
                  "two producers and the window thread at once: every row is accounted for") {
    Producer producers[2] = {{app, 1}, {app, 2}};
    ThreadHandle threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = StartThread(Produce, &producers[i], nullptr);
        REQUIRE(threads[i] != nullptr);
    }

    // The consumer checks each producer's rows arrive in order, then empties the store so that
    // it stays small.
    uint64_t taken = 0;
    int64_t last[3] = {-1, -1, -1};
    bool ordered = true;
    auto consume = [&] {
        IngestQueuedRows(app);
        for (int32_t i = 0; i < app->rowCount; ++i) {
            const EventRow& r = app->rows[i];
            if (r.pid < 1 || r.pid > 2 || static_cast<int64_t>(r.threadId) <= last[r.pid]) {
                ordered = false;
            } else {
                last[r.pid] = r.threadId;
            }
        }
        taken += static_cast<uint64_t>(app->rowCount);
        ClearRows(app);
    };
    for (int spin = 0; spin < 200; ++spin)
        consume();
    for (ThreadHandle t : threads)
        JoinThread(t);
    while (QueuedRowCount(app) != 0)
        consume();

    CHECK(ordered);
    CHECK(taken + AtomicLoad(app->droppedHere) == 2 * kRowsPerProducer);
}
