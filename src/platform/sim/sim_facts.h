// Stand-ins for the facts only the system has: registry values (platform/registry_values.h),
// process tokens (platform/process_token.h) and the trust check of files (platform/file_trust.h).
// Process-wide tables that tests and tools fill before the code under test reads them; every
// call is safe from any thread.
#pragma once

#include <cstdint>

#include "platform/file_trust.h"
#include "platform/process_directory.h"
#include "platform/process_token.h"
#include "platform/registry_values.h"

namespace olv {

// Sets the value valueName (null: the default value) of a key, creating the key. The key is
// named as ReadRegistryValue takes it; roots are compared by what they name (HKLM\X and
// \REGISTRY\MACHINE\X are one key), subkeys and value names without regard to ASCII case.
// size may exceed kRegistryValueDataMax (the read is then TooLarge).
void SetSimulatedRegistryValue(const char16_t* keyPath, const char16_t* valueName, uint32_t type,
                               const void* data, uint32_t size);
// Creates a key without values; accessDenied makes every read of it AccessDenied.
void SetSimulatedRegistryKey(const char16_t* keyPath, bool accessDenied);
// Sets the key's last-write time that reads report.
void SetSimulatedRegistryKeyTime(const char16_t* keyPath, int64_t lastWrite);
// Removes one value; the key stays.
void RemoveSimulatedRegistryValue(const char16_t* keyPath, const char16_t* valueName);
void ClearSimulatedRegistry();
// The call of WriteRegistryValue or DeleteRegistryValue after `after` more successful ones (0:
// the next one) fails with this system error, and changes nothing; error 0 lets them all work.
void FailSimulatedRegistryChanges(uint32_t error, uint32_t after = 0);

// The token facts ReadProcessTokenFacts answers for processId (status as given); a process
// without an entry is ProcessGone.
void SetSimulatedProcessToken(uint32_t processId, const ProcessTokenFacts& facts);
void RemoveSimulatedProcessToken(uint32_t processId);
void ClearSimulatedProcessTokens();

// What ReadProcessCurrentDirectory answers for processId: the folder, or (status other than Read)
// that failure; a process without an entry is ProcessGone.
void SetSimulatedProcessDirectory(uint32_t processId, const char16_t* path,
                                  ProcessDirectoryStatus status = kDirectoryRead);
void ClearSimulatedProcessDirectories();

// What CheckFileTrust answers for path (compared without regard to ASCII case); a path without
// an entry cannot be opened (file not found).
void SetSimulatedFileTrust(const char16_t* path, const FileTrust& trust);
void ClearSimulatedFileTrust();

} // namespace olv
