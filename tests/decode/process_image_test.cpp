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

void ImageEvent(ProviderFixture& f, uint8_t opcode, int64_t t, uint32_t pid, uint64_t size = 0,
                const char16_t* fileName = u"\\Device\\HarddiskVolume3\\Windows\\a.dll") {
    f.Begin(kImageProvider, opcode, t, kChildPid);
    AddSimU32(f.e, u"ProcessId", pid);
    AddSimWideString(f.e, u"FileName", fileName);
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

TEST_CASE("process start and rundowns: who is followed, and the start row") {
    struct Case {
        uint8_t opcode;
        uint32_t logger, parent;
        const char16_t* commandLine;
        const char* cells; // null: no row
    } cases[] = {
        {1, kSamplePid, kSamplePid, u"child.exe /q",
         "child.exe|Started child process|child.exe /q|Parent PID: 1234 / PID: 4321|OK"},
        // logged by a followed process on behalf of an unfollowed parent
        {1, kSamplePid, kOtherPid, u"c",
         "child.exe|Started child process|c|Parent PID: 999 / PID: 4321 / logged by PID: 1234|OK"},
        {1, kOtherPid, kSamplePid, u"c",
         "child.exe|Started child process|c|Parent PID: 1234 / PID: 4321 / logged by PID: 999|OK"},
        {1, kSamplePid, kSamplePid, u"",
         "child.exe|Started child process|child.exe|Parent PID: 1234 / PID: 4321|OK"},
        {1, kSamplePid, kSamplePid, nullptr,
         "child.exe|Started child process|child.exe|Parent PID: 1234 / PID: 4321|OK"},
        {1, kSamplePid, 0, u"c", // no parent: no "logged by"
         "child.exe|Started child process|c|Parent PID: 0 / PID: 4321|OK"},
        {1, kOtherPid, kOtherPid, u"c", nullptr},
        {3, kSamplePid, kSamplePid, u"c", nullptr}, // a rundown names a process without a row
        {4, kSamplePid, kSamplePid, u"c", nullptr}, // the one at the session's end: no row
    };
    for (const Case& c : cases) {
        CAPTURE(c.opcode);
        CAPTURE(c.logger);
        CAPTURE(c.parent);
        ProviderFixture f;
        StartEvent(f, c.opcode, c.logger, c.parent, c.commandLine);
        REQUIRE(f.Decode() == (c.cells != nullptr));
        if (c.opcode != 4) CHECK(Name(f, kChildPid) == "child.exe"); // starts name processes
        CHECK(IsProcessFollowed(f.ts, kChildPid, kT0 + kSecond) == (c.cells != nullptr));
        CHECK_FALSE(IsProcessFollowed(f.ts, kChildPid, kT0 - 1));
        if (c.cells == nullptr) continue;
        CHECK((f.row.category == kCategoryProcess && f.row.pid == kChildPid &&
               f.row.parentPid == c.parent));
        CHECK(f.Cells() == c.cells);
    }
}

TEST_CASE("process and image rows name files with the drive the user knows, whatever form the "
          "kernel gave") {
    const char16_t* letters[] = {u"C"};
    const char16_t* devices[] = {u"\\Device\\HarddiskVolume3"};
    SetSimulatedDrives(letters, devices, 1);
    SetSimulatedWindowsFolder(u"C:\\Windows");
    struct Case {
        const char16_t* given;
        const char* commandLine; // the start row's path
        const char* image;       // the image row's path
    } cases[] = {
        {u"\\??\\C:\\Windows\\system32\\conhost.exe 0xffffffff -ForceV1",
         "C:\\Windows\\system32\\conhost.exe 0xffffffff -ForceV1",
         "C:\\Windows\\system32\\conhost.exe 0xffffffff -ForceV1"},
        {u"\\SystemRoot\\System32\\ntdll.dll", "C:\\Windows\\System32\\ntdll.dll",
         "C:\\Windows\\System32\\ntdll.dll"},
        {u"\\Windows\\System32\\kernel32.dll", "C:\\Windows\\System32\\kernel32.dll",
         "C:\\Windows\\System32\\kernel32.dll"},
        {u"\\Device\\Mup\\DfsClient\\;Z:0000000000020d40\\srv\\share\\Test.x64.exe",
         "\\\\srv\\share\\Test.x64.exe", "\\\\srv\\share\\Test.x64.exe"},
        {u"\\Device\\HarddiskVolume3\\Tools\\a.exe -x", "C:\\Tools\\a.exe -x",
         "C:\\Tools\\a.exe -x"},
        // A quoted program path keeps its quotes around the translated path.
        {u"\"\\??\\C:\\Program Files\\a.exe\" /s", "\"C:\\Program Files\\a.exe\" /s",
         "\"\\??\\C:\\Program Files\\a.exe\" /s"},
        {u"child.exe /q", "child.exe /q", "child.exe /q"},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.given));
        ProviderFixture f;
        StartEvent(f, 1, kSamplePid, kSamplePid, c.given);
        REQUIRE(f.Decode());
        CHECK(U8(f.row.path) == c.commandLine);
        ImageEvent(f, 10, kT0, kSamplePid, 0, c.given);
        REQUIRE(f.Decode());
        CHECK(U8(f.row.path) == c.image);
    }
    SetSimulatedWindowsFolder(nullptr);
    ClearSimulatedDrives();
}

