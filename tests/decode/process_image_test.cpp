#include "doctest.h"

#include "decode/provider_fixture.h"
#include "platform/sim/sim_drives.h"

namespace olv {

namespace {

constexpr uint32_t kChildPid = 4321;

void StartEvent(ProviderFixture& f, uint8_t opcode, uint32_t logger, uint32_t parent,
                const char16_t* commandLine = u"child.exe /q") {
    f.Begin(kProcessProvider, opcode, kT0, logger);
    AddSimU32(f.e, u"ProcessId", kChildPid);
    AddSimU32(f.e, u"ParentId", parent);
    AddSimAnsiString(f.e, u"ImageFileName", "child.exe");
    if (commandLine != nullptr) AddSimWideString(f.e, u"CommandLine", commandLine);
}

void ImageEvent(ProviderFixture& f, uint8_t opcode, int64_t t, uint32_t pid, uint64_t size = 0) {
    f.Begin(kImageProvider, opcode, t, kChildPid);
    AddSimU32(f.e, u"ProcessId", pid);
    AddSimWideString(f.e, u"FileName", u"\\Device\\HarddiskVolume3\\Windows\\a.dll");
    if (size > 0xFFFFFFFFu) {
        AddSimU64(f.e, u"ImageSize", size); // read for its low 32 bits
    } else {
        AddSimU32(f.e, u"ImageSize", static_cast<uint32_t>(size));
    }
}

std::string Name(ProviderFixture& f, uint32_t pid) {
    char16_t name[64];
    LookupProcessName(f.ts, pid, kT0 + 1, name, 64);
    return U8(name);
}

} // namespace

TEST_CASE("process start: who is followed, and the start row") {
    struct Case {
        uint32_t logger, parent;
        const char16_t* commandLine;
        const char* path; // null: no row
        const char* detail;
    } cases[] = {
        {kSamplePid, kSamplePid, u"child.exe /q", "child.exe /q", "Parent PID: 1234 / PID: 4321"},
        // logged by a followed process on behalf of an unfollowed parent
        {kSamplePid, kOtherPid, u"c", "c", "Parent PID: 999 / PID: 4321 / logged by PID: 1234"},
        {kOtherPid, kSamplePid, u"c", "c", "Parent PID: 1234 / PID: 4321 / logged by PID: 999"},
        {kSamplePid, kSamplePid, u"", "child.exe", "Parent PID: 1234 / PID: 4321"},
        {kSamplePid, kSamplePid, nullptr, "child.exe", "Parent PID: 1234 / PID: 4321"},
        {kSamplePid, 0, u"c", "c", "Parent PID: 0 / PID: 4321"}, // no parent: no "logged by"
        {kOtherPid, kOtherPid, u"c", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        CAPTURE(c.logger);
        CAPTURE(c.parent);
        ProviderFixture f;
        StartEvent(f, 1, c.logger, c.parent, c.commandLine);
        REQUIRE(f.Decode() == (c.path != nullptr));
        CHECK(Name(f, kChildPid) == "child.exe"); // every start names its process
        CHECK(IsProcessFollowed(f.ts, kChildPid, kT0 + kSecond) == (c.path != nullptr));
        CHECK_FALSE(IsProcessFollowed(f.ts, kChildPid, kT0 - 1));
        if (c.path == nullptr) continue;
        CHECK((f.row.category == kCategoryProcess && f.row.pid == kChildPid));
        CHECK(f.row.parentPid == c.parent);
        CHECK(f.Operation() == "Started child process");
        CHECK(U8(f.row.process) == "child.exe");
        CHECK(f.Path() == c.path);
        CHECK(f.Detail() == c.detail);
        CHECK(f.Result() == "OK");
    }
}

TEST_CASE("process rundowns name processes without rows") {
    ProviderFixture f;
    StartEvent(f, 3, kSamplePid, kSamplePid);
    CHECK_FALSE(f.Decode());
    CHECK_FALSE(IsProcessFollowed(f.ts, kChildPid, kT0 + 1));
    CHECK(Name(f, kChildPid) == "child.exe");
    StartEvent(f, 4, kSamplePid, kSamplePid); // the rundown at the session's end
    CHECK_FALSE(f.Decode());
}

TEST_CASE("process exit: the row lies inside the followed interval, later events do not") {
    ProviderFixture f;
    StartEvent(f, 1, kSamplePid, kSamplePid);
    REQUIRE(f.Decode());
    const int64_t exitAt = kT0 + 5 * kSecond;
    f.Begin(kProcessProvider, 2, exitAt, kChildPid);
    AddSimU32(f.e, u"ProcessId", kChildPid);
    AddSimAnsiString(f.e, u"ImageFileName", "child.exe");
    AddSimU32(f.e, u"ExitStatus", 0xC0000005);
    REQUIRE(f.Decode());
    CHECK((f.row.category == kCategoryProcess && f.row.pid == kChildPid));
    CHECK(f.Operation() == "Process exited");
    CHECK(f.Detail() == "Exit code: 3221225477");
    CHECK(f.Result() == "OK");
    CHECK(U8(f.row.process) == "child.exe");
    ImageEvent(f, 10, exitAt, kChildPid);
    CHECK(f.Decode());
    ImageEvent(f, 10, exitAt + 1, kChildPid);
    CHECK_FALSE(f.Decode());
    f.Begin(kProcessProvider, 2, exitAt, kOtherPid); // not followed: no row
    AddSimU32(f.e, u"ProcessId", kOtherPid);
    CHECK_FALSE(f.Decode());
}

TEST_CASE("process start with a full process table: the row is kept, the child not followed") {
    ProviderFixture f;
    for (uint32_t pid = 1; pid < kProcessTableSize; ++pid)
        FollowProcess(f.ts, 10000 + pid, 0);
    StartEvent(f, 1, kSamplePid, kSamplePid);
    REQUIRE(f.Decode());
    CHECK(f.row.pid == kChildPid);
    uint32_t counters[8];
    ReadTrackingCounters(f.ts, counters);
    CHECK(counters[0] == 1);
    ImageEvent(f, 10, kT0 + 1, kChildPid);
    CHECK_FALSE(f.Decode());
}

TEST_CASE("image events of followed processes") {
    const char16_t* letters[] = {u"C"};
    const char16_t* devices[] = {u"\\Device\\HarddiskVolume3"};
    SetSimulatedDrives(letters, devices, 1);
    struct Case {
        uint8_t opcode;
        uint32_t pid;
        uint64_t size;
        const char* operation; // null: no row
        const char* detail;
    } cases[] = {
        {10, kSamplePid, 0x1800, "Loaded DLL", "Size: 6.0 KB"},
        {2, kSamplePid, 0x280000, "Unloaded DLL", "Size: 2.5 MB"},
        {10, kSamplePid, 0x700001800, "Loaded DLL", "Size: 6.0 KB"}, // 8 bytes
        {5, kSamplePid, 0, "Image operation (5)", ""},
        {3, kSamplePid, 4096, nullptr, nullptr}, // rundowns
        {4, kSamplePid, 4096, nullptr, nullptr},
        {10, kOtherPid, 4096, nullptr, nullptr} // not followed
    };
    for (const Case& c : cases) {
        CAPTURE(c.opcode);
        CAPTURE(c.pid);
        ProviderFixture f;
        ImageEvent(f, c.opcode, kT0, c.pid, c.size);
        REQUIRE(f.Decode() == (c.operation != nullptr));
        if (c.operation == nullptr) continue;
        CHECK((f.row.category == kCategoryProcess && f.row.pid == kSamplePid));
        CHECK(f.Operation() == c.operation);
        CHECK(f.Path() == "C:\\Windows\\a.dll");
        CHECK(f.Detail() == c.detail);
        CHECK(f.Result() == "OK");
        CHECK(U8(f.row.process) == "sample.exe"); // filled from the process names
    }
    // Process id 0 in the payload: the image belongs to the header's process.
    ProviderFixture f;
    ImageEvent(f, 10, kT0, 0);
    f.e->record.header.processId = kSamplePid;
    REQUIRE(f.Decode());
    CHECK(f.row.pid == kSamplePid);
    ClearSimulatedDrives();
}

} // namespace olv
