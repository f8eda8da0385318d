// The stand-in for the machine's logical drives: a process-wide table that tests and the replay
// tool set before the code under test lists the drives (platform/drives.h).
#pragma once

#include <cstdint>

namespace olv {

// Replaces the table. letters[i] names drive i by its first character ("C", "C:" or "C:\" all
// give C:); devices[i] is its device path, or null / empty for a drive whose query fails.
// At most 26 drives are kept.
void SetSimulatedDrives(const char16_t* const* letters, const char16_t* const* devices, int count);
// No drives: listing them fails.
void ClearSimulatedDrives();
// The Windows folder the stand-in reports (such as "C:\Windows"); null or empty: the query
// fails. Starts unset.
void SetSimulatedWindowsFolder(const char16_t* folder);
// The type QueryDriveType answers for the drive of letter (kDriveTypeUnknown, for every drive,
// until set; ClearSimulatedDrives puts every type back).
void SetSimulatedDriveType(char16_t letter, uint32_t type);

} // namespace olv
