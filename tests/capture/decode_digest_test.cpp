// The trace thread's work per event, checked whole: many generated events of every provider go
// through the event callback, and the rows it hands to the queue must be, byte for byte, the rows
// the straightforward decoder made (their digest is recorded below), whatever the callback skips
// or reorders to be fast.
#include <cstring>

#include "capture/capture_fixture.h"
#include "platform/sim/sim_drives.h"
#include "support/test_random.h"
#include "tracking/tracking_state.h"

using namespace olv;

namespace {

using Random = TestRandom;

constexpr int64_t kStart = 133480000000000000;
constexpr uint32_t kPids[] = {kTargetPid, 4300, 4301, 4302, 9120, 9121, 4};
constexpr uint32_t kPidCount = sizeof kPids / sizeof kPids[0];

uint32_t AnyPid(Random& r) {
    return kPids[r.Below(kPidCount)];
}
uint64_t FileObject(Random& r) {
    return 0xffffc60f1e7a0000ull + 0x40 * r.Below(12);
}
uint64_t Irp(Random& r) {
    return 0xffffc60f2a4d0000ull + 0x10 * r.Below(24);
}
uint64_t KeyObject(Random& r) {
    return 0xffffd50a2c6f0000ull + 0x20 * r.Below(10);
}

const char16_t* const kFileNames[] = {
    u"\\Device\\HarddiskVolume3\\Users\\analyst\\Documents\\Quarterly report.docx",
    u"\\Device\\HarddiskVolume3\\Windows\\System32\\drivers\\etc\\hosts",
    u"\\Device\\HarddiskVolume3\\ProgramData\\Updater\\payload.ps1",
    u"\\Device\\HarddiskVolume4\\backup\\wallet.dat",
    u"*.rpt",
    u"C:\\Temp\\already a path.tmp",
    u""};
const char16_t* const kKeyNames[] = {
    u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
    u"\\REGISTRY\\USER\\S-1-5-21-1\\Software\\Classes\\ms-settings\\shell\\open\\command",
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Updater",
    u"ProductName",
    u"Debugger",
    u""};
const char* const kImages[] = {"powershell.exe", "cmd.exe", "rundll32.exe", "vssadmin.exe",
                               "updater.exe"};
const char16_t* const kCommandLines[] = {u"powershell -enc SQBFAFgA",
                                         u"cmd /c vssadmin delete shadows /all /quiet",
                                         u"rundll32.exe C:\\Users\\Public\\x.dll,Start", u""};
const char16_t* const kDnsNames[] = {u"example.com", u"update.badhost.example", u""};

template <size_t N> const char16_t* Pick(Random& r, const char16_t* const (&list)[N]) {
    return list[r.Below(N)];
}

void MakeFileEvent(Random& r, SimEvent* e, int64_t t) {
    static const uint8_t kOpcodes[] = {0,  32, 35, 36, 37, 39, 64, 64, 65, 66, 67, 67,
                                       68, 69, 70, 71, 72, 76, 76, 76, 77, 82, 90};
    const uint8_t opcode = kOpcodes[r.Below(sizeof kOpcodes)];
    BeginSimEvent(e, kFileIoProvider, opcode, 0, AnyPid(r), 7, t);
    if (r.Below(6) == 0) SetSimEvent32BitHeader(e);
    if (opcode == 76) {
        AddSimPointer(e, u"IrpPtr", Irp(r));
        static const uint32_t kStatus[] = {0,          0,          0x103,     0xC0000034,
                                           0xC0000022, 0x80000005, 0xC0001234};
        AddSimU32(e, u"NtStatus", kStatus[r.Below(7)]);
        return;
    }
    AddSimPointer(e, u"FileObject", FileObject(r));
    if (opcode == 0 || opcode == 32 || opcode == 35 || opcode == 36) {
        AddSimWideString(e, u"FileName", Pick(r, kFileNames));
        return;
    }
    if (r.Below(2) == 0) AddSimPointer(e, u"IrpPtr", Irp(r));
    if (r.Below(3) == 0) AddSimPointer(e, u"FileKey", FileObject(r) + 0x3000);
    if (r.Below(3) == 0) AddSimWideString(e, u"OpenPath", Pick(r, kFileNames));
    if (r.Below(4) == 0) AddSimWideString(e, u"FileName", Pick(r, kFileNames));
    static const uint32_t kSizes[] = {0, 512, 1023, 1024, 1535, 4096, 1048575, 3 << 20};
    AddSimU32(e, u"IoSize", kSizes[r.Below(8)]);
}

void MakeRegistryEvent(Random& r, SimEvent* e, int64_t t) {
    static const uint8_t kOpcodes[] = {10, 11, 13, 14, 15, 16, 16, 17,
                                       22, 22, 23, 24, 25, 26, 27, 40};
    const uint8_t opcode = kOpcodes[r.Below(sizeof kOpcodes)];
    BeginSimEvent(e, kRegistryProvider, opcode, 0, AnyPid(r), 8, t);
    static const uint32_t kStatus[] = {0, 0, 0xC0000034, 0x80000006};
    AddSimU32(e, u"Status", kStatus[r.Below(4)]);
    if (r.Below(8) != 0) AddSimPointer(e, u"KeyHandle", KeyObject(r));
    AddSimWideString(e, u"KeyName", Pick(r, kKeyNames));
}

void MakeTrafficEvent(Random& r, SimEvent* e, int64_t t) {
    const bool udp = r.Below(3) == 0;
    const bool v6 = r.Below(3) == 0;
    uint8_t opcode = static_cast<uint8_t>(10 + r.Below(udp ? 2 : 9));
    if (v6) opcode = static_cast<uint8_t>(opcode + 16);
    BeginSimEvent(e, udp ? kUdpIpProvider : kTcpIpProvider, opcode, 0, 4, 0, t);
    if (r.Below(5) != 0) AddSimU32(e, u"PID", AnyPid(r));
    AddSimU32(e, u"size", r.Below(3) == 0 ? 0 : r.Below(70000));
    const uint8_t port[2] = {static_cast<uint8_t>(r.Below(256)),
                             static_cast<uint8_t>(r.Below(256))};
    if (v6) {
        uint8_t address[16] = {0x20, 0x01, 0x0d, 0xb8};
        address[15] = static_cast<uint8_t>(1 + r.Below(200));
        AddSimBytes(e, u"daddr", address, 16);
        address[15] = 1;
        AddSimBytes(e, u"saddr", address, 16);
    } else {
        const uint8_t d[4] = {203, 0, 113, static_cast<uint8_t>(r.Below(256))};
        const uint8_t s[4] = {192, 168, 1, 20};
        AddSimBytes(e, u"daddr", d, 4);
        AddSimBytes(e, u"saddr", s, 4);
    }
    AddSimBytes(e, u"dport", port, 2);
    AddSimBytes(e, u"sport", port, 2);
}

void MakeProcessEvent(Random& r, SimEvent* e, int64_t t) {
    static const uint8_t kOpcodes[] = {1, 1, 2, 3, 4};
    const uint8_t opcode = kOpcodes[r.Below(sizeof kOpcodes)];
    BeginSimEvent(e, kProcessProvider, opcode, 0, AnyPid(r), 9, t);
    // Children come and go under a few ids (the launched program itself never ends here), so
    // that ids are followed, end and come back.
    const uint32_t kChildren[] = {4300, 4301, 4302, 9121};
    AddSimU32(e, u"ProcessId", r.Below(4) == 0 ? 5000 + r.Below(40) : kChildren[r.Below(4)]);
    AddSimU32(e, u"ParentId", AnyPid(r));
    AddSimAnsiString(e, u"ImageFileName", kImages[r.Below(5)]);
    if (r.Below(3) != 0) AddSimWideString(e, u"CommandLine", Pick(r, kCommandLines));
    AddSimU32(e, u"ExitStatus", r.Below(2) == 0 ? 0 : 0xC0000005);
}

void MakeImageEvent(Random& r, SimEvent* e, int64_t t) {
    static const uint8_t kOpcodes[] = {10, 10, 2, 3, 4, 33};
    BeginSimEvent(e, kImageProvider, kOpcodes[r.Below(6)], 0, AnyPid(r), 10, t);
    if (r.Below(4) != 0) AddSimU32(e, u"ProcessId", AnyPid(r));
    AddSimPointer(e, u"ImageSize", r.Below(4) == 0 ? 0 : r.Below(3000000));
    static const char16_t* const kDlls[] = {
        u"\\Device\\HarddiskVolume3\\Windows\\System32\\user32.dll",
        u"\\Device\\HarddiskVolume9\\unknown\\volume.dll", u"C:\\Tools\\already.dll", u""};
    AddSimWideString(e, u"FileName", Pick(r, kDlls));
}

void MakeDnsEvent(Random& r, SimEvent* e, int64_t t) {
    static const uint16_t kIds[] = {3006, 3008, 3008, 3020};
    BeginSimEvent(e, kDnsClientProvider, 0, kIds[r.Below(4)], AnyPid(r), 11, t);
    AddSimWideString(e, u"QueryName", Pick(r, kDnsNames));
    static const uint32_t kTypes[] = {1, 28, 5, 99};
    AddSimU32(e, u"QueryType", kTypes[r.Below(4)]);
    AddSimU32(e, u"QueryStatus", r.Below(3) == 0 ? 9003 : 0);
    AddSimWideString(e, u"QueryResults",
                     r.Below(2) == 0 ? u"93.184.216.34;::ffff:93.184.216.34;" : u"");
}

void MakeEvent(Random& r, SimEvent* e, int64_t t) {
    const uint32_t kind = r.Below(12); // 4 in 12 file, 3 registry, 2 traffic, then one each
    if (kind < 4) return MakeFileEvent(r, e, t);
    if (kind < 7) return MakeRegistryEvent(r, e, t);
    if (kind < 9) return MakeTrafficEvent(r, e, t);
    if (kind == 9) return MakeProcessEvent(r, e, t);
    if (kind == 10) return MakeImageEvent(r, e, t);
    if (r.Below(2) == 0) return MakeDnsEvent(r, e, t);
    // A provider nobody decodes.
    BeginSimEvent(e, Guid{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}}, 10, 0, kTargetPid, 1, t);
}

