// The queue ring between the trace threads and the window thread: a full ring, no ring, and two
// producers with the reader at once.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capture_fixture.h"
#include "record/stored_rows.h"
#include "views/row_store.h"

using namespace olv;

namespace {

EventRow Numbered(uint32_t producer, uint32_t sequence) {
    EventRow row{};
    row.pid = producer;
    row.threadId = sequence;
    return row;
}

// A row with a path of its own length, so that records differ in size and one meets the ring's
// end part way.
EventRow Sized(uint32_t sequence) {
    EventRow row = Numbered(1, sequence);
    for (uint32_t i = 0; i < 20 + sequence % 90; ++i)
        row.path[i] = static_cast<char16_t>(u'a' + (sequence + i) % 26);
    return row;
}

// Stored row index made whole.
EventRow StoredAt(const Recording* app, int32_t index) {
    EventRow row;
    ReadStoredRow(app, index, &row);
    return row;
}

bool SameAsSized(const EventRow& row, uint32_t sequence) {
    const EventRow expected = Sized(sequence);
    return std::memcmp(&row, &expected, sizeof row) == 0;
}

} // namespace

TEST_CASE_FIXTURE(CaptureFixture,
                  "a full ring drops the row that does not fit and takes rows "
                  "again once read; rows leave whole and in order across the wrap") {
    FreeEventQueue(app);
    SmallQueueRing smallerRing(kSmallestQueueBytes);
    REQUIRE(MakeEventQueue(app));
    const uint32_t size = app->queueMask + 1;
    uint32_t queued = 0;
    while (AtomicLoad(app->droppedHere) == 0) {
        EventRow row = Sized(queued);
        QueueRow(app, &row);
        if (AtomicLoad(app->droppedHere) == 0) ++queued;
    }
    CHECK(QueuedRowCountLocked(app) == queued);
    CHECK(app->queueWrite - app->queueRead <= size);
    CHECK(size - (app->queueWrite - app->queueRead) < 4 + 2 * 120); // less than the dropped row

    CHECK(DrainEventQueue(app) == 0);
    REQUIRE(app->rowCount == static_cast<int32_t>(queued));
    bool same = true;
    for (uint32_t i = 0; i < queued; ++i)
        same = same && SameAsSized(StoredAt(app, static_cast<int32_t>(i)), i);
    CHECK(same);
    // The dropped row was never written: the next row is measured against the last one written.
    // Three more ring lengths of rows, read as they come, pass the ring's end three times.
    ClearRows(app);
    const uint32_t wrapsBefore = app->queueWrite / size;
    uint32_t sent = 0;
    for (uint32_t i = queued + 1; app->queueWrite / size < wrapsBefore + 3; ++i, ++sent) {
        EventRow row = Sized(i);
        QueueRow(app, &row);
        if (QueuedRowCount(app) > 16) DrainEventQueue(app);
    }
    CHECK(DrainEventQueue(app) == 0);
    CHECK(AtomicLoad(app->droppedHere) == 1);
    REQUIRE(app->rowCount == static_cast<int32_t>(sent));
    for (uint32_t i = 0; i < sent; ++i)
        same = same && SameAsSized(StoredAt(app, static_cast<int32_t>(i)), queued + 1 + i);
    CHECK(same);
}

TEST_CASE_FIXTURE(CaptureFixture, "rows left unread when the ring is emptied do not confuse the "
                                  "rows after it, and damaged bytes are counted as dropped") {
    EventRow a = Sized(1), b = Sized(2);
    SUBCASE("emptied with rows waiting") {
        QueueRow(app, &a);
        QueueRow(app, &b);
        EmptyEventQueue(app);
        EventRow c = b;
        c.threadId = 77; // differs from b in one member only
        QueueRow(app, &c);
        CHECK(DrainEventQueue(app) == 0);
        REQUIRE(app->rowCount == 1);
        const EventRow stored = StoredAt(app, 0);
        CHECK(std::memcmp(&stored, &c, sizeof c) == 0);
    }
    SUBCASE("a damaged record") {
        QueueRow(app, &a);
        QueueRow(app, &b);
        QueueRow(app, &a);
        app->queueBytes[(app->queueRead & app->queueMask) + 1] = 0x7F; // a size past the rows
        CHECK(DrainEventQueue(app) == 0);
        CHECK(app->rowCount == 0);
        CHECK(AtomicLoad(app->droppedHere) == 3);
        CHECK(QueuedRowCount(app) == 0);
        QueueRow(app, &b);
        CHECK(DrainEventQueue(app) == 0);
        REQUIRE(app->rowCount == 1);
        CHECK(SameAsSized(StoredAt(app, 0), 2));
    }
}

