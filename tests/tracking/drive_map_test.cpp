#include "doctest.h"

#include "platform/sim/sim_drives.h"
#include "support/text_check.h"
#include "tracking/tracking_fixture.h"

namespace olv {

namespace {

struct DrivesFixture : TrackingFixture {
    DrivesFixture() {
        const char16_t* letters[] = {u"C:\\", u"D", u"E:", u"X:\\"};
        const char16_t* devices[] = {u"\\Device\\HarddiskVolume1", u"\\Device\\HarddiskVolume10",
                                     nullptr, u"\\Device\\Mup"};
        SetSimulatedDrives(letters, devices, 4);
    }
    ~DrivesFixture() { ClearSimulatedDrives(); }
};

} // namespace

TEST_CASE("drive map: device prefixes become drive letters") {
    DrivesFixture f;
    struct Case {
        const char16_t* path;
        const char16_t* expected;
    } cases[] = {
        {u"\\Device\\HarddiskVolume1\\Windows\\notepad.exe", u"C:\\Windows\\notepad.exe"},
        {u"\\DEVICE\\harddiskvolume1\\a.txt", u"C:\\a.txt"},          // A to Z fold
        {u"\\Device\\HarddiskVolume10\\b.txt", u"D:\\b.txt"},         // not matched by volume 1
        {u"\\Device\\HarddiskVolume1", u"\\Device\\HarddiskVolume1"}, // nothing after the prefix
        {u"\\Device\\HarddiskVolume1\\", u"C:\\"},
        {u"\\Device\\HarddiskVolume2\\c.txt", u"\\Device\\HarddiskVolume2\\c.txt"}, // unknown
        {u"\\Device\\Mup\\server\\share\\f", u"X:\\server\\share\\f"},
        {u"C:\\already.txt", u"C:\\already.txt"},
        {u"", u""},
    };
    for (const Case& c : cases) {
        char16_t path[kPathChars];
        CopyBounded(path, kPathChars, c.path);
        TranslateDevicePath(f.ts, path, kPathChars);
        CHECK(U8(path) == U8(c.expected));
    }
    CHECK(f.ts->drives.count == 3); // E: could not be queried and was skipped
}

TEST_CASE("drive map: built once per recording, even when there are no drives") {
    TrackingFixture f;
    ClearSimulatedDrives();
    char16_t path[kPathChars] = u"\\Device\\HarddiskVolume1\\a";
    TranslateDevicePath(f.ts, path, kPathChars);
    CHECK(f.ts->drives.built == 1);
    CHECK(f.ts->drives.count == 0);

    // Drives that appear later are not seen by this recording.
    const char16_t* letters[] = {u"C"};
    const char16_t* devices[] = {u"\\Device\\HarddiskVolume1"};
    SetSimulatedDrives(letters, devices, 1);
    TranslateDevicePath(f.ts, path, kPathChars);
    CHECK(TextEquals(path, u"\\Device\\HarddiskVolume1\\a"));

    TrackingFixture next;
    TranslateDevicePath(next.ts, path, kPathChars);
    CHECK(TextEquals(path, u"C:\\a"));
    ClearSimulatedDrives();
}

} // namespace olv
