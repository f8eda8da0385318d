// Files on POSIX systems: exclusive create, write, fsync, rename, unlink, stat and read, with the
// UTF-16 paths of the core converted to UTF-8.
#include "platform/files.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/text.h"
#include "platform/fault_countdown.h"

namespace olv {

namespace {

constexpr size_t kPathBytes = 4096;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr uint32_t kErrorGeneric = 31;

// The UTF-8 form of a path; false when it is missing, empty or does not fit.
bool NativePath(const char16_t* path, char (&out)[kPathBytes]) {
    out[0] = 0;
    if (path == nullptr || path[0] == 0) return false;
    size_t length = TextLength(path);
    size_t needed = Utf16ToUtf8(path, length, out, kPathBytes);
    return needed < kPathBytes;
}

uint32_t ErrorFromErrno(int e) {
    switch (e) {
    case EEXIST:
        return kErrorFileExists;
    case ENOENT:
        return kErrorFileNotFound;
    case ENOTDIR:
        return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return kErrorAccessDenied;
    case ENAMETOOLONG:
        return kErrorFilenameTooLong;
    default:
        return kErrorGeneric;
    }
}

void SetError(uint32_t* error, uint32_t value) {
    if (error != nullptr) *error = value;
}

// A handle holds the descriptor plus one, so that descriptor 0 is not mistaken for none.
FileHandle HandleFromFd(int fd) {
    return reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd) + 1);
}
int FdFromHandle(FileHandle file) {
    return static_cast<int>(reinterpret_cast<intptr_t>(file) - 1);
}

} // namespace

FileHandle CreateNewFile(const char16_t* path, uint32_t* error) {
    char native[kPathBytes];
    if (!NativePath(path, native)) {
        SetError(error,
                 path == nullptr || path[0] == 0 ? kErrorPathNotFound : kErrorFilenameTooLong);
        return nullptr;
    }
    int fd = open(native, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetError(error, ErrorFromErrno(errno));
        return nullptr;
    }
    SetError(error, 0);
    return HandleFromFd(fd);
}

FileHandle OpenFileForReading(const char16_t* path, uint32_t* error) {
    char native[kPathBytes];
    if (!NativePath(path, native)) {
        SetError(error,
                 path == nullptr || path[0] == 0 ? kErrorPathNotFound : kErrorFilenameTooLong);
        return nullptr;
    }
    // Non-blocking, so that a named pipe given as the path cannot hang the open until a writer
    // comes; only regular files are kept, and reads from them never block anyway.
    int fd = open(native, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        SetError(error, ErrorFromErrno(errno));
        return nullptr;
    }
    // A folder, pipe or device cannot be opened as a file.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        SetError(error, kErrorAccessDenied);
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    SetError(error, 0);
    return HandleFromFd(fd);
}

bool WriteFileBytes(FileHandle file, const void* data, uint32_t bytes, uint32_t* written) {
    if (written != nullptr) *written = 0;
    if (file == nullptr || (data == nullptr && bytes != 0)) return false;
    if (gFileWriteFault.Fires()) return false;
    int fd = FdFromHandle(file);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t done = 0;
    while (done < bytes) {
        ssize_t n = write(fd, p + done, bytes - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    if (written != nullptr) *written = done;
    return done == bytes;
}

bool ReadFileBytes(FileHandle file, void* data, uint32_t bytes, uint32_t* got) {
    if (got != nullptr) *got = 0;
    if (file == nullptr || (data == nullptr && bytes != 0)) return false;
    int fd = FdFromHandle(file);
    unsigned char* p = static_cast<unsigned char*>(data);
    uint32_t done = 0;
    while (done < bytes) {
        ssize_t n = read(fd, p + done, bytes - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (got != nullptr) *got = done;
            return false;
        }
        if (n == 0) break; // end of file: a short read, not a failure
        done += static_cast<uint32_t>(n);
    }
    if (got != nullptr) *got = done;
    return true;
}

bool FlushFile(FileHandle file) {
    if (file == nullptr) return false;
    if (gFileFlushFault.Fires()) return false;
    return fsync(FdFromHandle(file)) == 0;
}

bool FileSize(FileHandle file, int64_t* size) {
    if (size != nullptr) *size = 0;
    if (file == nullptr || size == nullptr) return false;
    struct stat st;
    if (fstat(FdFromHandle(file), &st) != 0) return false;
    *size = static_cast<int64_t>(st.st_size);
    return true;
}

void CloseFile(FileHandle file) {
    if (file == nullptr) return;
    close(FdFromHandle(file));
}

bool MoveFileReplacing(const char16_t* from, const char16_t* to) {
    char nativeFrom[kPathBytes];
    char nativeTo[kPathBytes];
    if (!NativePath(from, nativeFrom) || !NativePath(to, nativeTo)) return false;
    if (gFileMoveFault.Fires()) return false;
    return rename(nativeFrom, nativeTo) == 0;
}

bool DeleteFilePath(const char16_t* path) {
    char native[kPathBytes];
    if (!NativePath(path, native)) return false;
    return unlink(native) == 0;
}

bool ReadFileAttributes(const char16_t* path, bool* isFolder) {
    if (path == nullptr || path[0] == 0) return false;
    if (SimulatedFileAttributes(path, isFolder)) return true;
    char native[kPathBytes];
    if (!NativePath(path, native)) return false;
    struct stat st;
    if (stat(native, &st) != 0) return false;
    if (isFolder != nullptr) *isFolder = S_ISDIR(st.st_mode);
    return true;
}

bool CreateFolder(const char16_t* path, uint32_t* error) {
    char native[kPathBytes];
    if (!NativePath(path, native)) {
        SetError(error, kErrorPathNotFound);
        return false;
    }
    if (mkdir(native, 0777) == 0) return true;
    const int e = errno;
    SetError(error, e == EEXIST ? kErrorAlreadyExists : ErrorFromErrno(e));
    return false;
}

bool RemoveEmptyFolder(const char16_t* path) {
    char native[kPathBytes];
    return NativePath(path, native) && rmdir(native) == 0;
}

} // namespace olv