TEST_CASE_FIXTURE(CaptureFixture,
                  "whole texts ride the ring beside their rows across its end; one without room "
                  "goes without its text, counted, and its row is kept") {
    FreeEventQueue(app);
    constexpr uint32_t kRingBytes = 4 * kSmallestQueueBytes; // room for any record and a wrap
    SmallQueueRing smallerRing(kRingBytes);
    REQUIRE(MakeEventQueue(app));
    std::vector<std::u16string> wholes; // per row sent: its whole text, or empty
    for (uint32_t i = 0; i < 90; ++i) {
        EventRow row = Sized(i);
        std::u16string whole;
        if (i % 3 == 1) {
            // 1,100 to 2,900 units: a text record meets the ring's end every few rows.
            for (uint32_t k = 0; whole.size() < 1100 + (i * 97) % 1800; ++k)
                whole.push_back(static_cast<char16_t>(k % 7 == 0 ? 0x4e2d : u'a' + (i + k) % 26));
            std::memcpy(row.path, whole.data(), (kPathChars - 1) * sizeof(char16_t));
            row.path[kPathChars - 1] = 0;
            QueueRowWithText(app, &row, whole.data(), static_cast<uint32_t>(whole.size()));
        } else {
            QueueRow(app, &row);
        }
        wholes.push_back(whole);
        CHECK(DrainEventQueue(app) == 0);
    }
    // A text larger than the ring: its row comes with the start its path holds.
    EventRow big = Sized(1000);
    const std::u16string huge(kRingBytes / 2, u'h');
    std::memcpy(big.path, huge.data(), (kPathChars - 1) * sizeof(char16_t));
    QueueRowWithText(app, &big, huge.data(), static_cast<uint32_t>(huge.size()));
    wholes.push_back(std::u16string(huge, 0, kPathChars - 1));
    CHECK(DrainEventQueue(app) == 0);
    CHECK(AtomicLoad(app->textsCutHere) == 1);
    CHECK(AtomicLoad(app->droppedHere) == 0);
    REQUIRE(app->rowCount == 91);
    bool same = true;
    for (int32_t i = 0; i < 91; ++i) {
        const TextView path = StoredWholePath(app, i);
        const std::u16string expected =
            !wholes[i].empty() ? wholes[i] : std::u16string(StoredAt(app, i).path);
        std::u16string got(path.length, 0);
        CopyTextUnits(path, got.data());
        same = same && got == expected;
        // Every other member as sent, the cell's path the start of the whole text.
        EventRow sent = i < 90 ? Sized(static_cast<uint32_t>(i)) : big;
        if (!wholes[i].empty() && i < 90) {
            std::memcpy(sent.path, wholes[i].data(), (kPathChars - 1) * sizeof(char16_t));
            sent.path[kPathChars - 1] = 0;
        }
        const EventRow stored = StoredAt(app, i);
        same = same && std::memcmp(&stored, &sent, sizeof sent) == 0;
    }
    CHECK(same);
}

