#include "platform/sim/sim_facts.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/files.h"

namespace olv {

namespace {

struct SimValue {
    std::u16string name;
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;
};

struct SimKey {
    RegistryRoot root = kRegistryRootNone;
    std::u16string subkey;
    bool accessDenied = false;
    int64_t lastWrite = 0;
    std::vector<SimValue> values;
};

struct SimTrust {
    std::u16string path;
    FileTrust trust;
};

std::mutex gMutex;
std::vector<SimKey> gKeys;
std::vector<std::pair<uint32_t, ProcessTokenFacts>> gTokens;
std::vector<SimTrust> gTrust;
struct SimDirectory {
    uint32_t processId;
    std::u16string path;
    ProcessDirectoryStatus status;
};
std::vector<SimDirectory> gDirectories;

uint32_t gChangeError = 0;
uint32_t gChangesBeforeError = 0;
constexpr uint32_t kSimRegistryBadPath = 87; // ERROR_INVALID_PARAMETER

// Whether the next write or delete fails (under gMutex).
bool ChangeRefused(uint32_t* error) {
    if (gChangeError == 0) return false;
    if (gChangesBeforeError > 0) {
        --gChangesBeforeError;
        return false;
    }
    if (error != nullptr) *error = gChangeError;
    gChangeError = 0; // one change fails
    return true;
}

const char16_t* OrEmpty(const char16_t* text) {
    return text != nullptr ? text : u"";
}

// The key of this path; null when there is none and create is false or the path has no root.
SimKey* FindKey(const char16_t* keyPath, bool create) {
    const char16_t* subkey = nullptr;
    const RegistryRoot root = SplitRegistryKeyPath(keyPath, &subkey);
    if (root == kRegistryRootNone) return nullptr;
    for (SimKey& key : gKeys) {
        if (key.root == root && EqualsFolded(key.subkey.c_str(), subkey)) return &key;
    }
    if (!create) return nullptr;
    SimKey& key = gKeys.emplace_back();
    key.root = root;
    key.subkey = subkey;
    return &key;
}

SimValue* FindValue(SimKey* key, const char16_t* valueName) {
    for (SimValue& value : key->values) {
        if (EqualsFolded(value.name.c_str(), OrEmpty(valueName))) return &value;
    }
    return nullptr;
}

} // namespace

void SetSimulatedRegistryValue(const char16_t* keyPath, const char16_t* valueName, uint32_t type,
                               const void* data, uint32_t size) {
    std::lock_guard<std::mutex> guard(gMutex);
    SimKey* key = FindKey(keyPath, true);
    if (key == nullptr) return;
    SimValue* value = FindValue(key, valueName);
    if (value == nullptr) {
        value = &key->values.emplace_back();
        value->name = OrEmpty(valueName);
    }
    value->type = type;
    const auto* bytes = static_cast<const uint8_t*>(data);
    value->data.assign(bytes, bytes == nullptr ? bytes : bytes + size);
}

void SetSimulatedRegistryKey(const char16_t* keyPath, bool accessDenied) {
    std::lock_guard<std::mutex> guard(gMutex);
    SimKey* key = FindKey(keyPath, true);
    if (key != nullptr) key->accessDenied = accessDenied;
}

void SetSimulatedRegistryKeyTime(const char16_t* keyPath, int64_t lastWrite) {
    std::lock_guard<std::mutex> guard(gMutex);
    SimKey* key = FindKey(keyPath, true);
    if (key != nullptr) key->lastWrite = lastWrite;
}

void RemoveSimulatedRegistryValue(const char16_t* keyPath, const char16_t* valueName) {
    std::lock_guard<std::mutex> guard(gMutex);
    SimKey* key = FindKey(keyPath, false);
    if (key == nullptr) return;
    std::erase_if(key->values, [valueName](const SimValue& value) {
        return EqualsFolded(value.name.c_str(), OrEmpty(valueName));
    });
}

void ClearSimulatedRegistry() {
    std::lock_guard<std::mutex> guard(gMutex);
    gKeys.clear();
    gChangeError = 0;
    gChangesBeforeError = 0;
}

void FailSimulatedRegistryChanges(uint32_t error, uint32_t after) {
    std::lock_guard<std::mutex> guard(gMutex);
    gChangeError = error;
    gChangesBeforeError = after;
}

bool WriteRegistryValue(const char16_t* keyPath, const char16_t* valueName, uint32_t type,
                        const void* data, uint32_t size, uint32_t* error) {
    if (error != nullptr) *error = 0;
    {
        std::lock_guard<std::mutex> guard(gMutex);
        if (ChangeRefused(error)) return false;
        if (SplitRegistryKeyPath(keyPath, nullptr) == kRegistryRootNone) {
            if (error != nullptr) *error = kSimRegistryBadPath;
            return false;
        }
    }
    SetSimulatedRegistryValue(keyPath, valueName, type, data, size);
    return true;
}

bool DeleteRegistryValue(const char16_t* keyPath, const char16_t* valueName, uint32_t* error) {
    if (error != nullptr) *error = 0;
    {
        std::lock_guard<std::mutex> guard(gMutex);
        if (ChangeRefused(error)) return false;
    }
    RemoveSimulatedRegistryValue(keyPath, valueName);
    return true;
}

bool ReadRegistryValue(const char16_t* keyPath, const char16_t* valueName, RegistryValue* out) {
    if (out == nullptr) return false;
    out->error = 0;
    out->type = kRegNone;
    out->size = 0;
    out->fullSize = 0;
    out->keyLastWrite = 0;
    if (SplitRegistryKeyPath(keyPath, nullptr) == kRegistryRootNone) {
        out->status = kRegistryBadPath;
        return false;
    }
    std::lock_guard<std::mutex> guard(gMutex);
    SimKey* key = FindKey(keyPath, false);
    if (key == nullptr || key->accessDenied) {
        out->status = key == nullptr ? kRegistryKeyGone : kRegistryAccessDenied;
        out->error = key == nullptr ? kErrorFileNotFound : 5; // ERROR_ACCESS_DENIED
        return false;
    }
    out->keyLastWrite = key->lastWrite;
    const SimValue* value = FindValue(key, valueName);
    if (value == nullptr) {
        out->status = kRegistryValueGone;
        out->error = kErrorFileNotFound;
        return false;
    }
    out->type = value->type;
    out->fullSize = static_cast<uint32_t>(value->data.size());
    if (value->data.size() > kRegistryValueDataMax) {
        out->status = kRegistryValueTooLarge;
        return false;
    }
    out->size = out->fullSize;
    if (out->size > 0) std::memcpy(out->data, value->data.data(), out->size);
    out->status = kRegistryValueRead;
    return true;
}

void SetSimulatedProcessToken(uint32_t processId, const ProcessTokenFacts& facts) {
    std::lock_guard<std::mutex> guard(gMutex);
    for (auto& entry : gTokens) {
        if (entry.first == processId) {
            entry.second = facts;
            return;
        }
    }
    gTokens.emplace_back(processId, facts);
}

void RemoveSimulatedProcessToken(uint32_t processId) {
    std::lock_guard<std::mutex> guard(gMutex);
    std::erase_if(gTokens, [processId](const auto& entry) { return entry.first == processId; });
}

void ClearSimulatedProcessTokens() {
    std::lock_guard<std::mutex> guard(gMutex);
    gTokens.clear();
}

bool ReadProcessTokenFacts(uint32_t processId, ProcessTokenFacts* out) {
    if (out == nullptr) return false;
    std::lock_guard<std::mutex> guard(gMutex);
    for (const auto& entry : gTokens) {
        if (entry.first == processId) {
            *out = entry.second;
            return out->status == kTokenRead;
        }
    }
    *out = ProcessTokenFacts{};
    out->status = kTokenProcessGone;
    out->error = 87; // ERROR_INVALID_PARAMETER, as opening an unused id fails
    return false;
}

void SetSimulatedProcessDirectory(uint32_t processId, const char16_t* path,
                                  ProcessDirectoryStatus status) {
    std::lock_guard<std::mutex> guard(gMutex);
    std::erase_if(gDirectories, [processId](const SimDirectory& d) { return d.processId == processId; });
    gDirectories.push_back(SimDirectory{processId, OrEmpty(path), status});
}

void ClearSimulatedProcessDirectories() {
    std::lock_guard<std::mutex> guard(gMutex);
    gDirectories.clear();
}

bool ReadProcessCurrentDirectory(uint32_t processId, ProcessDirectory* out) {
    if (out == nullptr) return false;
    out->status = kDirectoryProcessGone;
    out->error = 87; // ERROR_INVALID_PARAMETER, as opening an unused id fails
    out->path[0] = 0;
    std::lock_guard<std::mutex> guard(gMutex);
    for (const SimDirectory& d : gDirectories) {
        if (d.processId != processId) continue;
        out->error = 0;
        out->status = d.status;
        if (d.status != kDirectoryRead) return false;
        if (d.path.size() >= kProcessDirectoryChars) {
            out->status = kDirectoryTooLong;
            return false;
        }
        std::memcpy(out->path, d.path.c_str(), (d.path.size() + 1) * sizeof(char16_t));
        return true;
    }
    return false;
}

void SetSimulatedFileTrust(const char16_t* path, const FileTrust& trust) {
    std::lock_guard<std::mutex> guard(gMutex);
    for (SimTrust& entry : gTrust) {
        if (EqualsFolded(entry.path.c_str(), OrEmpty(path))) {
            entry.trust = trust;
            return;
        }
    }
    gTrust.push_back(SimTrust{OrEmpty(path), trust});
}

void ClearSimulatedFileTrust() {
    std::lock_guard<std::mutex> guard(gMutex);
    gTrust.clear();
}

bool CheckFileTrust(const char16_t* path, FileTrust* out) {
    if (out == nullptr) return false;
    std::lock_guard<std::mutex> guard(gMutex);
    for (const SimTrust& entry : gTrust) {
        if (EqualsFolded(entry.path.c_str(), OrEmpty(path))) {
            *out = entry.trust;
            return out->status == kFileTrustChecked;
        }
    }
    *out = FileTrust{};
    out->status = kFileTrustCannotOpen;
    out->error = kErrorFileNotFound;
    return false;
}

} // namespace olv
