// Files on Windows: CreateFileW, WriteFile, FlushFileBuffers, MoveFileExW, DeleteFileW,
// GetFileSizeEx, ReadFile and GetFileAttributesW on the UTF-16 paths of the core.
#include "platform/files.h"

#include <windows.h>

#include <vector>

#include "base/text.h"
#include "platform/fault_countdown.h"
#include "platform/long_path.h"

static_assert(sizeof(wchar_t) == 2, "UTF-16 paths are passed to Windows as they are");

namespace olv {

namespace {

const wchar_t* Wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

void SetError(uint32_t* error, uint32_t value) {
    if (error != nullptr) *error = value;
}

FileHandle FromWindows(HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

// The longest path handed to the system, the terminator included: room for the program's longest
// paths made full (a relative one gains the current folder) and the extended form's prefix.
constexpr DWORD kSystemPathChars = 2048;

// A path as the file calls take it. Below kPlainPathLimit the caller's text is used as it is;
// a longer one is made full (GetFullPathNameW also resolves "." and "..", which the extended
// form would take literally) and given its "\\?\" form, so long paths work whether or not the
// machine has them switched on. text is null when the path cannot be given to the system.
struct SystemPath {
    const wchar_t* text;
    wchar_t buffer[kSystemPathChars];
};

void MakeSystemPath(const char16_t* path, SystemPath* out) {
    out->text = nullptr;
    out->buffer[0] = 0;
    if (path == nullptr || path[0] == 0) return;
    if (!NeedsExtendedForm(path)) {
        out->text = Wide(path);
        return;
    }
    wchar_t full[kSystemPathChars];
    const DWORD length = GetFullPathNameW(Wide(path), kSystemPathChars, full, nullptr);
    if (length == 0 || length >= kSystemPathChars) return;
    if (ExtendedLengthPath(reinterpret_cast<const char16_t*>(full),
                           reinterpret_cast<char16_t*>(out->buffer), kSystemPathChars)) {
        out->text = out->buffer;
    }
}

// The error of a path that could not be given to the system (too long even in full).
DWORD UnusablePathError(const char16_t* path) {
    return path == nullptr || path[0] == 0 ? ERROR_PATH_NOT_FOUND : ERROR_FILENAME_EXCED_RANGE;
}

} // namespace

FileHandle CreateNewFile(const char16_t* path, uint32_t* error) {
    SystemPath system;
    MakeSystemPath(path, &system);
    if (system.text == nullptr) {
        SetError(error, UnusablePathError(path));
        return nullptr;
    }
    HANDLE h = CreateFileW(system.text, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    SetError(error, h == INVALID_HANDLE_VALUE ? static_cast<uint32_t>(GetLastError()) : 0);
    return FromWindows(h);
}

FileHandle OpenFileForReading(const char16_t* path, uint32_t* error) {
    SystemPath system;
    MakeSystemPath(path, &system);
    if (system.text == nullptr) {
        SetError(error, UnusablePathError(path));
        return nullptr;
    }
    HANDLE h = CreateFileW(system.text, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    SetError(error, h == INVALID_HANDLE_VALUE ? static_cast<uint32_t>(GetLastError()) : 0);
    return FromWindows(h);
}

bool WriteFileBytes(FileHandle file, const void* data, uint32_t bytes, uint32_t* written) {
    if (written != nullptr) *written = 0;
    if (file == nullptr || (data == nullptr && bytes != 0)) return false;
    if (gFileWriteFault.Fires()) return false;
    DWORD done = 0;
    BOOL ok = WriteFile(static_cast<HANDLE>(file), data, bytes, &done, nullptr);
    if (written != nullptr) *written = done;
    return ok != 0 && done == bytes;
}

bool ReadFileBytes(FileHandle file, void* data, uint32_t bytes, uint32_t* got) {
    if (got != nullptr) *got = 0;
    if (file == nullptr || (data == nullptr && bytes != 0)) return false;
    DWORD done = 0;
    BOOL ok = ReadFile(static_cast<HANDLE>(file), data, bytes, &done, nullptr);
    if (got != nullptr) *got = done;
    return ok != 0;
}

bool FlushFile(FileHandle file) {
    if (file == nullptr) return false;
    if (gFileFlushFault.Fires()) return false;
    return FlushFileBuffers(static_cast<HANDLE>(file)) != 0;
}

bool FileSize(FileHandle file, int64_t* size) {
    if (size != nullptr) *size = 0;
    if (file == nullptr || size == nullptr) return false;
    LARGE_INTEGER li;
    if (!GetFileSizeEx(static_cast<HANDLE>(file), &li)) return false;
    *size = li.QuadPart;
    return true;
}

bool FileLastWriteTime(FileHandle file, int64_t* ticks) {
    if (ticks != nullptr) *ticks = 0;
    if (file == nullptr || ticks == nullptr) return false;
    FILETIME written;
    if (!GetFileTime(static_cast<HANDLE>(file), nullptr, nullptr, &written)) return false;
    *ticks = static_cast<int64_t>(uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime);
    return true;
}

void CloseFile(FileHandle file) {
    if (file == nullptr) return;
    CloseHandle(static_cast<HANDLE>(file));
}

bool MoveFileReplacing(const char16_t* from, const char16_t* to) {
    if (from == nullptr || to == nullptr || from[0] == 0 || to[0] == 0) return false;
    if (gFileMoveFault.Fires()) return false;
    SystemPath systemFrom;
    SystemPath systemTo;
    MakeSystemPath(from, &systemFrom);
    MakeSystemPath(to, &systemTo);
    return systemFrom.text != nullptr && systemTo.text != nullptr &&
           MoveFileExW(systemFrom.text, systemTo.text, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool DeleteFilePath(const char16_t* path) {
    SystemPath system;
    MakeSystemPath(path, &system);
    return system.text != nullptr && DeleteFileW(system.text) != 0;
}

bool ReadFileAttributes(const char16_t* path, bool* isFolder) {
    if (path == nullptr || path[0] == 0) return false;
    if (SimulatedFileAttributes(path, isFolder)) return true;
    SystemPath system;
    MakeSystemPath(path, &system);
    if (system.text == nullptr) return false;
    DWORD attributes = GetFileAttributesW(system.text);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (isFolder != nullptr) *isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

bool CreateFolder(const char16_t* path, uint32_t* error) {
    SystemPath system;
    MakeSystemPath(path, &system);
    if (system.text == nullptr) {
        SetError(error, UnusablePathError(path));
        return false;
    }
    if (CreateDirectoryW(system.text, nullptr)) return true;
    if (error != nullptr) *error = GetLastError();
    return false;
}

bool RemoveEmptyFolder(const char16_t* path) {
    SystemPath system;
    MakeSystemPath(path, &system);
    return system.text != nullptr && RemoveDirectoryW(system.text) != 0;
}

FileHandle LockFileExclusively(const char16_t* path, uint32_t* error) {
    if (path == nullptr || path[0] == 0) {
        SetError(error, ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    // No sharing at all: a second open, even to delete, meets ERROR_SHARING_VIOLATION. Delete on
    // close, so a run that is killed leaves no file that would refuse the next one.
    SystemPath system;
    MakeSystemPath(path, &system);
    if (system.text == nullptr) {
        SetError(error, UnusablePathError(path));
        return nullptr;
    }
    HANDLE h = CreateFileW(system.text, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    SetError(error, h == INVALID_HANDLE_VALUE ? static_cast<uint32_t>(GetLastError()) : 0);
    return FromWindows(h);
}

void ReleaseLockFile(FileHandle lock, const char16_t*) {
    if (lock != nullptr) CloseHandle(lock); // delete on close removes the file
}

bool ListFolder(const char16_t* folder, FolderEntryVisitor visit, void* context, uint32_t* error) {
    if (folder == nullptr || folder[0] == 0 || visit == nullptr) {
        SetError(error, ERROR_PATH_NOT_FOUND);
        return false;
    }
    const size_t length = TextLength(folder);
    if (length > 32000) {
        SetError(error, ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    // folder + "\\*" + terminator
    std::vector<char16_t> pattern(length + 3);
    for (size_t i = 0; i < length; ++i)
        pattern[i] = folder[i];
    size_t at = length;
    if (folder[length - 1] != u'\\' && folder[length - 1] != u'/') pattern[at++] = u'\\';
    pattern[at++] = u'*';
    pattern[at] = 0;
    SystemPath system;
    MakeSystemPath(pattern.data(), &system);
    if (system.text == nullptr) {
        SetError(error, ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(system.text, &data);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND) { // nothing in it (a drive's root has no "." entry)
            SetError(error, 0);
            return true;
        }
        SetError(error, static_cast<uint32_t>(e));
        return false;
    }
    bool stopped = false;
    do {
        const wchar_t* name = data.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
        const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isFolder && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
        FolderEntry found{reinterpret_cast<const char16_t*>(name), isFolder, true};
        // A name with an unpaired surrogate opens, but is no text to show or write.
        for (size_t i = 0; name[i] != 0; ++i) {
            const bool high = name[i] >= 0xD800 && name[i] <= 0xDBFF;
            const bool low = name[i] >= 0xDC00 && name[i] <= 0xDFFF;
            if (high && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
                ++i;
            } else if (high || low) {
                found.nameIsText = false;
                break;
            }
        }
        if (!visit(context, found)) {
            stopped = true;
            break;
        }
    } while (FindNextFileW(find, &data));
    const DWORD e = stopped ? ERROR_NO_MORE_FILES : GetLastError();
    FindClose(find);
    if (e != ERROR_NO_MORE_FILES) {
        SetError(error, static_cast<uint32_t>(e));
        return false;
    }
    SetError(error, 0);
    return true;
}

} // namespace olv