TEST_CASE_FIXTURE(CaptureFixture,
                  "without a ring a row is counted as dropped and nothing else changes") {
    FreeBlock(app->queueBytes);
    app->queueBytes = nullptr;
    app->queueWrite = app->queueRead = 4;
    EventRow row = Numbered(1, 1);
    QueueRow(app, &row);
    CHECK(AtomicLoad(app->droppedHere) == 1);
    CHECK(app->queueWrite == 4);
    CHECK(app->queueRead == 4);
    CHECK(QueuedRowCount(app) == 0);
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
    Recording* app;
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
    // A small ring wraps often and fills fast; its size proves nothing more.
    FreeEventQueue(app);
    SmallQueueRing smallerRing(kSmallestQueueBytes);
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
            const EventRow r = StoredAt(app, i);
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
        const uint32_t droppedBefore = AtomicLoad(app->droppedHere);
        while (AtomicLoad(app->droppedHere) == droppedBefore) { // the ring refused a row
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

TEST_CASE("a ring is made with the bytes asked for when they are a power of two, else full size") {
    Recording* app = AllocRecord<Recording>();
    REQUIRE(app != nullptr);
    InitRecording(app);
    struct Case {
        uint32_t asked, made;
    };
    // Blocks above 1 MB are refused, so a full-size ring shows as a refusal.
    const Case cases[] = {{8192, 8192},        {1u << 20, 1u << 20},
                          {4096, kQueueBytes}, {10000, kQueueBytes},
                          {0, kQueueBytes},    {2 * kQueueBytes, kQueueBytes}};
    for (const Case& c : cases) {
        CAPTURE(c.asked);
        SmallQueueRing ring(c.asked);
        RefuseAllocationsAbove(1u << 20);
        const bool made = MakeEventQueue(app);
        ResetAllocationFaults();
        CHECK(made == (c.made <= (1u << 20)));
        if (made) {
            CHECK(app->queueMask + 1 == c.made);
            // The ring wraps at its own size: two bytes before its end there is room for the
            // wrap marker only, and the record goes to the ring's start.
            EventRow row = Numbered(1, 0);
            app->queueWrite = app->queueRead = c.made - 2;
            QueueRow(app, &row);
            CHECK(app->queueWrite > c.made);
            CHECK(QueuedRowCount(app) == 1);
            EventRow peeked{};
            CHECK(PeekQueuedRows(app, &peeked, 1) == 1);
            CHECK(std::memcmp(&peeked, &row, sizeof row) == 0);
        }
        FreeEventQueue(app);
    }
    CleanUpRecording(app);
    FreeBlock(app);
}

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadChecker = true;
#elif defined(__has_feature)
constexpr bool kUnderThreadChecker = __has_feature(thread_sanitizer);
#else
constexpr bool kUnderThreadChecker = false;
#endif

// One thread, so nothing for the thread checker to look at, where its 500,000 rows take 10 s.
TEST_CASE("the full ring holds 500,000 rows of a recording's mix between two reads" *
          doctest::skip(kUnderThreadChecker)) {
    Recording* app = AllocRecord<Recording>();
    REQUIRE(app != nullptr);
    InitRecording(app);
    REQUIRE(MakeEventQueue(app));
    // Seven kinds in turn, each path with a running number, seven processes in turn.
    const char16_t* const kinds[][4] = {
        {u"Read file", u"C:\\Windows\\System32\\en-US\\module%u.dll.mui", u"Offset 0, 4096 bytes",
         u"OK"},
        {u"Wrote to file", u"C:\\Users\\analyst\\AppData\\Local\\Temp\\~DF%u.tmp",
         u"Offset 8192, 512 bytes", u"OK"},
        {u"Opened file",
         u"C:\\Users\\analyst\\AppData\\Local\\Microsoft\\Windows\\INetCache\\IE\\page%u.htm", u"",
         u"NOT FOUND"},
        {u"Read registry value",
         u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Item%u", u"SafeDllSearchMode",
         u"OK"},
        {u"Opened registry key",
         u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\{%u}", u"",
         u"OK"},
        {u"Sent data (TCP)", u"192.168.1.20:%u -> 93.184.216.34:443", u"517 bytes", u""},
        {u"Loaded DLL", u"C:\\Windows\\System32\\combase%u.dll", u"Base 0x7ffb12340000", u"OK"}};
    const char16_t* const processes[] = {u"dropper.exe",    u"svchost32.exe", u"cmd.exe",
                                         u"powershell.exe", u"rundll32.exe",  u"schtasks.exe",
                                         u"conhost.exe"};
    EventRow row{};
    for (uint32_t i = 0; i < 500000; ++i) {
        const auto& kind = kinds[i % 7];
        row.category = i % 7 / 2;
        row.pid = 4000 + i % 7;
        row.time.milliseconds = static_cast<uint16_t>(i / 16 % 1000);
        row.timestamp += 625;
        CopyBounded(row.operation, kOperationChars, kind[0]);
        FormatText(row.path, kPathChars, kind[1], i);
        CopyBounded(row.detail, kDetailChars, kind[2]);
        CopyBounded(row.result, kResultChars, kind[3]);
        CopyBounded(row.process, kProcessChars, processes[i % 7]);
        QueueRow(app, &row);
    }
    CHECK(AtomicLoad(app->droppedHere) == 0);
    CHECK(QueuedRowCount(app) == 500000);
    CleanUpRecording(app);
    FreeBlock(app);
}
