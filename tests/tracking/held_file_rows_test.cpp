#include "doctest.h"

#include "base/format.h"
#include "tracking/tracking_fixture.h"

namespace olv {

namespace {

EventRow MakeRequestRow(uint32_t pid, int64_t t, const char16_t* path) {
    EventRow row = {};
    row.pid = pid;
    row.timestamp = static_cast<uint64_t>(t);
    CopyBounded(row.path, kPathChars, path);
    CopyBounded(row.threat, kThreatChars, u"threat kept");
    row.severity = 2;
    return row;
}

// Holds one row per packet irp = 8 * (i + 1), i = 0..n-1, at time stamps base + i.
void HoldMany(TrackingState* ts, int n, int64_t base) {
    for (int i = 0; i < n; ++i) {
        char16_t path[16];
        FormatText(path, 16, u"r%d", i);
        EventRow row = MakeRequestRow(static_cast<uint32_t>(i), base + i, path);
        HoldFileRow(ts, 8ull * static_cast<uint64_t>(i + 1), base + i, &row);
    }
}

struct PoolFixture : TrackingFixture {
    RecordingSink* sink;
    PoolFixture() {
        sink = AllocRecord<RecordingSink>();
        REQUIRE(sink != nullptr);
        SetRowSink(ts, RecordingSink::Receive, sink);
    }
    ~PoolFixture() { FreeBlock(sink); }
};

} // namespace

TEST_CASE("held rows: completion, replacement on the same packet, and packets that collide") {
    PoolFixture f;
    EventRow a = MakeRequestRow(1, 100, u"a");
    EventRow b = MakeRequestRow(2, 200, u"b");
    EventRow c = MakeRequestRow(3, 300, u"c");
    const uint64_t irpA = 0x1000;
    const uint64_t irpB = 0x1000 + 8 * kHeldFileHeads; // same index head as irpA
    HoldFileRow(f.ts, irpA, 100, &a);
    HoldFileRow(f.ts, irpB, 200, &b);
    CHECK(HeldFileRowCount(f.ts) == 2);
    CHECK(f.sink->count == 0);

    EventRow out = {};
    CHECK(TakeHeldFileRow(f.ts, irpA, &out));
    CHECK(TextEquals(out.path, u"a"));
    CHECK(out.timestamp == 100);
    CHECK(out.severity == 2);
    CHECK_FALSE(TakeHeldFileRow(f.ts, irpA, &out));   // taken once only
    CHECK_FALSE(TakeHeldFileRow(f.ts, 0x5550, &out)); // never held
    CHECK_FALSE(TakeHeldFileRow(f.ts, 0, &out));

    // A second request on a held packet releases the first with "-".
    HoldFileRow(f.ts, irpB, 300, &c);
    REQUIRE(f.sink->count == 1);
    CHECK(TextEquals(f.sink->rows[0].path, u"b"));
    CHECK(TextEquals(f.sink->rows[0].result, u"-"));
    CHECK(f.sink->rows[0].timestamp == 200);
    CHECK(Counter(f.ts, 4) == 1);
    CHECK(HeldFileRowCount(f.ts) == 1);
    CHECK(TakeHeldFileRow(f.ts, irpB, &out));
    CHECK(TextEquals(out.path, u"c"));
    CHECK(HeldFileRowCount(f.ts) == 0);

    // A request without a packet address could never be completed: it goes at once.
    HoldFileRow(f.ts, 0, 400, &a);
    REQUIRE(f.sink->count == 2);
    CHECK(TextEquals(f.sink->rows[1].path, u"a"));
    CHECK(TextEquals(f.sink->rows[1].result, u"-"));
    CHECK(HeldFileRowCount(f.ts) == 0);
    CHECK(Counter(f.ts, 4) == 2);
}

TEST_CASE("held rows: the 513th row releases the oldest; every slot is reused") {
    PoolFixture f;
    HoldMany(f.ts, kHeldFileSlots, 1000);
    CHECK(HeldFileRowCount(f.ts) == kHeldFileSlots);
    CHECK(f.sink->count == 0);

    // The oldest held row is the one held at 1000 (r0), whatever its slot.
    EventRow out = {};
    REQUIRE(TakeHeldFileRow(f.ts, 8 * 3, &out));
    EventRow late = MakeRequestRow(9, 500, u"early stamp");
    HoldFileRow(f.ts, 0x9990, 500, &late); // takes the free slot, no eviction
    CHECK(f.sink->count == 0);

    EventRow newest = MakeRequestRow(9, 5000, u"newest");
    HoldFileRow(f.ts, 0x9998, 5000, &newest);
    REQUIRE(f.sink->count == 1);
    CHECK(TextEquals(f.sink->rows[0].path, u"early stamp"));
    HoldFileRow(f.ts, 0x99A0, 5001, &newest);
    REQUIRE(f.sink->count == 2);
    CHECK(TextEquals(f.sink->rows[1].path, u"r0"));
    CHECK(TextEquals(f.sink->rows[1].result, u"-"));
    CHECK(Counter(f.ts, 4) == 2);
    CHECK(HeldFileRowCount(f.ts) == kHeldFileSlots);
    CHECK(TakeHeldFileRow(f.ts, 0x9998, &out));
    CHECK(TakeHeldFileRow(f.ts, 8 * 2, &out)); // r1 is still held
    CHECK(TextEquals(out.path, u"r1"));
}

TEST_CASE("held rows: among rows held at the same time the lowest slot goes first") {
    PoolFixture f;
    for (int i = 0; i <= kHeldFileSlots; ++i) {
        char16_t path[16];
        FormatText(path, 16, u"r%d", i);
        EventRow row = MakeRequestRow(1, 7, path);
        HoldFileRow(f.ts, 8ull * static_cast<uint64_t>(i + 1), 7, &row);
    }
    REQUIRE(f.sink->count == 1);
    CHECK(TextEquals(f.sink->rows[0].path, u"r0"));
}

TEST_CASE("held rows: expiry after 20 seconds, at most 32 per sweep") {
    struct Case {
        const char* label;
        bool completionSeen;
        bool holdsAfter;
    } cases[] = {
        {"no completion ever seen: holding stops", false, false},
        {"completions seen: holding goes on", true, true},
    };
    for (const Case& c : cases) {
        CAPTURE(c.label);
        PoolFixture f;
        if (c.completionSeen) NoteFileCompletionSeen(f.ts);
        HoldMany(f.ts, 40, 1000);                              // r0..r39 at 1000..1039
        ExpireHeldFileRows(f.ts, 1000 + kHeldRowLifetime - 1); // nothing is 20 s old yet
        CHECK(f.sink->count == 0);
        CHECK(AreFileRowsHeld(f.ts));

        ExpireHeldFileRows(f.ts, 1035 + kHeldRowLifetime); // r0..r35 are due; 32 go now
        REQUIRE(f.sink->count == kHeldRowsPerSweep);
        for (int i = 0; i < kHeldRowsPerSweep; ++i) {
            char16_t path[16];
            FormatText(path, 16, u"r%d", i);
            CHECK(TextEquals(f.sink->rows[i].path, path)); // in slot order
            CHECK(TextEquals(f.sink->rows[i].result, u"-"));
        }
        CHECK(AreFileRowsHeld(f.ts) == c.holdsAfter);
        ExpireHeldFileRows(f.ts, 1035 + kHeldRowLifetime);
        CHECK(f.sink->count == 36);
        CHECK(HeldFileRowCount(f.ts) == 4);
        CHECK(Counter(f.ts, 4) == 36);
        ExpireHeldFileRows(f.ts, INT64_MIN); // a time stamp before every held row expires none
        ExpireHeldFileRows(f.ts, INT64_MAX - 1);
        CHECK(HeldFileRowCount(f.ts) == 0);
    }
}

TEST_CASE("held rows: the sweep runs every 512th request with the newest time stamp") {
    PoolFixture f;
    EventRow row = MakeRequestRow(1, 10, u"old");
    HoldFileRow(f.ts, 0x100, 10, &row);
    NoteFileRequestForSweep(f.ts, 10 + kHeldRowLifetime);
    for (int i = 0; i < kFileRowsPerSweep - 2; ++i)
        NoteFileRequestForSweep(f.ts, 20);
    CHECK(f.sink->count == 0);         // 511 requests so far
    NoteFileRequestForSweep(f.ts, 30); // the 512th: swept with the newest stamp seen
    CHECK(f.sink->count == 1);
    CHECK_FALSE(AreFileRowsHeld(f.ts));
    CHECK(f.ts->pending.sweepCounter == 0);
}

TEST_CASE("held rows: the flush at Stop releases every row, counted, without a sink too") {
    PoolFixture f;
    HoldMany(f.ts, 200, 1);
    FlushHeldFileRows(f.ts);
    CHECK(f.sink->count == 200);
    CHECK(TextEquals(f.sink->rows[199].path, u"r199"));
    CHECK(TextEquals(f.sink->rows[199].result, u"-"));
    CHECK(HeldFileRowCount(f.ts) == 0);
    CHECK(Counter(f.ts, 4) == 200);

    SetRowSink(f.ts, nullptr, nullptr);
    HoldMany(f.ts, 3, 1);
    FlushHeldFileRows(f.ts);
    CHECK(Counter(f.ts, 4) == 203);
    FlushHeldFileRows(f.ts); // an empty pool
    CHECK(Counter(f.ts, 4) == 203);

    // The pool keeps working after the flush: the free list is whole.
    HoldMany(f.ts, kHeldFileSlots, 100);
    CHECK(HeldFileRowCount(f.ts) == kHeldFileSlots);
    CHECK(Counter(f.ts, 4) == 203);
}

} // namespace olv
