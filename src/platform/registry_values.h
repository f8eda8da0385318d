// One registry value's type and data, read by the key's full name as the trace and the rows write
// it (\REGISTRY\MACHINE\..., HKU\<sid>\...), for the rules' value-data field.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

// The predefined keys a key path can start with.
enum RegistryRoot : uint8_t {
    kRegistryRootNone, // not a key path this interface can open
    kRegistryRootMachine,
    kRegistryRootUsers,
    kRegistryRootCurrentUser,
    kRegistryRootClassesRoot,
};

// Splits a key path into its root and the subkey below it. Roots, case folded: \REGISTRY\MACHINE,
// HKLM, HKEY_LOCAL_MACHINE; \REGISTRY\USER, HKU, HKEY_USERS; HKCU, HKEY_CURRENT_USER; HKCR,
// HKEY_CLASSES_ROOT. *subkey (when not null) points into path after the root's separator, at the
// terminator for the root itself. Anything else (another root such as \REGISTRY\A, a root name
// followed by more letters, null) is kRegistryRootNone with *subkey null.
RegistryRoot SplitRegistryKeyPath(const char16_t* path, const char16_t** subkey);

// Value types, as the system numbers them.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegDwordBigEndian = 5;
constexpr uint32_t kRegLink = 6;
constexpr uint32_t kRegMultiSz = 7;
constexpr uint32_t kRegResourceList = 8;
constexpr uint32_t kRegQword = 11;

// The most data read of one value; a larger value is TooLarge, its data not read.
constexpr uint32_t kRegistryValueDataMax = 64 * 1024;

enum RegistryValueStatus : uint8_t {
    kRegistryValueRead,     // type, data and the key's last-write time are known
    kRegistryValueTooLarge, // type and fullSize known, no data (over kRegistryValueDataMax)
    kRegistryValueGone,     // the key is there, the value is not
    kRegistryKeyGone,       // the key is not there (or a key on its path)
    kRegistryAccessDenied,  // this process may not read the key
    kRegistryBadPath,       // the path names no root this interface opens
    kRegistryReadFailed,    // any other failure; error holds the system's error
    kRegistryNotAvailable,  // no registry on this platform
};

// What one read learnt. About 64 KB: callers keep one per worker, not on a small stack.
struct RegistryValue {
    RegistryValueStatus status;
    uint32_t error;       // the system's error when the read failed, else 0
    uint32_t type;        // kReg* (known for Read and TooLarge)
    uint32_t size;        // bytes of data held (0 for TooLarge)
    uint32_t fullSize;    // bytes the value holds
    int64_t keyLastWrite; // the key's last-write time (100 ns ticks), 0 when unknown
    uint8_t data[kRegistryValueDataMax];
};

// Reads the value valueName (empty or null: the key's default value) of the key keyPath. Never
// follows the 32-bit view's redirection: the path names the key the trace saw. Returns true for
// Read; *out always describes the outcome.
bool ReadRegistryValue(const char16_t* keyPath, const char16_t* valueName, RegistryValue* out);

// Writes the value valueName of the key keyPath (created with the keys on its path when missing),
// in the 64-bit view. False with *error the system's error (when error is not null) on failure.
bool WriteRegistryValue(const char16_t* keyPath, const char16_t* valueName, uint32_t type,
                        const void* data, uint32_t size, uint32_t* error);
// Deletes the value; a value or key that is not there counts as deleted. False with *error the
// system's error on any other failure.
bool DeleteRegistryValue(const char16_t* keyPath, const char16_t* valueName, uint32_t* error);

// A short name of a status, for notes and test messages.
const char* RegistryValueStatusName(RegistryValueStatus status);

} // namespace olv
