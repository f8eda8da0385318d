#include "doctest.h"

#include "decode/provider_fixture.h"
#include "platform/sim/sim_drives.h"

namespace olv {

namespace {

constexpr uint32_t kChildPid = 4321;

void StartEvent(ProviderFixture& f, uint8_t opcode, int64_t t, uint32_t logger, uint32_t pid,
                uint32_t parent, const char* image, const char16_t* commandLine) {
    f.Begin(kProcessProvider, opcode, t, logger);
    AddSimU32(f.e, u"ProcessId", pid);
    AddSimU32(f.e, u"ParentId", parent);
    AddSimAnsiString(f.e, u"ImageFileName", image);
    if (commandLine != nullptr) AddSimWideString(f.e, u"CommandLine", commandLine);
}

void ImageEvent(ProviderFixture& f, uint8_t opcode, int64_t t, uint32_t headerPid, uint32_t pid,
                const char16_t* fileName, uint32_t size) {
    f.Begin(kImageProvider, opcode, t, headerPid);
    AddSimU32(f.e, u"ProcessId", pid);
    AddSimWideString(f.e, u"FileName", fileName);
    AddSimU32(f.e, u"ImageSize", size);
}

} // namespace

TEST_CASE("process start: who is followed, and the start row") {
    struct Case {
        const char* label;
        uint32_t logger;
        uint32_t parent;
        const char16_t* commandLine;
        bool row;
        const char* path;
        const char* detail;
    } cases[] = {
        {"started and logged by a followed parent", kSamplePid, kSamplePid, u"child.exe /q", true,
         "child.exe /q", "Parent PID: 1234 / PID: 4321"},
        {"logged by a followed process for an unfollowed parent", kSamplePid, kOtherPid,
         u"child.exe", true, "child.exe", "Parent PID: 999 / PID: 4321 / logged by PID: 1234"},
        {"followed parent, logged by another process", kOtherPid, kSamplePid, u"x", true, "x",
         "Parent PID: 1234 / PID: 4321 / logged by PID: 999"},
        {"empty command line: the image name is the path", kSamplePid, kSamplePid, u"", true,
         "child.exe", "Parent PID: 1234 / PID: 4321"},
        {"no command line property at all", kSamplePid, kSamplePid, nullptr, true, "child.exe",
         "Parent PID: 1234 / PID: 4321"},
        {"neither parent nor logger followed", kOtherPid, kOtherPid, u"child.exe", false, "", ""},
    };
    for (const Case& c : cases) {
        CAPTURE(c.label);
        ProviderFixture f;
        StartEvent(f, 1, kT0, c.logger, kChildPid, c.parent, "child.exe", c.commandLine);
        REQUIRE(f.Decode() == c.row);
        // Every start names its process, followed or not.
        char16_t name[64];
        CHECK(LookupProcessName(f.ts, kChildPid, kT0, name, 64));
        CHECK(U8(name) == "child.exe");
        CHECK(IsProcessFollowed(f.ts, kChildPid, kT0 + kSecond) == c.row);
        CHECK_FALSE(IsProcessFollowed(f.ts, kChildPid, kT0 - 1));
        if (!c.row) continue;
        CHECK(f.row.category == kCategoryProcess);
        CHECK(f.Operation() == "Started child process");
        CHECK(f.row.pid == kChildPid);
        CHECK(f.row.parentPid == c.parent);
        CHECK(U8(f.row.process) == "child.exe");
        CHECK(f.Path() == c.path);
        CHECK(f.Detail() == c.detail);
        CHECK(f.Result() == "OK");
    }
}

TEST_CASE("process rundowns name processes without rows") {
    ProviderFixture f;
    StartEvent(f, 3, kT0, kSamplePid, kChildPid, kSamplePid, "running.exe", u"running.exe");
    CHECK_FALSE(f.Decode());
    CHECK_FALSE(IsProcessFollowed(f.ts, kChildPid, kT0 + 1));
    char16_t name[64];
    CHECK(LookupProcessName(f.ts, kChildPid, kT0 + 1, name, 64));
    CHECK(U8(name) == "running.exe");

    // The rundown at the session's end (4) and other opcodes make nothing either.
    StartEvent(f, 4, kT0, kSamplePid, kChildPid, kSamplePid, "running.exe", u"running.exe");
    CHECK_FALSE(f.Decode());
    f.Begin(kProcessProvider, 39, kT0);
    CHECK_FALSE(f.Decode());
}

TEST_CASE("process exit: the row lies inside the followed interval, later events do not") {
    ProviderFixture f;
    StartEvent(f, 1, kT0, kSamplePid, kChildPid, kSamplePid, "child.exe", u"child.exe");
    REQUIRE(f.Decode());

    const int64_t exitAt = kT0 + 5 * kSecond;
    f.Begin(kProcessProvider, 2, exitAt, kChildPid);
    AddSimU32(f.e, u"ProcessId", kChildPid);
    AddSimAnsiString(f.e, u"ImageFileName", "child.exe");
    AddSimU32(f.e, u"ExitStatus", 0xC0000005);
    REQUIRE(f.Decode());
    CHECK(f.row.category == kCategoryProcess);
    CHECK(f.Operation() == "Process exited");
    CHECK(f.row.pid == kChildPid);
    CHECK(U8(f.row.process) == "child.exe");
    CHECK(f.Detail() == "Exit code: 3221225477");
    CHECK(f.Result() == "OK");
    CHECK(f.row.parentPid == 0);

    ImageEvent(f, 10, exitAt, kChildPid, kChildPid, u"C:\\a.dll", 0);
    CHECK(f.Decode());
    ImageEvent(f, 10, exitAt + 1, kChildPid, kChildPid, u"C:\\a.dll", 0);
    CHECK_FALSE(f.Decode());

    // The exit of a process that is not followed gives no row.
    f.Begin(kProcessProvider, 2, exitAt, kOtherPid);
    AddSimU32(f.e, u"ProcessId", kOtherPid);
    CHECK_FALSE(f.Decode());
}

TEST_CASE("process start with a full process table: the row is kept, the child not followed") {
    ProviderFixture f;
    for (uint32_t pid = 1; pid < kProcessTableSize; ++pid)
        FollowProcess(f.ts, 10000 + pid, 0);
    StartEvent(f, 1, kT0, kSamplePid, kChildPid, kSamplePid, "child.exe", u"child.exe");
    REQUIRE(f.Decode());
    CHECK(f.row.pid == kChildPid);
    CHECK_FALSE(IsProcessFollowed(f.ts, kChildPid, kT0 + 1));
    uint32_t counters[8];
    ReadTrackingCounters(f.ts, counters);
    CHECK(counters[0] == 1);

    ImageEvent(f, 10, kT0 + 1, kChildPid, kChildPid, u"C:\\a.dll", 0);
    CHECK_FALSE(f.Decode());
}

TEST_CASE("image events of followed processes") {
    const char16_t* letters[] = {u"C"};
    const char16_t* devices[] = {u"\\Device\\HarddiskVolume3"};
    SetSimulatedDrives(letters, devices, 1);
    struct Case {
        uint8_t opcode;
        uint32_t headerPid;
        uint32_t pid;
        uint32_t size;
        bool row;
        const char* operation;
        const char* detail;
    } cases[] = {
        {10, kOtherPid, kSamplePid, 0x1800, true, "Loaded DLL", "Size: 6.0 KB"},
        {2, kOtherPid, kSamplePid, 0x280000, true, "Unloaded DLL", "Size: 2.5 MB"},
        {10, kSamplePid, 0, 0, true, "Loaded DLL", ""}, // id 0: the header's process
        {5, kSamplePid, kSamplePid, 0, true, "Image operation (5)", ""},
        {3, kSamplePid, kSamplePid, 4096, false, "", ""}, // rundowns
        {4, kSamplePid, kSamplePid, 4096, false, "", ""},
        {10, kSamplePid, kOtherPid, 4096, false, "", ""}, // not followed
    };
    for (const Case& c : cases) {
        CAPTURE(c.opcode);
        CAPTURE(c.pid);
        ProviderFixture f;
        ImageEvent(f, c.opcode, kT0, c.headerPid, c.pid,
                   u"\\Device\\HarddiskVolume3\\Windows\\System32\\kernel32.dll", c.size);
        REQUIRE(f.Decode() == c.row);
        if (!c.row) continue;
        CHECK(f.row.category == kCategoryProcess);
        CHECK(f.row.pid == kSamplePid);
        CHECK(f.Operation() == c.operation);
        CHECK(f.Path() == "C:\\Windows\\System32\\kernel32.dll");
        CHECK(f.Detail() == c.detail);
        CHECK(f.Result() == "OK");
        CHECK(U8(f.row.process) == "sample.exe"); // filled from the process names
    }
    ClearSimulatedDrives();
}

} // namespace olv
