#include "doctest.h"

#include <initializer_list>

#include "base/format.h"
#include "tracking/tracking_fixture.h"

namespace olv {

namespace {

EventRow RequestRow(int64_t t, const char16_t* path) {
    EventRow row = {};
    row.timestamp = static_cast<uint64_t>(t);
    CopyBounded(row.path, kPathChars, path);
    row.severity = 2;
    return row;
}

// Holds "r<i>" for packet 8 * (i + 1), i = 0..n-1, at time stamps base + i * step.
void HoldMany(TrackingState* ts, int n, int64_t base, int64_t step = 1) {
    for (int i = 0; i < n; ++i) {
        char16_t path[16];
        FormatText(path, 16, u"r%d", i);
        EventRow row = RequestRow(base + i * step, path);
        HoldFileRow(ts, 8ull * static_cast<uint64_t>(i + 1), base + i * step, &row);
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
    // Released row i had this path and the result "-".
    bool Released(int i, const char16_t* path) const {
        return i < sink->count && TextEquals(sink->rows[i].path, path) &&
               TextEquals(sink->rows[i].result, u"-");
    }
};

} // namespace

TEST_CASE("held rows: completion, a second request on the same packet, packet address 0") {
    PoolFixture f;
    EventRow a = RequestRow(100, u"a"), b = RequestRow(200, u"b"), c = RequestRow(300, u"c");
    const uint64_t irpA = 0x1000, irpB = irpA + 8 * kHeldFileHeads,
                   irpC = irpB + 8 * kHeldFileHeads;
    HoldFileRow(f.ts, irpA, 100, &a); // three packets on one index head
    HoldFileRow(f.ts, irpB, 200, &b);
    HoldFileRow(f.ts, irpC, 300, &c);
    EventRow out = {};
    CHECK(TakeHeldFileRow(f.ts, irpB, &out)); // from the middle of the chain
    CHECK((TextEquals(out.path, u"b") && out.timestamp == 200 && out.severity == 2));
    CHECK_FALSE(TakeHeldFileRow(f.ts, irpB, &out)); // taken once only
    CHECK_FALSE(TakeHeldFileRow(f.ts, 0, &out));
    CHECK(TakeHeldFileRow(f.ts, irpA, &out));
    CHECK(f.sink->count == 0);

    HoldFileRow(f.ts, irpC, 400, &a); // releases c
    CHECK(f.Released(0, u"c"));
    CHECK(f.sink->rows[0].timestamp == 300);
    CHECK(TakeHeldFileRow(f.ts, irpC, &out));
    CHECK(TextEquals(out.path, u"a"));

    HoldFileRow(f.ts, 0, 500, &b); // could never be completed: released at once
    CHECK(f.Released(1, u"b"));
    CHECK(HeldFileRowCount(f.ts) == 0);
    CHECK(Counter(f.ts, 4) == 2);
}

TEST_CASE("held rows: a full pool releases the row held earliest, the lowest slot on a tie") {
    PoolFixture f;
    HoldMany(f.ts, kHeldFileSlots, 1000, 0); // all held at the same time
    EventRow out = {};
    REQUIRE(TakeHeldFileRow(f.ts, 8 * 3, &out)); // frees the slot of r2
    EventRow early = RequestRow(500, u"early");
    HoldFileRow(f.ts, 0x9990, 500, &early); // takes the free slot, no eviction
    CHECK(f.sink->count == 0);

    EventRow late = RequestRow(5000, u"late");
    HoldFileRow(f.ts, 0x9998, 5000, &late); // the earliest stamp goes, whatever its slot
    HoldFileRow(f.ts, 0x99A0, 5000, &late); // then r0: lowest slot among equal stamps
    CHECK(f.Released(0, u"early"));
    CHECK(f.Released(1, u"r0"));
    CHECK(Counter(f.ts, 4) == 2);
    CHECK(HeldFileRowCount(f.ts) == kHeldFileSlots);
    CHECK(TakeHeldFileRow(f.ts, 8 * 2, &out)); // r1 is still held
}

TEST_CASE("held rows: expiry after 20 seconds, at most 32 per sweep") {
    for (bool completionSeen : {false, true}) {
        CAPTURE(completionSeen);
        PoolFixture f;
        if (completionSeen) NoteFileCompletionSeen(f.ts);
        HoldMany(f.ts, 40, 1000);                              // r0..r39 at 1000..1039
        ExpireHeldFileRows(f.ts, 1000 + kHeldRowLifetime - 1); // nothing is 20 s old yet
        CHECK(f.sink->count == 0);
        ExpireHeldFileRows(f.ts, 1035 + kHeldRowLifetime); // r0..r35 are due; 32 go now
        REQUIRE(f.sink->count == kHeldRowsPerSweep);
        CHECK(f.Released(0, u"r0")); // in slot order
        CHECK(f.Released(31, u"r31"));
        // With no completion ever seen, rows are no longer held for one.
        CHECK(AreFileRowsHeld(f.ts) == completionSeen);
        ExpireHeldFileRows(f.ts, 1035 + kHeldRowLifetime);
        CHECK(HeldFileRowCount(f.ts) == 4);
        CHECK(Counter(f.ts, 4) == 36);
        ExpireHeldFileRows(f.ts, INT64_MIN); // no overflow: nothing expires
        CHECK(HeldFileRowCount(f.ts) == 4);
    }
}

TEST_CASE("held rows: the sweep runs every 512th request with the newest time stamp") {
    PoolFixture f;
    EventRow row = RequestRow(10, u"old");
    HoldFileRow(f.ts, 0x100, 10, &row);
    NoteFileRequestForSweep(f.ts, 10 + kHeldRowLifetime);
    for (int i = 0; i < kFileRowsPerSweep - 2; ++i)
        NoteFileRequestForSweep(f.ts, 20);
    CHECK(f.sink->count == 0);         // 511 requests so far
    NoteFileRequestForSweep(f.ts, 30); // the 512th: swept with the newest stamp seen
    CHECK(f.Released(0, u"old"));
    CHECK(f.ts->pending.sweepCounter == 0);
}

TEST_CASE("held rows: the flush at Stop releases every row, counted") {
    PoolFixture f;
    HoldMany(f.ts, 200, 1); // more than one batch
    FlushHeldFileRows(f.ts);
    CHECK(f.sink->count == 200);
    CHECK(f.Released(199, u"r199"));
    CHECK(Counter(f.ts, 4) == 200);
    CHECK(HeldFileRowCount(f.ts) == 0);
}

} // namespace olv
