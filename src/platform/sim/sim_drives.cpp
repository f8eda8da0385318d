#include "platform/sim/sim_drives.h"

#include <iterator>
#include <mutex>

#include "base/text.h"
#include "platform/drives.h"

namespace olv {

namespace {

constexpr int kSimDrives = 26;

struct SimDrive {
    char16_t letter;
    char16_t device[260];
};

std::mutex gDrivesMutex;
SimDrive gDrives[kSimDrives];
int gDriveCount = 0;
char16_t gWindowsFolder[260];
uint32_t gDriveTypes[kSimDrives];

// The index of a drive letter in gDriveTypes; -1 for anything else.
int DriveIndex(char16_t letter) {
    const char16_t folded = FoldAscii(letter);
    return folded >= u'a' && folded <= u'z' ? folded - u'a' : -1;
}

} // namespace

void SetSimulatedDrives(const char16_t* const* letters, const char16_t* const* devices, int count) {
    std::lock_guard<std::mutex> guard(gDrivesMutex);
    gDriveCount = 0;
    if (letters == nullptr) return;
    for (int i = 0; i < count && gDriveCount < kSimDrives; ++i) {
        if (TextIsEmpty(letters[i])) continue;
        SimDrive& d = gDrives[gDriveCount++];
        d.letter = letters[i][0];
        CopyBounded(d.device, std::size(d.device), devices != nullptr ? devices[i] : nullptr);
    }
}

void ClearSimulatedDrives() {
    std::lock_guard<std::mutex> guard(gDrivesMutex);
    gDriveCount = 0;
    for (uint32_t& type : gDriveTypes)
        type = kDriveTypeUnknown;
}

void SetSimulatedDriveType(char16_t letter, uint32_t type) {
    std::lock_guard<std::mutex> guard(gDrivesMutex);
    const int index = DriveIndex(letter);
    if (index >= 0) gDriveTypes[index] = type;
}

uint32_t QueryDriveType(const char16_t* root) {
    if (root == nullptr) return kDriveTypeUnknown;
    std::lock_guard<std::mutex> guard(gDrivesMutex);
    const int index = DriveIndex(root[0]);
    return index >= 0 && root[1] == u':' ? gDriveTypes[index] : kDriveTypeUnknown;
}

uint32_t ListLogicalDrives(char16_t* buf, uint32_t capacity) {
    std::lock_guard<std::mutex> guard(gDrivesMutex);
    if (gDriveCount == 0) return 0;
    // "X:\" and a NUL per drive, then the final NUL.
    uint32_t needed = static_cast<uint32_t>(gDriveCount) * 4 + 1;
    if (buf == nullptr || capacity < needed) return needed;
    uint32_t at = 0;
    for (int i = 0; i < gDriveCount; ++i) {
        buf[at++] = gDrives[i].letter;
        buf[at++] = u':';
        buf[at++] = u'\\';
        buf[at++] = 0;
    }
    buf[at] = 0;
    return at;
}

bool QueryDriveDevice(const char16_t* driveName, char16_t* out, uint32_t capacity) {
    if (TextIsEmpty(driveName) || out == nullptr || capacity == 0) return false;
    std::lock_guard<std::mutex> guard(gDrivesMutex);
    for (int i = 0; i < gDriveCount; ++i) {
        if (FoldAscii(gDrives[i].letter) != FoldAscii(driveName[0])) continue;
        if (gDrives[i].device[0] == 0) return false;
        CopyBounded(out, capacity, gDrives[i].device);
        return true;
    }
    return false;
}

void SetSimulatedWindowsFolder(const char16_t* folder) {
    std::lock_guard<std::mutex> guard(gDrivesMutex);
    CopyBounded(gWindowsFolder, std::size(gWindowsFolder), folder);
}

bool QueryWindowsFolder(char16_t* out, uint32_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    std::lock_guard<std::mutex> guard(gDrivesMutex);
    if (gWindowsFolder[0] == 0 || TextLength(gWindowsFolder) >= capacity) return false;
    CopyBounded(out, capacity, gWindowsFolder);
    return true;
}

} // namespace olv
