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

} // namespace olv
