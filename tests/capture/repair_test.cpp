// Late naming of registry rows at Stop: rows decoded while their key was unknown get the full
// path from the rundown at the session's end, are scored again and leave the unresolved count.
#include "doctest.h"

#include <cstring>

#include "app/app_state.h"
#include "capture/event_queue.h"
#include "capture/trace_controller.h"
#include "decode/decode.h"
#include "platform/memory.h"
#include "platform/sim/sim_event.h"
#include "support/text_check.h"

namespace olv {

namespace {

constexpr int64_t kT0 = 133500000000000000;
constexpr uint32_t kPid = 2200;
constexpr uint64_t kRunKey = 0xFFFF8A0000001000ull;
constexpr uint64_t kSoftwareKey = 0xFFFF8A0000002000ull;
constexpr uint64_t kNeverNamedKey = 0xFFFF8A0000003000ull;
constexpr uint64_t kReusedKey = 0xFFFF8A0000004000ull;

struct RepairFixture {
    AppState* app = nullptr;
    SimEvent* e = nullptr;
    TrackingState* ts = nullptr;

    RepairFixture() {
        app = AllocRecord<AppState>();
        e = AllocRecord<SimEvent>();
        REQUIRE(app != nullptr);
        REQUIRE(e != nullptr);
        InitAppState(app);
        app->trace = AllocRecord<TraceController>();
        REQUIRE(app->trace != nullptr);
        ResetTraceController(app->trace);
        ts = &app->trace->tracking;
        TrackLaunchedProcess(ts, kPid, u"dropper.exe");
        app->rowCapacity = 32;
        app->rows = static_cast<EventRow*>(AllocZeroed(sizeof(EventRow) * 32));
        REQUIRE(app->rows != nullptr);
    }
    ~RepairFixture() {
        CleanUpAppState(app); // releases the trace controller and the rows
        FreeBlock(app);
        FreeBlock(e);
    }
    RepairFixture(const RepairFixture&) = delete;
    RepairFixture& operator=(const RepairFixture&) = delete;

