// The queue ring between the trace threads and the window thread: a full ring, no ring, and two
// producers with the reader at once.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "capture_fixture.h"
#include "views/row_store.h"

using namespace olv;

namespace {

EventRow Numbered(uint32_t producer, uint32_t sequence) {
    EventRow row{};
    row.pid = producer;
    row.threadId = sequence;
    return row;
}

} // namespace

TEST_CASE_FIXTURE(CaptureFixture, "a full ring drops the newest row and takes rows again after a "
                                  "batch; rows leave in order across the wrap") {
    // A ring of 1024 fills fast; its size proves nothing more.
    FreeEventQueue(app);
    SmallQueueRing smallerRing(1024);
    REQUIRE(MakeEventQueue(app));
    const uint32_t slots = app->queueMask + 1;
    uint32_t queued = 0;
    while (AtomicLoad(app->droppedHere) == 0) {
        EventRow row = Numbered(1, queued);
        QueueRow(app, &row);
        if (AtomicLoad(app->droppedHere) == 0) ++queued;
    }
    CHECK(queued == slots - 1); // one slot always stays unused
    CHECK(QueuedRowCountLocked(app) == slots - 1);

    IngestQueuedRows(app);
    CHECK(app->rowCount == static_cast<int32_t>(std::min<uint32_t>(kIngestBatch, slots - 1)));
    for (uint32_t i = 0; i < 5; ++i) {
        EventRow row = Numbered(1, slots + i);
        QueueRow(app, &row); // the last slot before the wrap, then slots 0 to 3
    }
    CHECK(AtomicLoad(app->droppedHere) == 1);
    CHECK(app->queueWrite == 4);
    CHECK(DrainEventQueue(app) == 0);
    REQUIRE(app->rowCount == static_cast<int32_t>(slots + 4));
    bool ordered = true;
    for (uint32_t i = 0; i < slots + 4; ++i)
        ordered = ordered && app->rows[i].threadId == (i < slots - 1 ? i : i + 1);
    CHECK(ordered);
}

TEST_CASE_FIXTURE(CaptureFixture,
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

// A row stamped at its front, middle and end, so that a copy made while the slot was being
// written (or before it was) shows.
EventRow Stamped(uint32_t producer, uint32_t sequence) {
    EventRow row = Numbered(producer, sequence);
    row.time.year = static_cast<uint16_t>(sequence);
    row.path[0] = static_cast<char16_t>(producer);
    row.path[1] = static_cast<char16_t>(sequence);
    row.timestamp = (uint64_t{producer} << 32) | sequence;
    return row;
}

bool Intact(const EventRow& r) {
    return (r.pid == 1 || r.pid == 2) && r.time.year == static_cast<uint16_t>(r.threadId) &&
           r.path[0] == r.pid && r.path[1] == static_cast<char16_t>(r.threadId) &&
           r.timestamp == ((uint64_t{r.pid} << 32) | r.threadId);
}

struct Producer {
    AppState* app;
    uint32_t id;
    std::atomic<bool>* paced; // a pause after each row, and a cap on the rows ahead
    std::atomic<bool>* stop;
    uint32_t produced;
};

uint32_t Produce(void* argument) {
    auto* p = static_cast<Producer*>(argument);
    for (; !p->stop->load(); ++p->produced) {
        EventRow row = Stamped(p->id, p->produced);
        QueueRow(p->app, &row);
        // A pause the clock measures: a sleep this short may not sleep at all (under Wine it
        // does not), and unpaced writers can keep the ring full for good. Paced writers also
        // hold back while the ring is more than a few rows ahead, so that a reader slowed by a
        // sanitizer or a busy machine still catches up with them.
        if (p->paced->load()) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
            while (std::chrono::steady_clock::now() < until ||
                   (QueuedRowCount(p->app) >= 32 && !p->stop->load()))
                std::this_thread::yield();
        }
    }
    return 0;
}

} // namespace

