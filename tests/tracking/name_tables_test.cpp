#include "doctest.h"

#include <string>

#include "support/test_random.h"

#include "platform/sim/sim_drives.h"
#include "support/text_check.h"
#include "tracking/tracking_fixture.h"

namespace olv {

// The FileNameTable and the KeyNameTable follow the same rules; each case runs on both.
struct NameTableOps {
    const char* label;
    void (*remember)(TrackingState*, uint64_t, const char16_t*, int64_t, bool);
    void (*forget)(TrackingState*, uint64_t, int64_t);
    bool (*lookup)(TrackingState*, uint64_t, int64_t, char16_t*, size_t);
    NameTable TrackingState::*table;
    bool emptiesOnMiss; // a key lookup empties its output first; a file lookup leaves it
};

const NameTableOps kNameTables[] = {
    {"file names", RememberFileName, ForgetFileName, LookupFileName, &TrackingState::fileNames,
     false},
    {"key names", RememberKeyName, ForgetKeyName, LookupKeyName, &TrackingState::keyNames, true}};

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
        ops.forget(f.ts, key, -1);                  // t below 1: ignored
        ops.forget(f.ts, key, 800);
        ops.remember(f.ts, key + 0x8000, u"same bucket", 0, false); // a neighbour in the chain
        ops.remember(f.ts, 0x40, u"created", 1000, true);           // no older name
        ops.remember(f.ts, 0, u"zero", 1, false);
        ops.remember(f.ts, 0x48, u"", 1, false);
        CHECK(table.count == 4);
        struct Case {
            uint64_t key;
            int64_t t;
            const char16_t* expected;
        } cases[] = {{key, 1, u"old"},     {key, 299, u"old"},       {key, 300, u"new"},
                     {key, 800, u"new"},   {key, 801, nullptr},      {key, 0, u"new"},
                     {0x40, 999, nullptr}, {0x40, 1000, u"created"}, {0, 0, nullptr}};
        for (const Case& c : cases) {
            CAPTURE(c.key);
            CAPTURE(c.t);
            char16_t out[32] = u"stale";
            CHECK(ops.lookup(f.ts, c.key, c.t, out, 32) == (c.expected != nullptr));
            const char16_t* miss = ops.emptiesOnMiss ? u"" : u"stale";
            CHECK(TextEquals(out, c.expected != nullptr ? c.expected : miss));
        }
        // A refused node allocation records nothing, but the old name still closes.
        RefuseNthAllocation(1);
        ops.remember(f.ts, 0x40, u"refused", 2000, true);
        char16_t out[32] = {};
        CHECK_FALSE(ops.lookup(f.ts, 0x40, 2500, out, 32));
    }
}

TEST_CASE("name tables: above their node limits the whole table starts afresh") {
    // The drop walks the buckets, not the count, so a count set at the limit shows the rule
    // without the allocations.
    for (const NameTableOps& ops : kNameTables) {
        CAPTURE(ops.label);
        TrackingFixture f;
        NameTable& table = f.ts->*ops.table;
        const int64_t before = LiveAllocationCount();
        ops.remember(f.ts, 8, u"n", 0, false);
        table.count = kNameTableNodeLimit;
        ops.remember(f.ts, 0x1000, u"at limit", 0, false); // not above yet: kept
        ops.remember(f.ts, 0x2000, u"over", 0, false);
        CHECK(table.count == 1);
        CHECK(LiveAllocationCount() == before + 1);
        char16_t out[16] = {};
        CHECK_FALSE(ops.lookup(f.ts, 8, 0, out, 16));
        CHECK(ops.lookup(f.ts, 0x2000, 0, out, 16));
    }
    TrackingFixture f;
    const int64_t before = LiveAllocationCount();
    RememberProcessName(f.ts, 7, u"a.exe", 1);
    f.ts->processNames.count = kProcessNameNodeLimit;
    RememberProcessName(f.ts, 8, u"b.exe", 1);
    RememberProcessName(f.ts, 9, u"c.exe", 1);
    CHECK(f.ts->processNames.count == 1);
    CHECK(LiveAllocationCount() == before + 1);
    char16_t out[16];
    CHECK_FALSE(LookupProcessName(f.ts, 7, 5, out, 16));
    CHECK(LookupProcessName(f.ts, 9, 5, out, 16));
}