TEST_CASE("process exit: the row lies inside the followed interval, later events do not") {
    ProviderFixture f;
    StartEvent(f, 1, kSamplePid, kSamplePid);
    REQUIRE(f.Decode());
    const int64_t exitAt = kT0 + 5 * kSecond;
    f.Begin(kProcessProvider, 2, exitAt, kChildPid);
    AddSimU32(f.e, u"ProcessId", kChildPid);
    AddSimAnsiString(f.e, u"ImageFileName", "child.ex"); // the table's name, not the event's
    AddSimU32(f.e, u"ExitStatus", 0xC0000005);
    REQUIRE(f.Decode());
    CHECK((f.row.category == kCategoryProcess && f.row.pid == kChildPid));
    CHECK(f.Cells() == "child.exe|Process exited||Exit code: 3221225477|OK");
    ImageEvent(f, 10, exitAt, kChildPid);
    CHECK(f.Decode());
    ImageEvent(f, 10, exitAt + 1, kChildPid);
    CHECK_FALSE(f.Decode());
    f.Begin(kProcessProvider, 2, exitAt, kOtherPid); // not followed: no row
    AddSimU32(f.e, u"ProcessId", kOtherPid);
    CHECK_FALSE(f.Decode());
    FollowProcess(f.ts, 77, 0); // followed but never named: the event's name
    f.Begin(kProcessProvider, 2, exitAt, 77);
    AddSimU32(f.e, u"ProcessId", 77);
    AddSimAnsiString(f.e, u"ImageFileName", "unnamed.exe");
    REQUIRE(f.Decode());
    CHECK(U8(f.row.process) == "unnamed.exe");
}

