#include "doctest.h"

#include "tracking/tracking_fixture.h"

namespace olv {

TEST_CASE("process table: followed intervals") {
    TrackingFixture f;
    TrackLaunchedProcess(f.ts, 100, u"target.exe");
    FollowProcess(f.ts, 200, 1000);
    EndFollowedProcess(f.ts, 200, 5000);

    struct Case {
        uint32_t pid;
        int64_t t;
        bool followed;
    } cases[] = {
        {100, 1, true},      // the launched program counts from before its registration
        {100, 999999, true}, //
        {200, 999, false},   // before the child's start
        {200, 1000, true},   // start is inside
        {200, 5000, true},   // the exit event itself is inside
        {200, 5001, false},  // the id, reused by someone else after the end
        {300, 2000, false},  // never followed
        {0, 2000, false},    // pid 0 is never followed
    };
    for (const Case& c : cases) {
        CAPTURE(c.pid);
        CAPTURE(c.t);
        CHECK(IsProcessFollowed(f.ts, c.pid, c.t) == c.followed);
    }

    char16_t name[64];
    CHECK(LookupProcessName(f.ts, 100, 12345, name, 64));
    CHECK(TextEquals(name, u"target.exe"));
}

TEST_CASE("process table: following a live pid again changes nothing; end needs a live entry") {
    TrackingFixture f;
    FollowProcess(f.ts, 7, 100);
    FollowProcess(f.ts, 7, 50); // different start, same live process
    CHECK(f.ts->processes.count == 1);
    CHECK_FALSE(IsProcessFollowed(f.ts, 7, 60));

    EndFollowedProcess(f.ts, 7, 0); // time stamps below 1 end nothing
    CHECK(IsProcessFollowed(f.ts, 7, 900));
    EndFollowedProcess(f.ts, 7, 500);
    EndFollowedProcess(f.ts, 7, 700); // no live entry any more
    CHECK(f.ts->processes.entries[0].end == 500);

    // A new process with the recycled id is followed again from its own start.
    FollowProcess(f.ts, 7, 800);
    CHECK(f.ts->processes.count == 2);
    CHECK(IsProcessFollowed(f.ts, 7, 400));
    CHECK_FALSE(IsProcessFollowed(f.ts, 7, 600));
    CHECK(IsProcessFollowed(f.ts, 7, 800));
    FollowProcess(f.ts, 0, 1);
    CHECK(f.ts->processes.count == 2);
}

TEST_CASE("process table: a full table recycles the slot that ended first, else refuses") {
    TrackingFixture f;
    for (uint32_t pid = 1; pid <= kProcessTableSize; ++pid)
        FollowProcess(f.ts, pid, 10);
    CHECK(f.ts->processes.count == kProcessTableSize);

    FollowProcess(f.ts, 9000, 20);
    CHECK_FALSE(IsProcessFollowed(f.ts, 9000, 30));
    CHECK(Counter(f.ts, 0) == 1); // childrenNotFollowed
    CHECK(Counter(f.ts, 1) == 0);

    EndFollowedProcess(f.ts, 5, 300);
    EndFollowedProcess(f.ts, 4, 200); // pids 3 and 4 end first, at the same time:
    EndFollowedProcess(f.ts, 3, 200); // the earlier slot (pid 3's) is taken
    FollowProcess(f.ts, 9001, 400);
    CHECK(IsProcessFollowed(f.ts, 9001, 400));
    CHECK(f.ts->processes.entries[2].pid == 9001);
    CHECK_FALSE(IsProcessFollowed(f.ts, 3, 150)); // its history is gone with the slot
    CHECK(IsProcessFollowed(f.ts, 4, 150));
    CHECK(Counter(f.ts, 1) == 1); // trackingSlotsRecycled

    FollowProcess(f.ts, 9002, 500);
    CHECK(f.ts->processes.entries[3].pid == 9002);
    FollowProcess(f.ts, 9003, 600);
    CHECK(f.ts->processes.entries[4].pid == 9003);
    FollowProcess(f.ts, 9004, 700);
    CHECK_FALSE(IsProcessFollowed(f.ts, 9004, 700));
    CHECK(Counter(f.ts, 0) == 2);
    CHECK(Counter(f.ts, 1) == 3);
}

TEST_CASE("tracking state: counters snapshot and release of every node") {
    int64_t before = LiveAllocationCount();
    {
        TrackingFixture f;
        RememberProcessName(f.ts, 1, u"a.exe", 0);
        RememberFileName(f.ts, 0x1000, u"\\Device\\HarddiskVolume1\\a.txt", 5, true);
        RememberKeyName(f.ts, 0x2000, u"\\REGISTRY\\MACHINE\\SOFTWARE", 0, false);
        RememberKeyName(f.ts, 0x2008, u"\\REGISTRY\\USER", 0, false);
        f.ts->registryKeysNotResolved = 3;
        f.ts->filesNotIdentified = 4;
        f.ts->keysNamedByCreate = 6;
        f.ts->keysNamedByRundown = 7;
        uint32_t c[8] = {};
        ReadTrackingCounters(f.ts, c);
        CHECK(c[2] == 3);
        CHECK(c[3] == 4);
        CHECK(c[4] == 0);
        CHECK(c[5] == 2); // KeyNameTable nodes
        CHECK(c[6] == 6);
        CHECK(c[7] == 7);
        FreeTrackingState(f.ts); // a second release (by the fixture) is harmless
        CHECK(f.ts->keyNames.count == 0);
        CHECK(f.ts->fileNames.buckets[(0x1000 >> 3) & 0xFFF] == nullptr);
    }
    CHECK(LiveAllocationCount() == before);
}

} // namespace olv