TEST_CASE("drive map: device prefixes become drive letters; built once per recording") {
    const char16_t* letters[] = {u"C:\\", u"D", u"E:", u"X:\\"};
    const char16_t* devices[] = {u"\\Device\\HarddiskVolume1", u"\\Device\\HarddiskVolume10",
                                 nullptr, u"\\Device\\Mup"};
    SetSimulatedDrives(letters, devices, 4);
    TrackingFixture f;
    struct Case {
        const char16_t* path;
        const char16_t* expected;
    } cases[] = {{u"\\Device\\HarddiskVolume1\\Windows\\a.exe", u"C:\\Windows\\a.exe"},
                 {u"\\DEVICE\\harddiskvolume1\\a.txt", u"C:\\a.txt"},          // A to Z fold
                 {u"\\Device\\HarddiskVolume10\\b.txt", u"D:\\b.txt"},         // not volume 1's
                 {u"\\Device\\HarddiskVolume1", u"\\Device\\HarddiskVolume1"}, // nothing after it
                 {u"\\Device\\HarddiskVolume2\\c.txt", u"\\Device\\HarddiskVolume2\\c.txt"},
                 {u"\\Device\\Mup\\server\\share\\f", u"X:\\server\\share\\f"}};
    for (const Case& c : cases) {
        char16_t path[kPathChars];
        CopyBounded(path, kPathChars, c.path);
        TranslateDevicePath(f.ts, path, kPathChars);
        CHECK(U8(path) == U8(c.expected));
    }
    CHECK(f.ts->drives.count == 3); // E: could not be queried and was skipped

    // The map of a recording is not rebuilt; a listing that fails still counts as built.
    ClearSimulatedDrives();
    TrackingFixture none;
    char16_t path[kPathChars] = u"\\Device\\HarddiskVolume1\\a";
    TranslateDevicePath(none.ts, path, kPathChars);
    SetSimulatedDrives(letters, devices, 4);
    TranslateDevicePath(none.ts, path, kPathChars);
    CHECK(TextEquals(path, u"\\Device\\HarddiskVolume1\\a"));
    TranslateDevicePath(f.ts, path, 4); // cut at the capacity less one
    CHECK(TextEquals(path, u"C:\\"));
    ClearSimulatedDrives();
}

