#include "doctest.h"

#include "base/format.h"
#include "decode/provider_fixture.h"
#include "platform/sim/sim_drives.h"
#include "record/thread_row.h"

namespace olv {

namespace {

constexpr uint32_t kVictimPid = 4040;
constexpr uint64_t kKernel32 = 0x7ffb10000000;
constexpr uint64_t kKernel32Size = 0xc0000;

void ThreadStart(ProviderFixture& f, uint32_t creator, uint32_t target, uint64_t start,
                 uint8_t opcode = 1, int64_t t = kT0 + 10) {
    f.Begin(kThreadProvider, opcode, t, creator);
    AddSimU32(f.e, u"ProcessId", target);
    AddSimU32(f.e, u"TThreadId", 88);
    AddSimPointer(f.e, u"Win32StartAddr", start);
}

void ImageLoad(ProviderFixture& f, uint32_t pid, uint64_t base, uint64_t size,
               const char16_t* file, uint8_t opcode = 10) {
    f.Begin(kImageProvider, opcode, kT0, pid);
    AddSimU32(f.e, u"ProcessId", pid);
    AddSimPointer(f.e, u"ImageBase", base);
    AddSimPointer(f.e, u"ImageSize", size);
    AddSimWideString(f.e, u"FileName", file);
    f.Decode();
}

void ProcessStart(ProviderFixture& f, uint32_t creator, uint32_t pid) {
    f.Begin(kProcessProvider, 1, kT0, creator);
    AddSimU32(f.e, u"ProcessId", pid);
    AddSimU32(f.e, u"ParentId", creator);
    AddSimAnsiString(f.e, u"ImageFileName", "notepad.exe");
    f.Decode();
}

void ProcessEnd(ProviderFixture& f, uint32_t pid) {
    f.Begin(kProcessProvider, 2, kT0 + 5, pid);
    AddSimU32(f.e, u"ProcessId", pid);
    f.Decode();
}

uint32_t Counter(TrackingState* ts, int index) {
    uint32_t c[kTrackingCounterCount] = {};
    ReadTrackingCounters(ts, c);
    return c[index];
}

struct DriveScope {
    DriveScope() {
        static const char16_t* letters[] = {u"C"};
        static const char16_t* devices[] = {u"\\Device\\HarddiskVolume3"};
        SetSimulatedDrives(letters, devices, 1);
        SetSimulatedWindowsFolder(u"C:\\Windows");
    }
    ~DriveScope() { ClearSimulatedDrives(); }
    DriveScope(const DriveScope&) = delete;
    DriveScope& operator=(const DriveScope&) = delete;
};

// The module the row's detail names, as the Sigma view reads it.
std::string ModuleOf(const EventRow& row) {
    const char16_t* module = nullptr;
    const size_t n = ThreadModuleOfDetail(row.detail, &module);
    return U8(std::u16string(module, n).c_str());
}

} // namespace

TEST_CASE("threads started in another process: who is followed decides, and the row names both "
          "processes, the address and its module") {
    DriveScope drives;
    ProviderFixture f;
    RememberProcessName(f.ts, kVictimPid, u"C:\\Windows\\notepad.exe", kT0);
    RememberProcessName(f.ts, kOtherPid, u"C:\\Tools\\other.exe", kT0);
    ImageLoad(f, kVictimPid, kKernel32, kKernel32Size,
              u"\\Device\\HarddiskVolume3\\Windows\\System32\\kernel32.dll");
    ImageLoad(f, kSamplePid, kKernel32, kKernel32Size,
              u"\\Device\\HarddiskVolume3\\Windows\\System32\\sample-own.dll");

    struct Case {
        uint32_t creator, target;
        uint64_t start;
        uint8_t opcode;
        const char* cells; // null: no row
    } cases[] = {
        // by the followed program into a process it did not start
        {kSamplePid, kVictimPid, kKernel32 + 0x1f2a0, 1,
         "sample.exe|Created thread in another process|C:\\Windows\\notepad.exe|Target PID: 4040 "
         "/ Thread ID: 88 / Start address: 0x7ffb1001f2a0 in "
         "C:\\Windows\\System32\\kernel32.dll (+0x1f2a0)|OK"},
        // into the followed program by another process: the row is the creator's
        {kOtherPid, kSamplePid, kKernel32, 1,
         "C:\\Tools\\other.exe|Created thread in another process|sample.exe|Target PID: 1234 "
         "/ Thread ID: "
         "88 / Start address: 0x7ffb10000000 in C:\\Windows\\System32\\sample-own.dll (+0x0)|OK"},
        // memory no image maps: the end of an image is outside it
        {kSamplePid, kVictimPid, kKernel32 + kKernel32Size, 1,
         "sample.exe|Created thread in another process|C:\\Windows\\notepad.exe|Target PID: 4040 "
         "/ Thread ID: 88 / Start address: 0x7ffb100c0000 (no known module)|OK"},
        {kSamplePid, kVictimPid, 0, 1,
         "sample.exe|Created thread in another process|C:\\Windows\\notepad.exe|Target PID: 4040 "
         "/ Thread ID: 88 / Start address: 0x0 (no known module)|OK"},
        {kOtherPid, kVictimPid, kKernel32, 1, nullptr},   // neither followed
        {kSamplePid, kSamplePid, kKernel32, 1, nullptr},  // its own thread
        {0, kSamplePid, kKernel32, 1, nullptr},           // no creator named
        {kSamplePid, kVictimPid, kKernel32, 2, nullptr},  // a thread's end
        {kSamplePid, kVictimPid, kKernel32, 3, nullptr},  // the start rundown
    };
    for (const Case& c : cases) {
        CAPTURE(c.creator);
        CAPTURE(c.target);
        CAPTURE(c.opcode);
        ThreadStart(f, c.creator, c.target, c.start, c.opcode);
        const bool kept = f.Decode();
        REQUIRE(kept == (c.cells != nullptr));
        if (!kept) continue;
        CHECK(f.Cells() == c.cells);
        CHECK(f.row.pid == c.creator);
        CHECK(f.row.category == kCategoryProcess);
        CHECK(f.row.keyObject == c.start);
        const char* const in = std::strstr(c.cells, " in C:");
        const char* const end = in != nullptr ? std::strstr(in, " (+0x") : nullptr;
        const std::string module = end != nullptr ? std::string(in + 4, end) : "";
        CHECK(ModuleOf(f.row) == module);
        // The built-in rules: any such thread scores, one starting outside every image more.
        CHECK(f.row.severity == (FindText(f.row.detail, kThreadNoModule) >= 0 ? 3u : 2u));
    }
}

TEST_CASE("a new process's first thread comes from its creator and is no row; a second one is") {
    DriveScope drives;
    ProviderFixture f;
    constexpr uint32_t kChild = 5000;
    ProcessStart(f, kSamplePid, kChild); // the child of the program is followed too
    ThreadStart(f, kSamplePid, kChild, kKernel32);
    CHECK_FALSE(f.Decode());
    ThreadStart(f, kSamplePid, kChild, kKernel32);
    CHECK(f.Decode());
    CHECK(f.Path() == "notepad.exe"); // its name only, while no image of it is known
    // Its program among its images names it by path; another image of that name elsewhere
    // does not.
    ImageLoad(f, kOtherPid, 0x50000, 0x1000, u"\\Device\\HarddiskVolume3\\x\\notepad.exe");
    ImageLoad(f, kChild, 0x40000, 0x1000, u"\\Device\\HarddiskVolume3\\Windows\\NOTEPAD.EXE");
    ThreadStart(f, kSamplePid, kChild, kKernel32);
    CHECK(f.Decode());
    CHECK(f.Path() == "C:\\Windows\\NOTEPAD.EXE");

    // A process the program did not start: its first thread, made by its own creator, must use
    // up the mark, or the program's thread into it would pass for a first thread.
    ProcessStart(f, kOtherPid, kVictimPid);
    ThreadStart(f, kOtherPid, kVictimPid, kKernel32);
    CHECK_FALSE(f.Decode());
    ThreadStart(f, kSamplePid, kVictimPid, kKernel32);
    CHECK(f.Decode());

    // A start whose first thread never came is forgotten at the process's end; the id's next
    // process is new again.
    ProcessStart(f, kOtherPid, 6000);
    ProcessEnd(f, 6000);
    ThreadStart(f, kSamplePid, 6000, kKernel32);
    CHECK(f.Decode());
}

TEST_CASE("the image map: loads, rundowns, unloads, process ends, and its limits counted") {
    DriveScope drives;
    ProviderFixture f;
    char16_t path[kPathChars];
    uint64_t base = 0;
    ImageLoad(f, kVictimPid, 0x10000, 0x1000, u"\\Device\\HarddiskVolume3\\a.dll");
    ImageLoad(f, kVictimPid, 0x20000, 0x1000, u"\\Device\\HarddiskVolume3\\b.dll", 3); // rundown
    ImageLoad(f, kOtherPid, 0x30000, 0x1000, u"\\Device\\HarddiskVolume3\\a.dll");
    CHECK(FindImageAt(f.ts, kVictimPid, 0x10fff, path, kPathChars, &base));
    CHECK(U8(path) == "\\Device\\HarddiskVolume3\\a.dll");
    CHECK(base == 0x10000);
    CHECK(FindImageAt(f.ts, kVictimPid, 0x20010, path, kPathChars, &base));
    CHECK(U8(path) == "\\Device\\HarddiskVolume3\\b.dll");
    // Another process's image at an address is not this one's.
    CHECK_FALSE(FindImageAt(f.ts, kVictimPid, 0x30000, path, kPathChars, &base));
    CHECK(path[0] == 0);
    // A load at the same base replaces what was there.
    ImageLoad(f, kVictimPid, 0x10000, 0x2000, u"\\Device\\HarddiskVolume3\\c.dll");
    CHECK(FindImageAt(f.ts, kVictimPid, 0x11000, path, kPathChars, &base));
    CHECK(U8(path) == "\\Device\\HarddiskVolume3\\c.dll");
    // An unload takes that image only.
    f.Begin(kImageProvider, 2, kT0 + 1, kVictimPid);
    AddSimU32(f.e, u"ProcessId", kVictimPid);
    AddSimPointer(f.e, u"ImageBase", 0x10000);
    f.Decode();
    CHECK_FALSE(FindImageAt(f.ts, kVictimPid, 0x10000, path, kPathChars, &base));
    CHECK(FindImageAt(f.ts, kVictimPid, 0x20000, path, kPathChars, &base));
    ProcessEnd(f, kVictimPid);
    CHECK_FALSE(FindImageAt(f.ts, kVictimPid, 0x20000, path, kPathChars, &base));
    CHECK(FindImageAt(f.ts, kOtherPid, 0x30000, path, kPathChars, &base));
    // A cut copy stays terminated.
    CHECK(FindImageAt(f.ts, kOtherPid, 0x30000, path, 4, &base));
    CHECK(U8(path) == "\\De");
    CHECK(Counter(f.ts, kImagesNotMapped) == 0);

    // Full: images past the entries, and distinct paths past the path slots, are counted, and
    // freed entries are used again.
    char16_t name[32];
    uint32_t pid = 8;
    for (int i = 0; i < kImageMapEntries + 10; ++i) {
        FormatText(name, 32, u"\\x\\%d.dll", i % 100);
        NoteProcessImage(f.ts, pid, 0x100000 + uint64_t(i) * 0x1000, 0x1000, name);
    }
    // One entry is still kOtherPid's, two were freed and are used again.
    CHECK(Counter(f.ts, kImagesNotMapped) == 11);
    ForgetProcessImages(f.ts, pid);
    for (int i = 0; i < kImagePathSlots; ++i) {
        FormatText(name, 32, u"\\y\\%d.dll", i);
        NoteProcessImage(f.ts, 12, 0x100000 + uint64_t(i) * 0x1000, 0x1000, name);
    }
    const uint32_t dropped = Counter(f.ts, kImagesNotMapped) - 11;
    CHECK(dropped == kImagePathSlots - (kImagePathSlots / 4 * 3 - 103)); // 103 paths were kept
    CHECK(FindImageAt(f.ts, 12, 0x100000, path, kPathChars, &base));
    CHECK(U8(path) == "\\y\\0.dll");
    CHECK_FALSE(FindImageAt(f.ts, 12, 0x100000 + uint64_t(kImagePathSlots - 1) * 0x1000, path,
                            kPathChars, &base));
}

} // namespace olv
