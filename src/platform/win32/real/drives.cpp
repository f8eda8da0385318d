// Logical drives and their device paths from the system.
#include <windows.h>

#include "platform/drives.h"

namespace olv {

static_assert(sizeof(wchar_t) == 2, "UTF-16 text is passed to the system as wchar_t");

uint32_t ListLogicalDrives(char16_t* buf, uint32_t capacity) {
    if (buf == nullptr || capacity == 0) return 0;
    // The length given to the system leaves room for the final NUL.
    DWORD length = GetLogicalDriveStringsW(capacity - 1, reinterpret_cast<wchar_t*>(buf));
    buf[capacity - 1] = 0;
    return static_cast<uint32_t>(length);
}

bool QueryDriveDevice(const char16_t* driveName, char16_t* out, uint32_t capacity) {
    if (driveName == nullptr || out == nullptr || capacity == 0) return false;
    out[0] = 0;
    DWORD stored = QueryDosDeviceW(reinterpret_cast<const wchar_t*>(driveName),
                                   reinterpret_cast<wchar_t*>(out), capacity);
    out[capacity - 1] = 0;
    return stored != 0 && out[0] != 0;
}

uint32_t QueryDriveType(const char16_t* root) {
    if (root == nullptr || root[0] == 0) return kDriveTypeUnknown;
    return GetDriveTypeW(reinterpret_cast<const wchar_t*>(root));
}

bool QueryWindowsFolder(char16_t* out, uint32_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    // The system's own folder, which \SystemRoot names: GetWindowsDirectoryW may give a
    // per-user folder on a terminal server.
    const UINT length = GetSystemWindowsDirectoryW(reinterpret_cast<wchar_t*>(out), capacity);
    if (length == 0 || length >= capacity) {
        out[0] = 0;
        return false;
    }
    out[capacity - 1] = 0;
    return true;
}

} // namespace olv