    void KeyEvent(uint8_t opcode, int64_t t, uint64_t key, const char16_t* name) {
        BeginSimEvent(e, kRegistryProvider, opcode, 0, 4, 8, t);
        AddSimPointer(e, u"KeyHandle", key);
        AddSimWideString(e, u"KeyName", name);
        EventRow row = {};
        CHECK_FALSE(DecodeEvent(ts, &e->record, &row));
    }
    // Decodes an operation of the followed process into the next row of the store.
    EventRow& Operation(uint8_t opcode, int64_t t, uint64_t key, const char16_t* name) {
        BeginSimEvent(e, kRegistryProvider, opcode, 0, kPid, 8, t);
        if (key != 0) AddSimPointer(e, u"KeyHandle", key);
        if (name != nullptr) AddSimWideString(e, u"KeyName", name);
        REQUIRE(app->rowCount < app->rowCapacity);
        EventRow& row = app->rows[app->rowCount];
        std::memset(static_cast<void*>(&row), 0, sizeof row);
        REQUIRE(DecodeEvent(ts, &e->record, &row));
        ++app->rowCount;
        return row;
    }
    void AddRow(uint32_t category, uint64_t key, const char16_t* path) {
        REQUIRE(app->rowCount < app->rowCapacity);
        EventRow& row = app->rows[app->rowCount++];
        std::memset(static_cast<void*>(&row), 0, sizeof row);
        row.category = category;
        row.keyObject = key;
        row.timestamp = static_cast<uint64_t>(kT0);
        CopyBounded(row.path, kPathChars, path);
    }
};

} // namespace

TEST_CASE("repair: the stop rundown names keys that were unknown while the trace ran") {
    RepairFixture f;
    const int64_t t = kT0 + 100;
    f.KeyEvent(22, t, kReusedKey, u"\\REGISTRY\\MACHINE\\OLD");
    f.KeyEvent(23, t + 5, kReusedKey, u"");

    EventRow& persist = f.Operation(14, t + 10, kRunKey, u"Updater");
    EventRow& relative = f.Operation(11, t + 20, kSoftwareKey, u"Classes\\CLSID");
    EventRow& bare = f.Operation(13, t + 30, kSoftwareKey, nullptr);
    EventRow& neverNamed = f.Operation(11, t + 40, kNeverNamedKey, u"Sub");
    EventRow& noKey = f.Operation(11, t + 50, 0, u"Orphan");
    EventRow& afterDelete = f.Operation(11, t + 60, kReusedKey, u"Gone");
    EventRow& before = f.Operation(11, t + 1, kReusedKey, u"Kept");
    CHECK(U8(persist.path) == "(key not identified)");
    CHECK(U8(persist.detail) == "Value: Updater");
    CHECK(persist.severity == 0);
    CHECK(U8(relative.path) == "...\\Classes\\CLSID");
    CHECK(U8(before.path) == "\\REGISTRY\\MACHINE\\OLD\\Kept");
    CHECK(f.ts->registryKeysNotResolved == 6);

    // Stop: the rundown at the session's end lists the open keys (their names hold from 0).
    f.KeyEvent(25, t + 1000, kRunKey,
               u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
    f.KeyEvent(25, t + 1000, kSoftwareKey, u"\\REGISTRY\\USER\\S-1-5-21-1\\Software\\");
    RepairRegistryKeyPaths(f.app);

    CHECK(U8(persist.path) ==
          "\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
    CHECK(U8(persist.detail) == "Value: Updater");
    CHECK(persist.severity == 3); // scored again with its path
    CHECK(U8(persist.threat) == "Run key persistence");
    CHECK(U8(relative.path) == "\\REGISTRY\\USER\\S-1-5-21-1\\Software\\Classes\\CLSID");
    CHECK(U8(bare.path) == "\\REGISTRY\\USER\\S-1-5-21-1\\Software\\");
    CHECK(U8(neverNamed.path) == "...\\Sub");
    CHECK(U8(noKey.path) == "...\\Orphan");
    // The deleted key object's old name does not cover rows after its deletion.
    CHECK(U8(afterDelete.path) == "...\\Gone");
    CHECK(U8(before.path) == "\\REGISTRY\\MACHINE\\OLD\\Kept");
    CHECK(f.ts->registryKeysNotResolved == 3);

    // A second pass finds nothing left to repair.
    RepairRegistryKeyPaths(f.app);
    CHECK(f.ts->registryKeysNotResolved == 3);
}

TEST_CASE("repair: only unresolved registry paths are ever changed") {
    RepairFixture f;
    f.KeyEvent(24, kT0, kRunKey, u"\\REGISTRY\\MACHINE\\SYSTEM");
    f.AddRow(kCategoryRegistry, kRunKey, u"");
    f.AddRow(kCategoryRegistry, kRunKey, u"\\REGISTRY\\USER\\Full");
    f.AddRow(kCategoryRegistry, kRunKey, u"..\\Almost");
    f.AddRow(kCategoryRegistry, kRunKey, u"(key not identified) ");
    f.AddRow(kCategoryFile, kRunKey, u"(key not identified)");
    f.AddRow(kCategoryRegistry, kRunKey, u"...\\");
    f.AddRow(kCategoryRegistry, kRunKey, u"(key not identified)");
    f.ts->registryKeysNotResolved = 2;

    RepairRegistryKeyPaths(f.app);
    const char* expected[] = {
        "",
        "\\REGISTRY\\USER\\Full",
        "..\\Almost",
        "(key not identified) ",
        "(key not identified)",
        "\\REGISTRY\\MACHINE\\SYSTEM",
        "\\REGISTRY\\MACHINE\\SYSTEM",
    };
    for (int i = 0; i < 7; ++i) {
        CAPTURE(i);
        CHECK(U8(f.app->rows[i].path) == expected[i]);
    }
    CHECK(f.ts->registryKeysNotResolved == 0);
}

TEST_CASE("repair: without a trace controller nothing is done") {
    RepairFixture f;
    f.AddRow(kCategoryRegistry, kRunKey, u"(key not identified)");
    f.KeyEvent(24, kT0, kRunKey, u"\\REGISTRY\\MACHINE");
    TraceController* trace = f.app->trace;
    f.app->trace = nullptr;
    RepairRegistryKeyPaths(f.app);
    f.app->trace = trace;
    CHECK(U8(f.app->rows[0].path) == "(key not identified)");
}

} // namespace olv
