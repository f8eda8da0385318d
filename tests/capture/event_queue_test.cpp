#include "capture/event_queue.h"

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
        CleanUpAppState(app);
        FreeBlock(app);
    }
};

EventRow Numbered(uint32_t producer, uint32_t sequence) {
    EventRow row{};
    row.pid = producer;
    row.threadId = sequence;
    return row;
}

} // namespace

TEST_CASE_FIXTURE(QueueFixture, "a full ring drops the newest row and takes rows again after a "
                                "batch; rows leave in order across the wrap") {
    uint32_t queued = 0;
    while (AtomicLoad(app->droppedHere) == 0) {
        EventRow row = Numbered(1, queued);
        QueueRow(app, &row);
        if (AtomicLoad(app->droppedHere) == 0) ++queued;
    }
    CHECK(queued == kQueueSlots - 1); // one slot always stays unused
    CHECK(QueuedRowCountLocked(app) == kQueueSlots - 1);

    IngestQueuedRows(app);
    CHECK(app->rowCount == kIngestBatch);
    for (uint32_t i = 0; i < 5; ++i) {
        EventRow row = Numbered(1, kQueueSlots + i);
        QueueRow(app, &row); // the last slot before the wrap, then slots 0 to 3
    }
    CHECK(AtomicLoad(app->droppedHere) == 1);
    CHECK(app->queueWrite == 4);
    CHECK(DrainEventQueue(app) == 0);
    REQUIRE(app->rowCount == kQueueSlots + 4);
    bool ordered = true;
    for (uint32_t i = 0; i < kQueueSlots + 4; ++i)
        ordered = ordered && app->rows[i].threadId == (i < kQueueSlots - 1 ? i : i + 1);
    CHECK(ordered);
}

TEST_CASE_FIXTURE(QueueFixture,
                  "without a ring a row is counted as dropped and nothing else changes") {
    FreeBlock(app->queueSlots);
    app->queueSlots = nullptr;
    app->queueWrite = app->queueRead = 3;
    EventRow row = Numbered(1, 1);
    QueueRow(app, &row);
    CHECK(AtomicLoad(app->droppedHere) == 1);
    CHECK(app->queueWrite == 3);
    CHECK(app->queueRead == 3);
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
    auto* p = static_cast<Producer*>(argument);
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
    // The consumer checks that each producer's rows arrive in order, then empties the store so
    // that it stays small.
    uint64_t taken = 0;
    int64_t last[3] = {-1, -1, -1};
    bool ordered = true;
    auto consume = [&] {
        IngestQueuedRows(app);
        for (int32_t i = 0; i < app->rowCount; ++i) {
            const EventRow& r = app->rows[i];
            const bool known = r.pid == 1 || r.pid == 2;
            ordered = ordered && known && r.threadId > last[known ? r.pid : 0];
            if (known) last[r.pid] = r.threadId;
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
