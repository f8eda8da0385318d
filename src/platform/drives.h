// Logical drives and their device paths (GetLogicalDriveStringsW, QueryDosDeviceW), and the
// Windows folder (GetSystemWindowsDirectoryW), for the kernel's paths that name neither.
#pragma once

#include <cstdint>

namespace olv {

// Fills buf with the drive strings ("C:\", NUL, "D:\", NUL, NUL) as GetLogicalDriveStringsW does;
// returns the number of characters written without the final NUL, 0 on failure, or the size
// needed when it does not fit.
uint32_t ListLogicalDrives(char16_t* buf, uint32_t capacity);
// Device path of a drive name such as "C:"; false when it cannot be queried.
bool QueryDriveDevice(const char16_t* driveName, char16_t* out, uint32_t capacity);
// The Windows folder, such as "C:\Windows" (what the kernel calls \SystemRoot); false when it
// cannot be had or does not fit.
bool QueryWindowsFolder(char16_t* out, uint32_t capacity);

// GetDriveTypeW's answers that the program looks at.
constexpr uint32_t kDriveTypeUnknown = 0;
constexpr uint32_t kDriveNoRootDir = 1; // no such drive, as this process sees the drives
constexpr uint32_t kDriveFixed = 3;
constexpr uint32_t kDriveRemote = 4;
// The type of the drive whose root is given ("X:\"), as GetDriveTypeW answers for this process.
uint32_t QueryDriveType(const char16_t* root);

} // namespace olv
