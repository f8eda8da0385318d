// Files: the few operations the exports, the session loader and Start need.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

using FileHandle = void*; // null: none (INVALID_HANDLE_VALUE is mapped to null)

constexpr uint32_t kErrorFileExists = 80;   // ERROR_FILE_EXISTS
constexpr uint32_t kErrorFileNotFound = 2;  // ERROR_FILE_NOT_FOUND

// CreateFileW(path, GENERIC_WRITE, no sharing, CREATE_NEW): fails with kErrorFileExists when the
// file is there. *error gets the system error on failure (when error is not null).
FileHandle CreateNewFile(const char16_t* path, uint32_t* error);
// CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING).
FileHandle OpenFileForReading(const char16_t* path, uint32_t* error);
// WriteFile: true when all bytes were written; *written gets the count written.
bool WriteFileBytes(FileHandle file, const void* data, uint32_t bytes, uint32_t* written);
// ReadFile: true when the call succeeded; *read gets the count read (short at the end).
bool ReadFileBytes(FileHandle file, void* data, uint32_t bytes, uint32_t* read);
bool FlushFile(FileHandle file);
bool FileSize(FileHandle file, int64_t* size);
// The file's last-write time (GetFileTime; POSIX: the modification time), in 100 ns ticks of
// the system's own epoch: only compared with itself, to tell a file's versions apart.
bool FileLastWriteTime(FileHandle file, int64_t* ticks);
void CloseFile(FileHandle file); // safe with null
// MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING).
bool MoveFileReplacing(const char16_t* from, const char16_t* to);
bool DeleteFilePath(const char16_t* path);
// GetFileAttributesW: false when the attributes cannot be read.
bool ReadFileAttributes(const char16_t* path, bool* isFolder);

// The separator of the system's paths ('\\' on Windows, '/' elsewhere).
#ifdef _WIN32
constexpr char16_t kPathSeparator = u'\\';
#else
constexpr char16_t kPathSeparator = u'/';
#endif

// One entry of a folder listing.
struct FolderEntry {
    const char16_t* name; // terminated
    bool isFolder;
    // False when the system's name is not valid text: bytes that are not UTF-8 or a name too long
    // to convert whole on POSIX (name then holds U+FFFD in their place and cannot open the
    // entry), an unpaired surrogate on Windows (name holds it as it is).
    bool nameIsText;
};
// Called once per entry; returning false ends the listing early.
using FolderEntryVisitor = bool (*)(void* context, const FolderEntry& entry);
// Lists folder (FindFirstFileW/FindNextFileW on Windows): every entry but "." and "..", in the
// system's order. A link to a folder (a folder reparse point on Windows) is not reported, so a
// walk down the listings cannot loop; a link to nothing is reported as a file (opening it fails).
// False (and *error set) when the folder cannot be read; an early stop by the visitor is not a
// failure.
bool ListFolder(const char16_t* folder, FolderEntryVisitor visit, void* context, uint32_t* error);

// Test hooks: the nth write, flush or move from now (1 = the next) fails; 0 switches it off.
void FailNthFileWrite(int64_t nth);
void FailNthFileFlush(int64_t nth);
void FailNthFileMove(int64_t nth);
void ResetFileFaults();
// A write, flush or move armed above has not come yet.
bool FileFaultPending();
// Stand-in answer for ReadFileAttributes of one path (the examined program of a replayed
// scenario, which exists only on the machine it was recorded on). Null clears it.
void SetSimulatedFileAttributes(const char16_t* path, bool isFolder);

// CreateDirectoryW(path, default security): one new folder, whose parent must exist. Fails with
// kErrorAlreadyExists when anything of that name is there; *error gets the system error on
// failure (when error is not null).
constexpr uint32_t kErrorAlreadyExists = 183; // ERROR_ALREADY_EXISTS
bool CreateFolder(const char16_t* path, uint32_t* error);
// RemoveDirectoryW: removes an empty folder; false when it is not there or not empty.
bool RemoveEmptyFolder(const char16_t* path);

// A lock file: a run's claim on a folder. LockFileExclusively opens path (made when missing) for
// this process alone: while it is held, another LockFileExclusively of the same path, from this
// process or another, fails with kErrorSharingViolation. ReleaseLockFile removes the file and lets
// it go. A holder that ends without releasing it leaves no claim behind: on Windows the file is
// opened delete-on-close with no sharing, so the system removes it; elsewhere the advisory lock
// goes with the process and a later run takes the file that was left.
constexpr uint32_t kErrorSharingViolation = 32; // ERROR_SHARING_VIOLATION
FileHandle LockFileExclusively(const char16_t* path, uint32_t* error);
void ReleaseLockFile(FileHandle lock, const char16_t* path); // safe with null

} // namespace olv
