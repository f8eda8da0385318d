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

void LearnWindowsFolder(DriveMap* map) {
    map->windowsFolder[0] = 0;
    map->systemDrive[0] = 0;
    char16_t folder[kDeviceChars] = {};
    if (!QueryWindowsFolder(folder, kDeviceChars)) return;
    folder[kDeviceChars - 1] = 0;
    size_t length = TextLength(folder);
    // "C:\Windows" is kept without a trailing separator; a drive root ("C:\") as "C:".
    while (length > 0 && folder[length - 1] == u'\\')
        folder[--length] = 0;
    const bool onDrive =
        length >= 2 && folder[1] == u':' &&
        ((folder[0] >= u'A' && folder[0] <= u'Z') || (folder[0] >= u'a' && folder[0] <= u'z')) &&
        (length == 2 || folder[2] == u'\\');
    // Only a folder on a drive is used: anything else would not give the path a drive either.
    if (!onDrive) return;
    CopyBounded(map->windowsFolder, std::size(map->windowsFolder), folder);
    const char16_t drive[3] = {folder[0], u':', 0};
    CopyBounded(map->systemDrive, std::size(map->systemDrive), drive);
}

void BuildDriveMap(DriveMap* map) {
    map->built = 1;
    map->count = 0;
    LearnWindowsFolder(map);
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

// path begins with prefix, folding only A to Z; *rest then points after it.
bool StartsWithFolded(const char16_t* path, const char16_t* prefix, const char16_t** rest) {
    size_t i = 0;
    for (; prefix[i] != 0; ++i) {
        if (path[i] == 0 || FoldAscii(path[i]) != FoldAscii(prefix[i])) return false;
    }
    *rest = path + i;
    return true;
}

// The length of the path component at text (up to a separator or the end).
size_t ComponentLength(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0 && text[n] != u'\\')
        ++n;
    return n;
}

// A drive name ("C:") followed by a separator or the end.
bool IsDriveStart(const char16_t* text) {
    const char16_t c = FoldAscii(text[0]);
    return c >= u'a' && c <= u'z' && text[1] == u':' && (text[2] == 0 || text[2] == u'\\');
}

// Top-level directories of the kernel's object namespace. A rooted path that begins with one of
// them names a kernel object, not a file of the system volume, and is kept. (\Windows is one
// too, but the kernel gives image paths of the system volume in that form, which wins.)
constexpr const char16_t* kObjectDirectories[] = {
    u"Device",           u"??",          u"GLOBAL??",    u"DosDevices",
    u"SystemRoot",       u"REGISTRY",    u"KnownDlls",   u"KnownDlls32",
    u"BaseNamedObjects", u"Sessions",    u"ArcName",     u"Driver",
    u"FileSystem",       u"ObjectTypes", u"RPC Control", u"Callback",
    u"KernelObjects",    u"Security",    u"NLS"};

bool NamesObjectDirectory(const char16_t* component, size_t length) {
    for (const char16_t* name : kObjectDirectories) {
        if (TextLength(name) == length && PrefixEqualsFolded(component, name, length)) return true;
    }
    return false;
}

// After a network redirector's device: skips the redirector's own components (";Lanman...",
// ";Z:0000...", or a provider such as "DfsClient" followed by one of those); the server name
// follows. Null when no server follows.
const char16_t* SkipRedirectorParts(const char16_t* rest) {
    const char16_t* at = rest;
    if (at[0] != u';' && at[0] != 0) {
        const size_t n = ComponentLength(at);
        if (at[n] == u'\\' && at[n + 1] == u';') at += n + 1; // "DfsClient\;Z:..."
    }
    while (at[0] == u';') {
        const size_t n = ComponentLength(at);
        if (at[n] != u'\\') return nullptr;
        at += n + 1;
    }
    // A server name, then its share.
    const size_t server = ComponentLength(at);
    if (server == 0) return nullptr;
    return at;
}

// Composes head + tail into path, cut as every translated path is.
void ComposePath(const char16_t* head, const char16_t* tail, char16_t* path, size_t capacity) {
    char16_t composed[kPathChars];
    CopyBounded(composed, kPathChars, head);
    AppendBounded(composed, kPathChars, tail);
    CopyBounded(path, capacity, composed);
}

} // namespace

bool TranslateRootedPath(const char16_t* windowsFolder, const char16_t* systemDrive, char16_t* path,
                         size_t capacity) {
    if (path == nullptr || capacity == 0 || path[0] != u'\\') return false;
    if (path[1] == u'\\' || path[1] == 0) return false; // UNC already, or the root alone
    const char16_t* rest = nullptr;
    // \??\C:\x, \DosDevices\C:\x, \GLOBAL??\C:\x and their UNC forms.
    if (StartsWithFolded(path, u"\\??\\", &rest) ||
        StartsWithFolded(path, u"\\DosDevices\\", &rest) ||
        StartsWithFolded(path, u"\\GLOBAL??\\", &rest)) {
        const char16_t* share = nullptr;
        if (IsDriveStart(rest)) {
            ComposePath(rest, nullptr, path, capacity);
            return true;
        }
        if (StartsWithFolded(rest, u"UNC\\", &share) && ComponentLength(share) > 0) {
            ComposePath(u"\\\\", share, path, capacity);
            return true;
        }
        return false; // a volume name or another object: kept
    }
    if (StartsWithFolded(path, u"\\SystemRoot", &rest) && (rest[0] == 0 || rest[0] == u'\\')) {
        if (TextIsEmpty(windowsFolder)) return false;
        ComposePath(windowsFolder, rest, path, capacity);
        return true;
    }
    if (StartsWithFolded(path, u"\\Device\\Mup\\", &rest) ||
        StartsWithFolded(path, u"\\Device\\LanmanRedirector\\", &rest)) {
        const char16_t* server = SkipRedirectorParts(rest);
        if (server == nullptr) return false;
        ComposePath(u"\\\\", server, path, capacity);
        return true;
    }
    // Rooted on the system volume without a device: \Windows\System32\kernel32.dll.
    const size_t first = ComponentLength(path + 1);
    if (path[1] == u';' || NamesObjectDirectory(path + 1, first)) return false;
    if (TextIsEmpty(systemDrive)) return false;
    ComposePath(systemDrive, path, path, capacity);
    return true;
}

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
    TranslateRootedPath(map.windowsFolder, map.systemDrive, path, capacity);
}

} // namespace olv
