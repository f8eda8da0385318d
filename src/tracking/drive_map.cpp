// The DriveMap: device paths of the logical drives, built once per recording, used to show
// kernel paths with the drive letter the user knows. Built and read on the processing thread
// only, without a lock.
#include <cstring>
#include <iterator>

#include "base/text.h"
#include "platform/drives.h"
#include "tracking/tracking_state.h"

namespace olv {

namespace {

constexpr uint32_t kDriveListChars = 512;
constexpr uint32_t kDeviceChars = 260;

void BuildDriveMap(DriveMap* map) {
    map->built = 1;
    map->count = 0;
    char16_t list[kDriveListChars] = {};
    uint32_t length = ListLogicalDrives(list, kDriveListChars);
    // 0 is a failure; a length that does not fit is the size the listing would need.
    if (length == 0 || length >= kDriveListChars) return;
    list[kDriveListChars - 1] = 0;
    const char16_t* end = list + length;
    for (const char16_t* p = list; p < end && *p != 0; p += TextLength(p) + 1) {
        if (map->count >= static_cast<uint32_t>(kDriveMapEntries)) break;
        const char16_t driveName[3] = {p[0], u':', 0};
        char16_t device[kDeviceChars] = {};
        if (!QueryDriveDevice(driveName, device, kDeviceChars)) continue;
        device[kDeviceChars - 1] = 0;
        DriveEntry& entry = map->entries[map->count];
        CopyBounded(entry.device, std::size(entry.device), device);
        CopyBounded(entry.letter, std::size(entry.letter), driveName);
        ++map->count;
    }
}

// The first n characters of path equal device, folding only A to Z.
bool PrefixEqualsFolded(const char16_t* path, const char16_t* device, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (FoldAscii(path[i]) != FoldAscii(device[i])) return false;
    }
    return true;
}

} // namespace

void TranslateDevicePath(TrackingState* ts, char16_t* path, size_t capacity) {
    if (ts == nullptr || path == nullptr || capacity == 0) return;
    DriveMap& map = ts->drives;
    if (map.built == 0) BuildDriveMap(&map);
    // Every file and image row comes here: the texts are measured eight characters at a time.
    // The path may be longer than the capacity (the result is cut to it).
    const size_t pathLength = TextLength(path);
    for (uint32_t e = 0; e < map.count; ++e) {
        const DriveEntry& entry = map.entries[e];
        const size_t n = FieldTextLength(entry.device, std::size(entry.device));
        if (n == 0 || pathLength <= n || path[n] != u'\\') continue;
        if (!PrefixEqualsFolded(path, entry.device, n)) continue;
        const size_t letterLength = FieldTextLength(entry.letter, std::size(entry.letter));
        if (letterLength > n) {
            char16_t translated[kPathChars];
            CopyBounded(translated, kPathChars, entry.letter);
            AppendBounded(translated, kPathChars, path + n);
            CopyBounded(path, capacity, translated);
            return;
        }
        // The letter is not longer than the device it replaces: the rest of the path moves to
        // the left in place, cut as the composed text would be.
        size_t keep = letterLength + (pathLength - n);
        if (keep > kPathChars - 1) keep = kPathChars - 1;
        if (keep > capacity - 1) keep = capacity - 1;
        const size_t fromLetter = keep < letterLength ? keep : letterLength;
        std::memmove(path + fromLetter, path + n, (keep - fromLetter) * sizeof(char16_t));
        std::memcpy(path, entry.letter, fromLetter * sizeof(char16_t));
        path[keep] = 0;
        return;
    }
}

} // namespace olv
