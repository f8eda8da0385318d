// Registry values from the system (RegOpenKeyExW, RegQueryValueExW).
#include <windows.h>

#include "platform/registry_values.h"

namespace olv {

static_assert(sizeof(wchar_t) == 2, "UTF-16 text is passed to the system as wchar_t");

namespace {

HKEY RootKey(RegistryRoot root) {
    switch (root) {
    case kRegistryRootMachine:
        return HKEY_LOCAL_MACHINE;
    case kRegistryRootUsers:
        return HKEY_USERS;
    case kRegistryRootCurrentUser:
        return HKEY_CURRENT_USER;
    case kRegistryRootClassesRoot:
        return HKEY_CLASSES_ROOT;
    case kRegistryRootNone:
        break;
    }
    return nullptr;
}

RegistryValueStatus StatusOfError(LONG error, bool keyOpen) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return keyOpen ? kRegistryValueGone : kRegistryKeyGone;
    case ERROR_PATH_NOT_FOUND:
        return kRegistryKeyGone;
    case ERROR_KEY_DELETED:
        return kRegistryKeyGone;
    case ERROR_ACCESS_DENIED:
        return kRegistryAccessDenied;
    default:
        return kRegistryReadFailed;
    }
}

// The value's name as the calls take it: null is the key's default value.
const wchar_t* ValueName(const char16_t* valueName) {
    return valueName != nullptr ? reinterpret_cast<const wchar_t*>(valueName) : L"";
}

// Opens the key keyPath names (created, with the keys on its path, when create), in the 64-bit
// view: the path is the key's own name, never the 32-bit redirection. ERROR_SUCCESS with *key
// open, else the system's error; a path under no root the calls know is ERROR_INVALID_PARAMETER
// with *badPath set (when badPath is not null).
LONG OpenKeyPath(const char16_t* keyPath, REGSAM access, bool create, HKEY* key,
                 bool* badPath = nullptr) {
    *key = nullptr;
    const char16_t* subkey = nullptr;
    const HKEY root = RootKey(SplitRegistryKeyPath(keyPath, &subkey));
    if (badPath != nullptr) *badPath = root == nullptr;
    if (root == nullptr) return ERROR_INVALID_PARAMETER;
    const auto* name = reinterpret_cast<const wchar_t*>(subkey);
    if (create) {
        return RegCreateKeyExW(root, name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                               access | KEY_WOW64_64KEY, nullptr, key, nullptr);
    }
    return RegOpenKeyExW(root, name, 0, access | KEY_WOW64_64KEY, key);
}

bool Fail(RegistryValue* out, RegistryValueStatus status, LONG error) {
    out->status = status;
    out->error = static_cast<uint32_t>(error);
    out->size = 0;
    return false;
}

} // namespace

bool ReadRegistryValue(const char16_t* keyPath, const char16_t* valueName, RegistryValue* out) {
    if (out == nullptr) return false;
    out->status = kRegistryReadFailed;
    out->error = 0;
    out->type = kRegNone;
    out->size = 0;
    out->fullSize = 0;
    out->keyLastWrite = 0;
    HKEY key = nullptr;
    bool badPath = false;
    LONG error = OpenKeyPath(keyPath, KEY_QUERY_VALUE, false, &key, &badPath);
    if (badPath) return Fail(out, kRegistryBadPath, 0);
    if (error != ERROR_SUCCESS) return Fail(out, StatusOfError(error, false), error);

    FILETIME lastWrite{};
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, &lastWrite) == ERROR_SUCCESS) {
        out->keyLastWrite = static_cast<int64_t>(
            (static_cast<uint64_t>(lastWrite.dwHighDateTime) << 32) | lastWrite.dwLowDateTime);
    }
    const wchar_t* name = ValueName(valueName);
    DWORD type = REG_NONE;
    DWORD size = kRegistryValueDataMax;
    error = RegQueryValueExW(key, name, nullptr, &type, out->data, &size);
    if (error == ERROR_MORE_DATA) {
        // The data is not handed out in part: only its type and size are known.
        DWORD needed = 0;
        error = RegQueryValueExW(key, name, nullptr, &type, nullptr, &needed);
        RegCloseKey(key);
        if (error != ERROR_SUCCESS) return Fail(out, StatusOfError(error, true), error);
        out->status = kRegistryValueTooLarge;
        out->type = type;
        out->fullSize = needed;
        return false;
    }
    RegCloseKey(key);
    if (error != ERROR_SUCCESS) return Fail(out, StatusOfError(error, true), error);
    out->status = kRegistryValueRead;
    out->type = type;
    out->size = size <= kRegistryValueDataMax ? size : kRegistryValueDataMax;
    out->fullSize = size;
    return true;
}

bool WriteRegistryValue(const char16_t* keyPath, const char16_t* valueName, uint32_t type,
                        const void* data, uint32_t size, uint32_t* error) {
    HKEY key = nullptr;
    LONG status = OpenKeyPath(keyPath, KEY_SET_VALUE, true, &key);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, ValueName(valueName), 0, type, static_cast<const BYTE*>(data),
                                size);
        RegCloseKey(key);
    }
    if (error != nullptr) *error = static_cast<uint32_t>(status);
    return status == ERROR_SUCCESS;
}

bool DeleteRegistryValue(const char16_t* keyPath, const char16_t* valueName, uint32_t* error) {
    HKEY key = nullptr;
    LONG status = OpenKeyPath(keyPath, KEY_SET_VALUE, false, &key);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteValueW(key, ValueName(valueName));
        RegCloseKey(key);
    }
    // A value or key that is not there is as good as deleted.
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    if (error != nullptr) *error = static_cast<uint32_t>(status);
    return status == ERROR_SUCCESS;
}

} // namespace olv
