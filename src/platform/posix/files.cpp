// Files on POSIX systems: exclusive create, write, fsync, rename, unlink, stat and read, with the
// UTF-16 paths of the core converted to UTF-8.
#include "platform/files.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

// A file name's UTF-8 bytes as UTF-16 (bounded, terminated); a byte that does not start or
// continue a valid sequence becomes U+FFFD. False when one did or the name was cut.
bool NameToUtf16(const char* name, char16_t* out, size_t capacity) {
    bool whole = true;
    size_t n = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(name);
    while (*p != 0 && n + 2 < capacity) {
        uint32_t c = *p;
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        bool ok = extra >= 0;
        for (int i = 1; ok && i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (p[i] & 0x3F);
        }
        static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (!ok) {
            out[n++] = 0xFFFD;
            ++p;
            whole = false;
            continue;
        }
        p += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[n++] = static_cast<char16_t>(cp);
        }
    }
    out[n] = 0;
    return whole && *p == 0;
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
        // Creating, a missing name can only be a missing folder: the system's word for that.
        SetError(error, errno == ENOENT ? kErrorPathNotFound : ErrorFromErrno(errno));
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

bool FileLastWriteTime(FileHandle file, int64_t* ticks) {
    if (ticks != nullptr) *ticks = 0;
    if (file == nullptr || ticks == nullptr) return false;
    struct stat st;
    if (fstat(FdFromHandle(file), &st) != 0) return false;
    *ticks = static_cast<int64_t>(st.st_mtim.tv_sec) * 10000000 + st.st_mtim.tv_nsec / 100;
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

FileHandle LockFileExclusively(const char16_t* path, uint32_t* error) {
    char native[kPathBytes];
    if (!NativePath(path, native)) {
        SetError(error,
                 path == nullptr || path[0] == 0 ? kErrorPathNotFound : kErrorFilenameTooLong);
        return nullptr;
    }
    // A holder removes the file before it lets the lock go, so a lock taken on a file that has
    // since left its name is no claim: open the name again (a few times, each a fresh file).
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = open(native, O_CREAT | O_RDWR | O_CLOEXEC, 0644);
        if (fd < 0) {
            SetError(error, errno == ENOENT ? kErrorPathNotFound : ErrorFromErrno(errno));
            return nullptr;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            close(fd);
            SetError(error, e == EWOULDBLOCK ? kErrorSharingViolation : ErrorFromErrno(e));
            return nullptr;
        }
        struct stat held;
        struct stat named;
        if (fstat(fd, &held) == 0 && stat(native, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            SetError(error, 0);
            return HandleFromFd(fd);
        }
        close(fd);
    }
    SetError(error, kErrorSharingViolation);
    return nullptr;
}

void ReleaseLockFile(FileHandle lock, const char16_t* path) {
    if (lock == nullptr) return;
    char native[kPathBytes];
    if (NativePath(path, native)) unlink(native); // while held: nobody takes the name meanwhile
    close(FdFromHandle(lock));
}

bool ListFolder(const char16_t* folder, FolderEntryVisitor visit, void* context, uint32_t* error) {
    char native[kPathBytes];
    if (visit == nullptr || !NativePath(folder, native)) {
        SetError(error, kErrorPathNotFound);
        return false;
    }
    DIR* dir = opendir(native);
    if (dir == nullptr) {
        SetError(error, ErrorFromErrno(errno));
        return false;
    }
    const size_t base = std::strlen(native);
    char entryPath[kPathBytes];
    std::memcpy(entryPath, native, base);
    char16_t name[1024];
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (entry == nullptr) break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        const size_t nameBytes = std::strlen(entry->d_name);
        FolderEntry found{name, false, true};
        // A path too long to stat cannot be opened either: reported as a file, whose opening
        // fails, so a rule file of that name is counted as unreadable rather than passed over.
        if (base + 1 + nameBytes < kPathBytes) {
            entryPath[base] = '/';
            std::memcpy(entryPath + base + 1, entry->d_name, nameBytes + 1);
            struct stat st;
            if (lstat(entryPath, &st) != 0) continue; // gone since the listing
            found.isFolder = S_ISDIR(st.st_mode);
            if (S_ISLNK(st.st_mode)) {
                // A link to a file is the file; a link to a folder is left out (no loops); a link
                // to nothing is a file that cannot be opened.
                if (stat(entryPath, &st) == 0 && S_ISDIR(st.st_mode)) continue;
                found.isFolder = false;
            }
        }
        found.nameIsText = NameToUtf16(entry->d_name, name, sizeof name / sizeof name[0]);
        if (!visit(context, found)) break;
    }
    const int readError = errno;
    closedir(dir);
    if (readError != 0) {
        SetError(error, ErrorFromErrno(readError));
        return false;
    }
    SetError(error, 0);
    return true;
}

} // namespace olv
