// The system's drive listing and device paths, through the DriveMap.
#include "doctest.h"

#include "base/text.h"
#include "platform/drives.h"
#include "platform/memory.h"
#include "support/text_check.h"
#include "tracking/tracking_state.h"

namespace olv {

TEST_CASE("real drives: the system drive is listed and its device path translates back") {
    char16_t list[512] = {};
    uint32_t length = ListLogicalDrives(list, 512);
    REQUIRE(length > 0);
    REQUIRE(length < 512);
    CHECK(list[length] == 0);
    CHECK(ListLogicalDrives(list, 2) > 2); // too small: the size needed

    char16_t device[260] = {};
    REQUIRE(QueryDriveDevice(u"C:", device, 260));
    CHECK(device[0] == u'\\');
    char16_t tiny[2];
    CHECK_FALSE(QueryDriveDevice(u"C:", tiny, 2));

    TrackingState* ts = AllocRecord<TrackingState>();
    REQUIRE(ts != nullptr);
    InitTrackingState(ts);
    char16_t path[1024] = {};
    CopyBounded(path, 1024, device);
    AppendBounded(path, 1024, u"\\Windows\\notepad.exe");
    TranslateDevicePath(ts, path, 1024);
    CHECK(U8(path) == "C:\\Windows\\notepad.exe");
    FreeTrackingState(ts);
    FreeBlock(ts);
}

TEST_CASE("real drives: the Windows folder names \\SystemRoot and the system drive") {
    char16_t folder[260] = {};
    REQUIRE(QueryWindowsFolder(folder, 260));
    CHECK(folder[1] == u':');
    char16_t tiny[3];
    CHECK_FALSE(QueryWindowsFolder(tiny, 3));

    TrackingState* ts = AllocRecord<TrackingState>();
    REQUIRE(ts != nullptr);
    InitTrackingState(ts);
    char16_t path[1024] = u"\\SystemRoot\\System32\\ntdll.dll";
    TranslateDevicePath(ts, path, 1024);
    char16_t expected[1024] = {};
    CopyBounded(expected, 1024, folder);
    AppendBounded(expected, 1024, u"\\System32\\ntdll.dll");
    CHECK(U8(path) == U8(expected));
    char16_t rooted[1024] = u"\\Windows\\System32\\kernel32.dll";
    TranslateDevicePath(ts, rooted, 1024);
    const char16_t drive[3] = {folder[0], u':', 0};
    CHECK(U8(rooted) == U8(drive) + "\\Windows\\System32\\kernel32.dll");
    FreeTrackingState(ts);
    FreeBlock(ts);
}

} // namespace olv
