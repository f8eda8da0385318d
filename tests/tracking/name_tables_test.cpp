#include "doctest.h"

#include "tracking/tracking_fixture.h"

namespace olv {

TEST_CASE("process names: history per id") {
    TrackingFixture f;
    RememberProcessName(f.ts, 44, u"first.exe", 100);
    RememberProcessName(f.ts, 44, u"first.exe", 150); // same name: no second node
    CHECK(f.ts->processNames.count == 1);
    RememberProcessName(f.ts, 44, u"second.exe", 500);        // the id reused by another program
    RememberProcessName(f.ts, 44 + 256, u"neighbour.exe", 0); // same bucket, other id
    RememberProcessName(f.ts, 0, u"zero.exe", 0);
    RememberProcessName(f.ts, 45, u"", 0);
    CHECK(f.ts->processNames.count == 3);

    struct Case {
        uint32_t pid;
        int64_t t;
        const char16_t* expected; // null: not found
    } cases[] = {
        {44, 200, u"first.exe"}, {44, 499, u"first.exe"}, {44, 500, u"second.exe"},
        {44, 0, u"second.exe"},  {44, 50, nullptr},       {300, 1, u"neighbour.exe"},
        {45, 1, nullptr},        {0, 1, nullptr},
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
}

TEST_CASE("process names: long names are cut; a refused node records nothing") {
    TrackingFixture f;
    char16_t longName[100];
    for (int i = 0; i < 99; ++i)
        longName[i] = u'x';
    longName[99] = 0;
    RememberProcessName(f.ts, 1, longName, 0);
    char16_t out[128];
    CHECK(LookupProcessName(f.ts, 1, 1, out, 128));
    CHECK(TextLength(out) == 63);

    RefuseNthAllocation(1);
    RememberProcessName(f.ts, 2, u"refused.exe", 0);
    CHECK_FALSE(LookupProcessName(f.ts, 2, 1, out, 128));
    RememberProcessName(f.ts, 2, u"later.exe", 0);
    CHECK(LookupProcessName(f.ts, 2, 1, out, 128));
}

TEST_CASE("process names: above the node limit the whole history starts afresh") {
    TrackingFixture f;
    int64_t before = LiveAllocationCount();
    // Alternating names for one id make a node each, without long chain walks.
    for (int i = 0; i <= kProcessNameNodeLimit; ++i) {
        RememberProcessName(f.ts, 7, (i % 2) != 0 ? u"b.exe" : u"a.exe", i + 1);
    }
    CHECK(f.ts->processNames.count == kProcessNameNodeLimit + 1);
    RememberProcessName(f.ts, 8, u"after.exe", 1);
    CHECK(f.ts->processNames.count == 1);
    CHECK(LiveAllocationCount() == before + 1);
    char16_t out[64];
    CHECK_FALSE(LookupProcessName(f.ts, 7, 5, out, 64));
    CHECK(LookupProcessName(f.ts, 8, 5, out, 64));
}

// The FileNameTable and the KeyNameTable follow the same rules; run each case on both.
struct NameTableOps {
    const char* label;
    void (*remember)(TrackingState*, uint64_t, const char16_t*, int64_t, bool);
    void (*forget)(TrackingState*, uint64_t, int64_t);
    bool (*lookup)(TrackingState*, uint64_t, int64_t, char16_t*, size_t);
    NameTable TrackingState::*table;
};

const NameTableOps kNameTables[] = {
    {"file names", RememberFileName, ForgetFileName, LookupFileName, &TrackingState::fileNames},
    {"key names", RememberKeyName, ForgetKeyName, LookupKeyName, &TrackingState::keyNames},
};

TEST_CASE("name tables: intervals of a key's names") {
    for (const NameTableOps& ops : kNameTables) {
        CAPTURE(ops.label);
        TrackingFixture f;
        NameTable& table = f.ts->*ops.table;
        const uint64_t key = 0xFFFF800012345678ull;
        ops.remember(f.ts, key, u"old", 100, false); // named from 0 (name event, rundown)
        ops.remember(f.ts, key, u"old", 150, false); // identical live name: not stored twice
        CHECK(table.count == 1);
        ops.remember(f.ts, key, u"new", 300, true); // closes "old" at 300; "new" from 300
        CHECK(table.count == 2);
        ops.forget(f.ts, key, 800);
        ops.remember(f.ts, key + 0x8000, u"same bucket", 0, false); // a neighbour in the chain

        struct Case {
            int64_t t;
            const char16_t* expected;
        } cases[] = {
            {1, u"old"}, {299, u"old"}, {300, u"new"}, {800, u"new"}, {801, nullptr}, {0, u"new"},
        };
        for (const Case& c : cases) {
            CAPTURE(c.t);
            char16_t out[32] = {};
            CHECK(ops.lookup(f.ts, key, c.t, out, 32) == (c.expected != nullptr));
            CHECK(TextEquals(out, c.expected));
        }

        // A create-time name with no older name: nothing before its start.
        ops.remember(f.ts, 0x40, u"created", 1000, true);
        char16_t out[32] = {};
        CHECK_FALSE(ops.lookup(f.ts, 0x40, 999, out, 32));
        CHECK(ops.lookup(f.ts, 0x40, 1000, out, 32));

        // Key 0, empty names and forgetting at t < 1 are ignored.
        int32_t count = table.count;
        ops.remember(f.ts, 0, u"zero", 1, false);
        ops.remember(f.ts, 0x48, u"", 1, false);
        ops.forget(f.ts, 0x40, 0);
        CHECK(table.count == count);
        CHECK(ops.lookup(f.ts, 0x40, 5000, out, 32));
        CHECK_FALSE(ops.lookup(f.ts, 0, 0, out, 32));

        // A refused node allocation records nothing, but the old name still closes.
        RefuseNthAllocation(1);
        ops.remember(f.ts, 0x40, u"refused", 2000, true);
        CHECK(table.count == count);
        CHECK_FALSE(ops.lookup(f.ts, 0x40, 2500, out, 32));
    }
}

TEST_CASE("name tables: a failed file lookup leaves the output, a failed key lookup empties it") {
    TrackingFixture f;
    char16_t out[16] = u"kept";
    CHECK_FALSE(LookupFileName(f.ts, 0x10, 1, out, 16));
    CHECK(TextEquals(out, u"kept"));
    CHECK_FALSE(LookupKeyName(f.ts, 0x10, 1, out, 16));
    CHECK(TextEquals(out, u""));

    RememberFileName(f.ts, 0x10, u"\\Device\\HarddiskVolume2\\long name.txt", 0, false);
    CHECK(LookupFileName(f.ts, 0x10, 1, out, 16));
    CHECK(TextEquals(out, u"\\Device\\Harddis"));
}

TEST_CASE("name tables: above the node limit the whole table is dropped") {
    for (const NameTableOps& ops : kNameTables) {
        CAPTURE(ops.label);
        TrackingFixture f;
        NameTable& table = f.ts->*ops.table;
        int64_t before = LiveAllocationCount();
        for (uint64_t key = 8; key <= 8 * 10; key += 8)
            ops.remember(f.ts, key, u"n", 0, false);
        // The drop walks the buckets, not the count, so a count at the limit with ten real nodes
        // shows the rule without 200000 allocations of 2 KB.
        table.count = kNameTableNodeLimit;
        ops.remember(f.ts, 0x1000, u"at limit", 0, false);
        CHECK(table.count == kNameTableNodeLimit + 1);
        ops.remember(f.ts, 0x2000, u"over", 0, false);
        CHECK(table.count == 1);
        CHECK(LiveAllocationCount() == before + 1);
        char16_t out[16] = {};
        CHECK_FALSE(ops.lookup(f.ts, 8, 0, out, 16));
        CHECK(ops.lookup(f.ts, 0x2000, 0, out, 16));
    }
}

} // namespace olv