// The reader runs both behind a full ring (a slot given back before it is copied out would be
// overwritten while it is read) and right behind the writers (a row published before it is
// copied in would be read early).
TEST_CASE_FIXTURE(CaptureFixture,
                  "two producers and the window thread at once: every row arrives whole, in "
                  "order, or is counted as dropped") {
    // A ring of 1024 wraps often and fills fast; its size proves nothing more.
    FreeEventQueue(app);
    SmallQueueRing smallerRing(1024);
    REQUIRE(MakeEventQueue(app));
    std::atomic<bool> paced{false}, stop{false};
    Producer producers[2] = {{app, 1, &paced, &stop, 0}, {app, 2, &paced, &stop, 0}};
    ThreadHandle threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = StartThread(Produce, &producers[i], nullptr);
        REQUIRE(threads[i] != nullptr);
    }
    uint64_t taken = 0;
    int64_t last[3] = {-1, -1, -1};
    uint64_t broken = 0, disordered = 0;
    auto consume = [&] {
        IngestQueuedRows(app);
        for (int32_t i = 0; i < app->rowCount; ++i) {
            const EventRow& r = app->rows[i];
            if (!Intact(r)) {
                ++broken;
                continue;
            }
            if (r.threadId <= last[r.pid]) ++disordered;
            last[r.pid] = r.threadId;
        }
        taken += static_cast<uint64_t>(app->rowCount);
        ClearRows(app);
    };
    for (int round = 0; round < 2; ++round) { // behind a full ring
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (QueuedRowCount(app) != app->queueMask) {
            if (std::chrono::steady_clock::now() >= deadline) {
                stop.store(true);
                for (ThreadHandle t : threads)
                    JoinThread(t);
                FAIL("waited 20 s for the producers to fill the ring");
            }
            std::this_thread::yield();
        }
        consume();
    }
    paced.store(true);
    const auto caughtUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (QueuedRowCount(app) >= 64) {
        if (std::chrono::steady_clock::now() >= caughtUp) {
            stop.store(true);
            for (ThreadHandle t : threads)
                JoinThread(t);
            FAIL("waited 20 s for the reader to catch up with the paced writers");
        }
        consume();
    }
    const uint64_t before = taken;
    int closeBehind = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (taken - before < 4000 && std::chrono::steady_clock::now() < deadline) {
        closeBehind += QueuedRowCount(app) < 64 ? 1 : 0; // right behind the writers
        consume();
    }
    stop.store(true);
    for (ThreadHandle t : threads)
        JoinThread(t);
    while (QueuedRowCount(app) != 0)
        consume();

    CHECK(closeBehind > 0);
    CHECK(broken == 0);
    CHECK(disordered == 0);
    CHECK(taken + AtomicLoad(app->droppedHere) ==
          uint64_t{producers[0].produced} + producers[1].produced);
}

TEST_CASE("a ring is made with the slots asked for when they are a power of two, else full size") {
    AppState* app = AllocRecord<AppState>();
    REQUIRE(app != nullptr);
    InitAppState(app);
    struct Case {
        uint32_t asked, made;
    };
    // Blocks above 1024 rows are refused, so a full-size ring shows as a refusal.
    const Case cases[] = {{1024, 1024},     {4, 4},           {1000, kQueueSlots},
                          {2, kQueueSlots}, {0, kQueueSlots}, {2 * kQueueSlots, kQueueSlots}};
    for (const Case& c : cases) {
        CAPTURE(c.asked);
        SmallQueueRing ring(c.asked);
        RefuseAllocationsAbove(sizeof(EventRow) * 1024);
        const bool made = MakeEventQueue(app);
        ResetAllocationFaults();
        CHECK(made == (c.made <= 1024));
        if (made) {
            CHECK(app->queueMask + 1 == c.made);
            // The ring wraps at its own size.
            EventRow row = Numbered(1, 0);
            app->queueWrite = app->queueRead = c.made - 1;
            QueueRow(app, &row);
            CHECK(app->queueWrite == 0);
            CHECK(QueuedRowCount(app) == 1);
        }
        FreeEventQueue(app);
    }
    CleanUpAppState(app);
    FreeBlock(app);
}