// FNV-1a over bytes.
struct Digest {
    uint64_t value = 14695981039346656037ull;
    void Add(const void* bytes, size_t n) {
        const auto* p = static_cast<const unsigned char*>(bytes);
        for (size_t i = 0; i < n; ++i) {
            value ^= p[i];
            value *= 1099511628211ull;
        }
    }
};

struct DigestRun {
    Digest rows;
    uint32_t count = 0;
    uint32_t perCategory[4] = {};
    uint32_t scored = 0;
    bool timesRight = true;
};

// Takes the queued rows into the digest. Each row's local time must be its time stamp's, converted
// here; the digest leaves the time out, so that it does not depend on the machine's time zone.
void TakeQueued(Recording* app, DigestRun* run) {
    QueueRead queue;
    BeginQueueRead(app, &queue);
    while (const EventRow* queued = NextQueuedRow(app, &queue)) {
        EventRow row;
        std::memcpy(static_cast<void*>(&row), queued, sizeof row);
        SystemTime expected{};
        FileTimeToLocalTime(static_cast<int64_t>(row.timestamp), &expected);
        if (std::memcmp(&expected, &row.time, sizeof expected) != 0) run->timesRight = false;
        std::memset(&row.time, 0, sizeof row.time);
        run->rows.Add(&row, sizeof row);
        if (row.category < 4) ++run->perCategory[row.category];
        if (row.severity != 0) ++run->scored;
        ++run->count;
    }
    EndQueueRead(app, &queue);
}

} // namespace