TEST_CASE("drive map: the kernel's forms without a drive letter, as real traces give them") {
    const char16_t* letters[] = {u"C:", u"D:"};
    const char16_t* devices[] = {u"\\Device\\HarddiskVolume2", u"\\Device\\HarddiskVolume3"};
    SetSimulatedDrives(letters, devices, 2);
    SetSimulatedWindowsFolder(u"D:\\WINDOWS\\");
    TrackingFixture f;
    struct Case {
        const char16_t* path;
        const char16_t* expected;
    } cases[] = {
        // The Windows folder, whatever drive it is on.
        {u"\\SystemRoot\\System32\\ntdll.dll", u"D:\\WINDOWS\\System32\\ntdll.dll"},
        {u"\\systemroot\\system32\\ntdll.dll", u"D:\\WINDOWS\\system32\\ntdll.dll"},
        {u"\\SystemRoot", u"D:\\WINDOWS"},
        {u"\\SystemRootX\\a.dll", u"D:\\SystemRootX\\a.dll"}, // another folder of the volume
        // Rooted on the system volume, naming no device.
        {u"\\Windows\\System32\\kernel32.dll", u"D:\\Windows\\System32\\kernel32.dll"},
        {u"\\Program Files\\a b\\c.exe", u"D:\\Program Files\\a b\\c.exe"},
        {u"\\x", u"D:\\x"},
        // The DOS device prefixes dropped.
        {u"\\??\\C:\\Windows\\system32\\conhost.exe", u"C:\\Windows\\system32\\conhost.exe"},
        {u"\\DosDevices\\E:\\a.txt", u"E:\\a.txt"},
        {u"\\GLOBAL??\\c:\\a.txt", u"c:\\a.txt"},
        {u"\\??\\C:", u"C:"},
        {u"\\??\\UNC\\server\\share\\a.txt", u"\\\\server\\share\\a.txt"},
        // The network redirectors, with and without their own components.
        {u"\\Device\\Mup\\server\\share\\dir\\a.exe", u"\\\\server\\share\\dir\\a.exe"},
        {u"\\Device\\Mup\\DfsClient\\;Z:0000000000020d40\\server\\share\\dir\\Test.x64.exe",
         u"\\\\server\\share\\dir\\Test.x64.exe"},
        {u"\\Device\\Mup\\;LanmanRedirector\\;Z:0000000000020d40\\server\\share\\a",
         u"\\\\server\\share\\a"},
        {u"\\Device\\Mup\\;LanmanRedirector\\server\\share\\a", u"\\\\server\\share\\a"},
        {u"\\Device\\LanmanRedirector\\;Z:0000000000020d40\\server\\share\\a",
         u"\\\\server\\share\\a"},
        {u"\\Device\\LanmanRedirector\\server\\share\\a", u"\\\\server\\share\\a"},
        {u"\\DEVICE\\MUP\\server", u"\\\\server"},
        // Kept: devices and objects of no drive, volume names, what is already whole.
        {u"\\Device\\HarddiskVolume9\\a.txt", u"\\Device\\HarddiskVolume9\\a.txt"},
        {u"\\Device\\NamedPipe\\x", u"\\Device\\NamedPipe\\x"},
        {u"\\Device\\Mup\\;LanmanRedirector", u"\\Device\\Mup\\;LanmanRedirector"},
        {u"\\Device\\Mup\\;Z:000\\", u"\\Device\\Mup\\;Z:000\\"},
        {u"\\Device\\Mup\\", u"\\Device\\Mup\\"},
        {u"\\??\\Volume{1b3d5f70-0000-0000-0000-100000000000}\\a",
         u"\\??\\Volume{1b3d5f70-0000-0000-0000-100000000000}\\a"},
        {u"\\??\\pipe\\x", u"\\??\\pipe\\x"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE", u"\\REGISTRY\\MACHINE\\SOFTWARE"},
        {u"\\KnownDlls\\ntdll.dll", u"\\KnownDlls\\ntdll.dll"},
        {u"\\;Z:0000\\x", u"\\;Z:0000\\x"},
        {u"\\\\server\\share\\a", u"\\\\server\\share\\a"},
        {u"\\", u"\\"},
        {u"C:\\a.txt", u"C:\\a.txt"},
        {u"(file not identified)", u"(file not identified)"},
        // The drive map still comes first.
        {u"\\Device\\HarddiskVolume3\\a.txt", u"D:\\a.txt"},
    };
    for (const Case& c : cases) {
        char16_t path[kPathChars];
        CopyBounded(path, kPathChars, c.path);
        TranslateDevicePath(f.ts, path, kPathChars);
        CHECK(U8(path) == U8(c.expected));
    }
    CHECK(TextEquals(f.ts->drives.systemDrive, u"D:"));

    // A translation is cut at the capacity less one, as the drive letters are.
    char16_t cut[kPathChars] = u"\\SystemRoot\\System32\\ntdll.dll";
    TranslateDevicePath(f.ts, cut, 8);
    CHECK(U8(cut) == "D:\\WIND");
    const std::u16string longest = u"\\" + std::u16string(kPathChars - 2, u'a'); // 1023
    char16_t whole[kPathChars];
    CopyBounded(whole, kPathChars, longest.c_str());
    TranslateDevicePath(f.ts, whole, kPathChars);
    CHECK(TextLength(whole) == kPathChars - 1);
    CHECK(U8(whole).rfind("D:\\aaa", 0) == 0);

    // Without a Windows folder these forms are kept as they are; the map reads it once.
    SetSimulatedWindowsFolder(nullptr);
    TrackingFixture unknown;
    for (const char16_t* kept : {u"\\SystemRoot\\a.dll", u"\\Windows\\a.dll"}) {
        char16_t path[kPathChars];
        CopyBounded(path, kPathChars, kept);
        TranslateDevicePath(unknown.ts, path, kPathChars);
        CHECK(U8(path) == U8(kept));
    }
    SetSimulatedWindowsFolder(u"C:\\Windows");
    char16_t later[kPathChars] = u"\\Windows\\a.dll";
    TranslateDevicePath(unknown.ts, later, kPathChars);
    CHECK(U8(later) == "\\Windows\\a.dll");
    // A Windows folder that is not on a drive gives no drive to the rooted paths.
    SetSimulatedWindowsFolder(u"\\\\server\\windows");
    TrackingFixture remote;
    char16_t rooted[kPathChars] = u"\\Windows\\a.dll";
    TranslateDevicePath(remote.ts, rooted, kPathChars);
    CHECK(U8(rooted) == "\\Windows\\a.dll");
    SetSimulatedWindowsFolder(nullptr);
    ClearSimulatedDrives();
}

TEST_CASE("drive map: a translated path is the letter and the rest composed and cut, for any "
          "path and capacity") {
    // The plain composition: the letter, the rest of the path, then the cut to the capacity.
    auto reference = [](const char16_t* path, size_t n, const char16_t* letter, size_t capacity,
                        char16_t* out) {
        char16_t composed[kPathChars];
        CopyBounded(composed, kPathChars, letter);
        AppendBounded(composed, kPathChars, path + n);
        CopyBounded(out, capacity, composed);
    };
    // The map names each drive by its letter and a colon; the last device is shorter than that.
    const char16_t* letters[] = {u"C:", u"D:\\", u"Q", u"L"};
    const char16_t* devices[] = {u"\\Device\\HarddiskVolume1", u"\\Device\\Mup", u"\\V",
                                 u"\\"};
    SetSimulatedDrives(letters, devices, 4);
    TrackingFixture f;
    TestRandom random{4242};
    for (int round = 0; round < 3000; ++round) {
        const uint32_t d = random.Below(4);
        char16_t path[kPathChars];
        CopyBounded(path, kPathChars, devices[d]);
        const size_t restLength = random.Below(4) == 0 ? kPathChars : random.Below(40);
        for (size_t i = 0; i < restLength; ++i)
            AppendBounded(path, kPathChars, i == 0 ? u"\\" : random.Below(2) == 0 ? u"a" : u"B");
        const size_t n = TextLength(devices[d]);
        const size_t capacity = random.Below(3) == 0 ? 1 + random.Below(12) : kPathChars;
        char16_t expected[kPathChars];
        if (TextLength(path) > n) {
            const char16_t letter[3] = {letters[d][0], u':', 0};
            reference(path, n, letter, capacity, expected);
        } else {
            CopyBounded(expected, kPathChars, path); // nothing after the device: left alone
        }
        TranslateDevicePath(f.ts, path, capacity);
        CAPTURE(round);
        REQUIRE(U8(path) == U8(expected));
    }
    ClearSimulatedDrives();
}

} // namespace olv
