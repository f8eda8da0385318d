// Process and thread opens from the kernel audit provider, and driver loads from the image events,
// through DecodeEvent: the rows, who they belong to, and the events that give none.
#include "doctest.h"

#include "decode/provider_fixture.h"

namespace olv {

namespace {

constexpr uint16_t kOpenProcess = 5;
constexpr uint16_t kOpenThread = 6;
constexpr uint32_t kLsassPid = 712;
constexpr uint32_t kExplorerPid = 4400;

struct AuditFixture : ProviderFixture {
    AuditFixture() {
        RememberProcessName(ts, kLsassPid, u"lsass.exe", 0);
        RememberProcessName(ts, kExplorerPid, u"explorer.exe", 0);
    }
    // thread 0: a process open.
    bool Open(uint32_t target, uint32_t access, uint32_t status, uint32_t thread = 0,
              uint32_t opener = kSamplePid) {
        Begin(kKernelAuditProvider, 0, kT0, opener, thread != 0 ? kOpenThread : kOpenProcess);
        AddSimU32(e, u"TargetProcessId", target);
        if (thread != 0) AddSimU32(e, u"TargetThreadId", thread);
        AddSimU32(e, u"DesiredAccess", access);
        AddSimU32(e, u"ReturnCode", status);
        return Decode();
    }
    bool Image(uint32_t logger, uint32_t payloadPid, uint64_t base, const char16_t* file) {
        Begin(kImageProvider, 10, kT0, logger);
        AddSimPointer(e, u"ImageBase", base);
        AddSimU32(e, u"ImageSize", 0x11000);
        AddSimU32(e, u"ProcessId", payloadPid);
        AddSimWideString(e, u"FileName", file);
        return Decode();
    }
};

std::string Access(uint32_t mask, bool thread = false) {
    char16_t out[kDetailChars];
    FormatProcessAccess(mask, thread, out, kDetailChars);
    return U8(out);
}

} // namespace

TEST_CASE("process opens: the target, the rights asked for in hex with their names, the status") {
    AuditFixture f;
    REQUIRE(f.Open(kLsassPid, 0x1410, 0));
    CHECK(f.Operation() == "Opened process");
    CHECK(f.row.category == kCategoryProcess);
    CHECK(f.row.pid == kSamplePid); // the opener's row
    CHECK(f.Cells() == "sample.exe|Opened process|lsass.exe|Target PID: 712 / Access: 0x1410 "
                       "(read memory, query information, query limited information)|OK");
    // LSASS opened, its memory read: both rules score it.
    CHECK(f.row.severity == 3);
    CHECK(U8(f.row.threat) == "LSASS opened (+1)");

    // Refused: the status as the open returned it; the attempt still scores.
    REQUIRE(f.Open(kLsassPid, 0x1fffff, 0xC0000022));
    CHECK(f.Detail() == "Target PID: 712 / Access: 0x1fffff (all access)");
    CHECK(f.Result() == "DENIED");
    CHECK(U8(f.row.threat) == "Process memory opened for writing (+2)");

    // A process the recording never named, and a status without a name.
    REQUIRE(f.Open(4242, 0x1000, 0xC000000B));
    CHECK(f.Path() == "PID 4242");
    CHECK(f.Result() == "FAIL 0xC000000B");
    CHECK(f.row.severity == 0); // no memory right
}

TEST_CASE("thread opens: the thread's id and a thread's rights, never taken for memory rights") {
    AuditFixture f;
    REQUIRE(f.Open(kExplorerPid, 0x1a, 0, 4408));
    CHECK(f.Operation() == "Opened process");
    CHECK(f.Detail() == "Target PID: 4400 / TID: 4408 / Access: 0x1a (suspend or resume, get "
                        "context, set context)");
    CHECK(f.Result() == "OK");
    // 0x10 is a process's memory read but a thread's context write: no memory rule scores it,
    // nor does every right of a thread.
    CHECK(f.row.severity == 0);
    REQUIRE(f.Open(kExplorerPid, 0x1fffff, 0, 4408));
    CHECK(f.Detail() == "Target PID: 4400 / TID: 4408 / Access: 0x1fffff (all thread access)");
    CHECK(f.row.severity == 0);
    // Any open of LSASS scores, a thread's too.
    REQUIRE(f.Open(kLsassPid, 0x40, 0, 716));
    CHECK(U8(f.row.threat) == "LSASS opened");
}

TEST_CASE("opens without a row: of processes not followed, of itself, other audit events") {
    AuditFixture f;
    CHECK_FALSE(f.Open(kLsassPid, 0x1fffff, 0, 0, kOtherPid));
    CHECK_FALSE(f.Open(kSamplePid, 0x1fffff, 0));         // itself
    CHECK_FALSE(f.Open(kSamplePid, 0x1fffff, 0, 88));     // a thread of its own
    f.Begin(kKernelAuditProvider, 0, kT0, kSamplePid, 2); // a process terminated by another
    AddSimU32(f.e, u"TargetProcessId", kLsassPid);
    CHECK_FALSE(f.Decode());
}

TEST_CASE("FormatProcessAccess: names only the rights set, the maximum allowed, and cuts bounded") {
    CHECK(Access(0) == "Access: 0x0");
    CHECK(Access(0x20) == "Access: 0x20 (write memory)");
    CHECK(Access(0x02000000) == "Access: 0x2000000 (maximum allowed)");
    CHECK(Access(0x100000) == "Access: 0x100000"); // synchronize alone: no named right
    CHECK(Access(0x1fffff, true) == "Access: 0x1fffff (all thread access)");
    char16_t small[12];
    FormatProcessAccess(0x1f, false, small, 12);
    CHECK(U8(small) == "Access: 0x1");
}

TEST_CASE("drivers: a load into no user process is the system's row, marked as of unknown origin") {
    AuditFixture f;
    struct Case {
        const char* name;
        uint32_t logger;
        uint32_t payloadPid;
        uint64_t base;
        bool driver;
    };
    const Case cases[] = {
        {"logged by the system process", 4, 0, 0xFFFFF80112340000ull, true},
        {"logged by the idle process", 0, 0, 0, true},
        {"payload names the system process", 4, 4, 0xFFFFF80112340000ull, true},
        // Loaded while the sample's thread ran: kernel space says it is no DLL of the sample.
        {"logged by the sample, kernel address", kSamplePid, 0, 0xFFFFF80112340000ull, true},
        {"the sample's own DLL", kSamplePid, kSamplePid, 0x7FFB4E4D0000ull, false},
        {"no id and a user address", kSamplePid, 0, 0x7FFB4E4D0000ull, false},
    };
    for (const Case& c : cases) {
        INFO(c.name);
        const bool row =
            f.Image(c.logger, c.payloadPid, c.base, u"\\SystemRoot\\System32\\drivers\\evil.sys");
        if (!c.driver) {
            CHECK((row && f.Operation() == "Loaded DLL"));
            continue;
        }
        REQUIRE(row);
        CHECK(f.Operation() == "Loaded driver");
        CHECK(f.row.pid == 4);
        CHECK(f.row.parentPid == 0);
        CHECK(U8(f.row.process) == "System");
        CHECK(f.Detail() == "Size: 68.0 KB / loaded by the system: not known to come from the "
                            "examined program");
        CHECK(f.row.severity == 2);
        CHECK(U8(f.row.threat) == "Driver loaded during the recording");
    }
    // A driver's load does not rename the system process after the driver's file.
    char16_t name[kProcessChars];
    CHECK_FALSE(
        (LookupProcessName(f.ts, 4, kT0 + 1, name, kProcessChars) && U8(name) == "evil.sys"));
    // Drivers already loaded at the start come as rundowns: no row.
    f.Begin(kImageProvider, 3, kT0, 4);
    AddSimU32(f.e, u"ProcessId", 0);
    AddSimWideString(f.e, u"FileName", u"\\SystemRoot\\System32\\drivers\\old.sys");
    CHECK_FALSE(f.Decode());
}

} // namespace olv
