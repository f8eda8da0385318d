// The folder a process works in (its current directory), for the rules' CurrentDirectory: read
// from the process itself while it lives, best right after it started, before it could change it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

// A folder path with its terminator, as long as a row's path may be.
constexpr size_t kProcessDirectoryChars = 1024;

enum ProcessDirectoryStatus : uint8_t {
    kDirectoryRead,         // path holds the folder
    kDirectoryProcessGone,  // no process of that id
    kDirectoryAccessDenied, // the process or its memory may not be read
    kDirectoryTooLong,      // the folder does not fit kProcessDirectoryChars
    kDirectoryReadFailed,   // any other failure (its memory changed under the read, say)
    kDirectoryNotAvailable, // no such read on this platform
};

struct ProcessDirectory {
    ProcessDirectoryStatus status;
    uint32_t error; // the system's error of the step that failed, else 0
    char16_t path[kProcessDirectoryChars]; // terminated; empty unless Read
};

// Reads the current directory of process processId as the process keeps it (a DOS path ending in
// a separator, "C:\Users\an\"). True when read; *out is always filled.
bool ReadProcessCurrentDirectory(uint32_t processId, ProcessDirectory* out);

const char* ProcessDirectoryStatusName(ProcessDirectoryStatus status);

} // namespace olv