TEST_CASE_FIXTURE(CaptureFixture, "the callback's rows for 40000 generated events are those of the "
                                  "straightforward decoder, byte for byte") {
    static const char16_t* const kLetters[] = {u"C:", u"D:"};
    static const char16_t* const kDevices[] = {u"\\Device\\HarddiskVolume3",
                                               u"\\Device\\HarddiskVolume4"};
    SetSimulatedDrives(kLetters, kDevices, 2);
    tc->core = app;
    SetRowSink(
        &tc->tracking,
        [](void* context, const EventRow* row) { QueueRow(static_cast<Recording*>(context), row); },
        app);
    RememberProcessName(&tc->tracking, 9120, u"SearchIndexer.exe", 0);
    activeTraceController = tc;

    SimEvent* e = AllocRecord<SimEvent>();
    REQUIRE(e != nullptr);
    Random r{0xd16e57};
    DigestRun run;
    int64_t t = kStart;
    for (int i = 0; i < 40000; ++i) {
        // Mostly close together; now and then far enough apart for held rows to expire.
        t += r.Below(50) == 0 ? 300000000 : 1 + r.Below(20000);
        MakeEvent(r, e, t);
        OnEventRecord(&e->record);
        TakeQueued(app, &run);
    }
    FlushHeldFileRows(&tc->tracking);
    TakeQueued(app, &run);
    activeTraceController = nullptr;
    FreeBlock(e);

    uint32_t counters[kTrackingCounterCount];
    ReadTrackingCounters(&tc->tracking, counters);
    Digest all = run.rows;
    all.Add(counters, 8 * sizeof counters[0]); // the counters of the kernel session's tables
    CHECK(run.timesRight);
    CHECK(app->droppedHere == 0);
    CHECK(tc->unreadableRecords == 0);
    // The events reach every decoder's rows and the rules.
    for (uint32_t n : run.perCategory)
        CHECK(n > 100);
    CHECK(run.scored > 100);
    // Recorded from the decoder that zero-filled every row and converted every event's time before
    // looking at its provider, and copied whole rows into the ring with memcpy; bytes after each
    // text's terminator taken as zeros (the decoders left some there, which the ring now clears).
    // Process names are each lifetime's best one (an exit row shows the name its start gave, not
    // the exit event's): with the names left out, the digest is that decoder's. Image loads that
    // name no user process, logged by the system process, are driver rows (64 of them; the
    // system process is not followed, so they gave no row as DLL loads).
    CHECK(run.count == 11980u);
    CHECK(all.value == 3641150821290452669ull);
}
