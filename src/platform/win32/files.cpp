// Files on Windows: CreateFileW, WriteFile, FlushFileBuffers, MoveFileExW, DeleteFileW,
// GetFileSizeEx, ReadFile and GetFileAttributesW on the UTF-16 paths of the core.
#include "platform/files.h"

#include <windows.h>

#include <vector>

#include "base/text.h"
#include "platform/fault_countdown.h"

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

} // namespace

FileHandle CreateNewFile(const char16_t* path, uint32_t* error) {
    if (path == nullptr || path[0] == 0) {
        SetError(error, ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    HANDLE h = CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    SetError(error, h == INVALID_HANDLE_VALUE ? static_cast<uint32_t>(GetLastError()) : 0);
    return FromWindows(h);
}

FileHandle OpenFileForReading(const char16_t* path, uint32_t* error) {
    if (path == nullptr || path[0] == 0) {
        SetError(error, ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    HANDLE h = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
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

void CloseFile(FileHandle file) {
    if (file == nullptr) return;
    CloseHandle(static_cast<HANDLE>(file));
}

bool MoveFileReplacing(const char16_t* from, const char16_t* to) {
    if (from == nullptr || to == nullptr || from[0] == 0 || to[0] == 0) return false;
    if (gFileMoveFault.Fires()) return false;
    return MoveFileExW(Wide(from), Wide(to), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool DeleteFilePath(const char16_t* path) {
    if (path == nullptr || path[0] == 0) return false;
    return DeleteFileW(Wide(path)) != 0;
}

bool ReadFileAttributes(const char16_t* path, bool* isFolder) {
    if (path == nullptr || path[0] == 0) return false;
    if (SimulatedFileAttributes(path, isFolder)) return true;
    DWORD attributes = GetFileAttributesW(Wide(path));
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (isFolder != nullptr) *isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

bool CreateFolder(const char16_t* path, uint32_t* error) {
    if (path == nullptr || path[0] == 0) {
        if (error != nullptr) *error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (CreateDirectoryW(Wide(path), nullptr)) return true;
    if (error != nullptr) *error = GetLastError();
    return false;
}

bool RemoveEmptyFolder(const char16_t* path) {
    return path != nullptr && path[0] != 0 && RemoveDirectoryW(Wide(path)) != 0;
}

FileHandle LockFileExclusively(const char16_t* path, uint32_t* error) {
    if (path == nullptr || path[0] == 0) {
        SetError(error, ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    // No sharing at all: a second open, even to delete, meets ERROR_SHARING_VIOLATION. Delete on
    // close, so a run that is killed leaves no file that would refuse the next one.
    HANDLE h = CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
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
    std::vector<wchar_t> pattern(length + 3);
    for (size_t i = 0; i < length; ++i)
        pattern[i] = static_cast<wchar_t>(folder[i]);
    size_t at = length;
    if (folder[length - 1] != u'\\' && folder[length - 1] != u'/') pattern[at++] = L'\\';
    pattern[at++] = L'*';
    pattern[at] = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.data(), &data);
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
        if (!visit(context, reinterpret_cast<const char16_t*>(name), isFolder)) {
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