TEST_CASE("process names: the full name from the command line or the executable's load, the "
          "kernel's cut short name only when nothing better is known") {
    const char16_t* letters[] = {u"C"};
    const char16_t* devices[] = {u"\\Device\\HarddiskVolume3"};
    SetSimulatedDrives(letters, devices, 1);
    struct Case {
        const char* shortName; // code page 1252, as the kernel cut it
        const char16_t* commandLine;
        const char16_t* firstLoad; // logged before the start, when not null
        const char* startName;     // the start row's process
        const char* laterName;     // the exit row's, after the executable's load
    } cases[] = {
        {"Invoice_2024-04", u"\"C:\\Users\\a\\Invoice_2024-0412.pdf.exe\" /s", nullptr,
         "Invoice_2024-0412.pdf.exe", "Invoice_2024-0412.pdf.exe"},
        // the command line names another program: the short name until the load
        {"Invoice_2024-04", u"svchost.exe -k netsvcs", nullptr, "Invoice_2024-04",
         "Invoice_2024-0412.pdf.exe"},
        // the loads were logged before the start
        {"Invoice_2024-04", u"Invoice",
         u"\\Device\\HarddiskVolume3\\Users\\a\\Invoice_2024-0412.pdf.exe",
         "Invoice_2024-0412.pdf.exe", "Invoice_2024-0412.pdf.exe"},
        {"cmd.exe", u"cmd /c dir", nullptr, "cmd.exe", "cmd.exe"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.shortName);
        ProviderFixture f;
        if (c.firstLoad != nullptr) {
            ImageEvent(f, 10, kT0 - 2, kChildPid, 4096, c.firstLoad);
            CHECK_FALSE(f.Decode()); // not followed yet
        }
        f.Begin(kProcessProvider, 1, kT0, kSamplePid);
        AddSimU32(f.e, u"ProcessId", kChildPid);
        AddSimU32(f.e, u"ParentId", kSamplePid);
        AddSimAnsiString(f.e, u"ImageFileName", c.shortName);
        AddSimWideString(f.e, u"CommandLine", c.commandLine);
        REQUIRE(f.Decode());
        CHECK(U8(f.row.process) == c.startName);
        ImageEvent(f, 10, kT0 + 1, kChildPid, 4096,
                   u"\\Device\\HarddiskVolume3\\Users\\a\\Invoice_2024-0412.pdf.exe");
        REQUIRE(f.Decode());
        ImageEvent(f, 10, kT0 + 2, kChildPid, 4096,
                   u"\\Device\\HarddiskVolume3\\Windows\\System32\\ntdll.dll");
        REQUIRE(f.Decode());
        f.Begin(kProcessProvider, 2, kT0 + 3, kChildPid);
        AddSimU32(f.e, u"ProcessId", kChildPid);
        AddSimAnsiString(f.e, u"ImageFileName", c.shortName);
        REQUIRE(f.Decode());
        CHECK(U8(f.row.process) == c.laterName);
    }
    ClearSimulatedDrives();
}

TEST_CASE("process start with a full process table: the row is kept, the child not followed") {
    ProviderFixture f;
    for (uint32_t pid = 1; pid < kProcessTableSize; ++pid)
        FollowProcess(f.ts, 10000 + pid, 0);
    StartEvent(f, 1, kSamplePid, kSamplePid);
    REQUIRE(f.Decode());
    CHECK(f.row.pid == kChildPid);
    uint32_t counters[kTrackingCounterCount];
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
        const char* cells; // null: no row; the process is filled from the process names
    } cases[] = {
        {10, kSamplePid, 0x1800, "sample.exe|Loaded DLL|C:\\Windows\\a.dll|Size: 6.0 KB|OK"},
        {2, kSamplePid, 0x280000, "sample.exe|Unloaded DLL|C:\\Windows\\a.dll|Size: 2.5 MB|OK"},
        {10, kSamplePid, 0x700001800, // 8 bytes
         "sample.exe|Loaded DLL|C:\\Windows\\a.dll|Size: 6.0 KB|OK"},
        {5, kSamplePid, 0, "sample.exe|Image operation (5)|C:\\Windows\\a.dll||OK"},
        {3, kSamplePid, 4096, nullptr}, // rundowns
        {4, kSamplePid, 4096, nullptr},
        {10, kOtherPid, 4096, nullptr} // not followed
    };
    for (const Case& c : cases) {
        CAPTURE(c.opcode);
        CAPTURE(c.pid);
        ProviderFixture f;
        ImageEvent(f, c.opcode, kT0, c.pid, c.size);
        REQUIRE(f.Decode() == (c.cells != nullptr));
        if (c.cells == nullptr) continue;
        CHECK((f.row.category == kCategoryProcess && f.row.pid == kSamplePid));
        CHECK(f.Cells() == c.cells);
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
