#include "doctest.h"

#include "base/atomic.h"
#include "platform/thread.h"
#include "tracking/tracking_fixture.h"

namespace olv {

namespace {

struct Shared {
    TrackingState* ts;
    uint32_t released; // rows the sink received, from either thread
    uint32_t completed[2];
};

void CountRow(void* context, const EventRow*) {
    AtomicAdd(static_cast<Shared*>(context)->released, 1);
}

// Each thread works on its own pids, keys and packets in the tables both use at once, and reads
// what the other writes.
uint32_t Drive(Shared* s, int self) {
    TrackingState* ts = s->ts;
    const uint32_t base = self == 0 ? 0x10000 : 0x20000;
    const uint32_t other = self == 0 ? 0x20000 : 0x10000;
    char16_t out[kPathChars];
    EventRow row = {};
    for (uint32_t i = 0; i < 3000; ++i) {
        const int64_t t = 1000 + i;
        const uint32_t pid = base + (i % 300);
        FollowProcess(ts, pid, t);
        if (i % 7 == 0) EndFollowedProcess(ts, pid, t + 1);
        IsProcessFollowed(ts, other + (i % 300), t);
        RememberProcessName(ts, pid, (i % 2) != 0 ? u"odd.exe" : u"even.exe", t);
        LookupProcessName(ts, other + (i % 300), t, out, 64);
        const uint64_t key = (uint64_t{base} << 8) + 8 * (i % 50);
        RememberFileName(ts, key, (i % 3) != 0 ? u"\\Device\\A" : u"\\Device\\B", t, true);
        if (i % 5 == 0) ForgetFileName(ts, key, t);
        LookupFileName(ts, (uint64_t{other} << 8) + 8 * (i % 50), t, out, kPathChars);
        RememberKeyName(ts, key, u"\\REGISTRY\\MACHINE", 0, false);
        LookupKeyName(ts, key, t, out, kPathChars);
        const uint64_t irp = (uint64_t{base} << 12) + 8 * (i % 400);
        HoldFileRow(ts, irp, t, &row);
        if (i % 2 == 0 && TakeHeldFileRow(ts, irp, &row)) ++s->completed[self];
        NoteFileRequestForSweep(ts, t);
        if (i % 3 == 0) NoteFileCompletionSeen(ts);
        AreFileRowsHeld(ts);
        uint32_t counters[kTrackingCounterCount];
        ReadTrackingCounters(ts, counters);
    }
    return 0;
}

} // namespace

TEST_CASE("tracking tables: two threads at once") {
    TrackingFixture f;
    Shared shared = {f.ts, 0, {0, 0}};
    SetRowSink(f.ts, CountRow, &shared);
    ThreadHandle a =
        StartThread([](void* s) { return Drive(static_cast<Shared*>(s), 0); }, &shared, nullptr);
    ThreadHandle b =
        StartThread([](void* s) { return Drive(static_cast<Shared*>(s), 1); }, &shared, nullptr);
    REQUIRE(a != nullptr);
    REQUIRE(b != nullptr);
    JoinThread(a);
    JoinThread(b);
    // Every held row left by exactly one road.
    FlushHeldFileRows(f.ts);
    CHECK(AtomicLoad(shared.released) == Counter(f.ts, 4));
    CHECK(Counter(f.ts, 4) + shared.completed[0] + shared.completed[1] == 6000);
}

} // namespace olv
