#include "doctest.h"

#include <string>

#include "tracking/tracking_fixture.h"

namespace olv {

TEST_CASE("process table: followed intervals") {
    TrackingFixture f;
    TrackLaunchedProcess(f.ts, 100, u"target.exe", 0);
    FollowProcess(f.ts, 200, 1000);
    FollowProcess(f.ts, 200, 50);     // already live: its start stays
    EndFollowedProcess(f.ts, 200, 0); // below 1: ends nothing
    EndFollowedProcess(f.ts, 200, 5000);
    EndFollowedProcess(f.ts, 200, 7000); // no live entry any more
    FollowProcess(f.ts, 200, 8000);      // the id, reused by a new child
    FollowProcess(f.ts, 0, 1);
    CHECK(f.ts->processes.count == 3);
    struct Case {
        uint32_t pid;
        int64_t t;
        bool followed;
    } cases[] = {{100, 1, true}, // the launched program counts from before its registration
                 {200, 999, false},  {200, 1000, true}, {200, 5000, true},  {200, 5001, false},
                 {200, 7999, false}, {200, 8000, true}, {300, 2000, false}, {0, 2000, false}};
    for (const Case& c : cases) {
        CAPTURE(c.pid);
        CAPTURE(c.t);
        CHECK(IsProcessFollowed(f.ts, c.pid, c.t) == c.followed);
    }
}

TEST_CASE("process table: when full, the slot that ended first is reused, else refused") {
    TrackingFixture f;
    for (uint32_t pid = 1; pid <= kProcessTableSize; ++pid)
        FollowProcess(f.ts, pid, 10);
    FollowProcess(f.ts, 9000, 20); // all 512 still running
    CHECK_FALSE(IsProcessFollowed(f.ts, 9000, 30));
    EndFollowedProcess(f.ts, 5, 300);
    EndFollowedProcess(f.ts, 4, 200); // 3 and 4 end first, at the same time:
    EndFollowedProcess(f.ts, 3, 200); // the earlier slot (pid 3's) goes first
    for (uint32_t pid : {9001u, 9002u, 9003u, 9004u})
        FollowProcess(f.ts, pid, 400);
    CHECK(f.ts->processes.entries[2].pid == 9001);
    CHECK(f.ts->processes.entries[3].pid == 9002);
    CHECK(f.ts->processes.entries[4].pid == 9003);
    CHECK(IsProcessFollowed(f.ts, 9003, 400));
    CHECK_FALSE(IsProcessFollowed(f.ts, 9004, 400));
    CHECK(Counter(f.ts, 0) == 2); // childrenNotFollowed
    CHECK(Counter(f.ts, 1) == 3); // trackingSlotsRecycled
}

TEST_CASE("process names: history per id, one node per name") {
    TrackingFixture f;
    RememberProcessName(f.ts, 44, u"first.exe", 100);
    RememberProcessName(f.ts, 44, u"first.exe", 150);         // same name: no second node
    RememberProcessName(f.ts, 44, u"second.exe", 500);        // the id reused by another program
    RememberProcessName(f.ts, 44, u"first.exe", 700);         // and by the first one again
    RememberProcessName(f.ts, 44 + 256, u"neighbour.exe", 0); // same bucket, other id
    RememberProcessName(f.ts, 0, u"zero.exe", 0);
    RememberProcessName(f.ts, 45, u"", 0);
    CHECK(f.ts->processNames.count == 4);
    struct Case {
        uint32_t pid;
        int64_t t;
        const char16_t* expected; // null: not found
    } cases[] = {
        {44, 499, u"first.exe"}, {44, 500, u"second.exe"}, {44, 700, u"first.exe"},
        {44, 0, u"first.exe"},   {44, 50, nullptr},        {300, 1, u"neighbour.exe"},
        {0, 1, nullptr},
    };
    for (const Case& c : cases) {
        CAPTURE(c.pid);
        CAPTURE(c.t);
        char16_t out[64] = u"stale";
        CHECK(LookupProcessName(f.ts, c.pid, c.t, out, 64) == (c.expected != nullptr));
        CHECK(TextEquals(out, c.expected)); // emptied when nothing is found
    }
    char16_t small[5];
    CHECK(LookupProcessName(f.ts, 44, 600, small, 5));
    CHECK(TextEquals(small, u"seco"));

    const std::u16string longName(99, u'x'); // kept to 63 characters
    RememberProcessName(f.ts, 1, longName.c_str(), 0);
    char16_t out[128];
    CHECK(LookupProcessName(f.ts, 1, 1, out, 128));
    CHECK(TextLength(out) == 63);
    RefuseNthAllocation(1); // a refused node records nothing
    RememberProcessName(f.ts, 2, u"refused.exe", 0);
    CHECK_FALSE(LookupProcessName(f.ts, 2, 1, out, 128));
}

TEST_CASE("tracking state: every node released, a second release harmless") {
    const int64_t before = LiveAllocationCount();
    {
        TrackingFixture f;
        RememberProcessName(f.ts, 1, u"a.exe", 0);
        RememberFileName(f.ts, 0x1000, u"\\Device\\HarddiskVolume1\\a.txt", 5, true);
        RememberKeyName(f.ts, 0x2000, u"\\REGISTRY\\MACHINE", 0, false);
        FreeTrackingState(f.ts); // released again by the fixture
    }
    CHECK(LiveAllocationCount() == before);
}

TEST_CASE("process table: the processes still running, the launched program left out or not") {
    TrackingFixture f;
    CHECK(CountRunningFollowedProcesses(f.ts, 0) == 0);
    TrackLaunchedProcess(f.ts, 100, u"target.exe", 0);
    FollowProcess(f.ts, 200, 1000);
    FollowProcess(f.ts, 300, 1100);
    CHECK(CountRunningFollowedProcesses(f.ts, 0) == 3);
    CHECK(CountRunningFollowedProcesses(f.ts, 100) == 2);
    EndFollowedProcess(f.ts, 200, 2000);
    CHECK(CountRunningFollowedProcesses(f.ts, 100) == 1);
    EndFollowedProcess(f.ts, 300, 2100);
    CHECK(CountRunningFollowedProcesses(f.ts, 100) == 0);
    CHECK(CountRunningFollowedProcesses(f.ts, 0) == 1); // the program's own end was not seen
    FollowProcess(f.ts, 200, 3000); // an id reused by a new child runs again
    CHECK(CountRunningFollowedProcesses(f.ts, 100) == 1);
    CHECK(CountRunningFollowedProcesses(nullptr, 0) == 0);
}

} // namespace olv
