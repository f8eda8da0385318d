#include "platform/registry_values.h"

#include "base/text.h"

namespace olv {

namespace {

struct RootName {
    const char16_t* name;
    size_t length;
    RegistryRoot root;
};

constexpr RootName kRootNames[] = {
    {u"\\registry\\machine", 17, kRegistryRootMachine},
    {u"hkey_local_machine", 18, kRegistryRootMachine},
    {u"hklm", 4, kRegistryRootMachine},
    {u"\\registry\\user", 14, kRegistryRootUsers},
    {u"hkey_users", 10, kRegistryRootUsers},
    {u"hku", 3, kRegistryRootUsers},
    {u"hkey_current_user", 17, kRegistryRootCurrentUser},
    {u"hkcu", 4, kRegistryRootCurrentUser},
    {u"hkey_classes_root", 17, kRegistryRootClassesRoot},
    {u"hkcr", 4, kRegistryRootClassesRoot},
};

bool StartsWithLowerName(const char16_t* path, const char16_t* lowerName, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (path[i] == 0 || FoldAscii(path[i]) != lowerName[i]) return false;
    }
    return true;
}

} // namespace

RegistryRoot SplitRegistryKeyPath(const char16_t* path, const char16_t** subkey) {
    if (subkey != nullptr) *subkey = nullptr;
    if (path == nullptr) return kRegistryRootNone;
    for (const RootName& root : kRootNames) {
        if (!StartsWithLowerName(path, root.name, root.length)) continue;
        const char16_t next = path[root.length];
        if (next != 0 && next != u'\\') continue; // HKUX, \REGISTRY\USERS...
        if (subkey != nullptr) *subkey = path + root.length + (next == u'\\' ? 1 : 0);
        return root.root;
    }
    return kRegistryRootNone;
}

const char* RegistryValueStatusName(RegistryValueStatus status) {
    switch (status) {
    case kRegistryValueRead:
        return "read";
    case kRegistryValueTooLarge:
        return "too large";
    case kRegistryValueGone:
        return "value gone";
    case kRegistryKeyGone:
        return "key gone";
    case kRegistryAccessDenied:
        return "access denied";
    case kRegistryBadPath:
        return "not a key path";
    case kRegistryReadFailed:
        return "read failed";
    case kRegistryNotAvailable:
        return "not available";
    }
    return "unknown";
}

} // namespace olv
