// The current directory of a running process, read from its own memory: the process environment
// block names its parameters block, which holds the folder as a counted UTF-16 text. Every
// pointer read from the other process is checked before it is followed, and every length before
// anything is copied, so a process that rewrites its memory under the read fails cleanly.
#include <windows.h>

#include <cstring>

#include "platform/process_directory.h"

namespace olv {

namespace {

// The start of NtQueryInformationProcess's basic information (the part read here).
struct BasicInformation {
    LONG exitStatus;
    void* pebBase;
    ULONG_PTR affinityMask;
    LONG basePriority;
    ULONG_PTR processId;
    ULONG_PTR parentProcessId;
};
using QueryInformationFn = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

// Offsets of this program's own bitness: the environment block's pointer to the parameters, the
// parameters' flags and their current directory (a counted text: length and room in bytes, then
// the buffer's address).
constexpr size_t kPebParameters = sizeof(void*) == 8 ? 0x20 : 0x10;
constexpr size_t kParametersFlags = 0x08;
constexpr size_t kParametersDirectory = sizeof(void*) == 8 ? 0x38 : 0x24;
constexpr size_t kCountedBuffer = sizeof(void*) == 8 ? 8 : 4;
// Until the new process's loader has run, the parameters hold their texts' addresses as offsets
// from the block's start; the loader sets this flag when it turns them into addresses.
constexpr ULONG kParametersNormalized = 1;

ProcessDirectoryStatus StatusOfError(DWORD error) {
    switch (error) {
    case ERROR_INVALID_PARAMETER:
        return kDirectoryProcessGone; // OpenProcess of an id not in use
    case ERROR_ACCESS_DENIED:
        return kDirectoryAccessDenied;
    default:
        return kDirectoryReadFailed;
    }
}

// Exactly `bytes` bytes at `at` in the process, or false.
bool ReadExactly(HANDLE process, const void* at, void* out, size_t bytes) {
    SIZE_T read = 0;
    return ReadProcessMemory(process, at, out, bytes, &read) != 0 && read == bytes;
}

bool Fail(ProcessDirectory* out, ProcessDirectoryStatus status, DWORD error) {
    out->status = status;
    out->error = error;
    out->path[0] = 0;
    return false;
}

bool ReadFrom(HANDLE process, ProcessDirectory* out) {
    static const auto query = reinterpret_cast<QueryInformationFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    if (query == nullptr) return Fail(out, kDirectoryNotAvailable, 0);
    BasicInformation basic{};
    ULONG returned = 0;
    if (query(process, 0 /* basic information */, &basic, sizeof basic, &returned) < 0 ||
        basic.pebBase == nullptr) {
        return Fail(out, kDirectoryReadFailed, 0);
    }
    const auto* peb = static_cast<const unsigned char*>(basic.pebBase);
    const unsigned char* parameters = nullptr;
    if (!ReadExactly(process, peb + kPebParameters, &parameters, sizeof parameters) ||
        parameters == nullptr) {
        return Fail(out, kDirectoryReadFailed, GetLastError());
    }
    ULONG flags = 0;
    USHORT counted[2] = {}; // length, room
    const wchar_t* buffer = nullptr;
    if (!ReadExactly(process, parameters + kParametersFlags, &flags, sizeof flags) ||
        !ReadExactly(process, parameters + kParametersDirectory, counted, sizeof counted) ||
        !ReadExactly(process, parameters + kParametersDirectory + kCountedBuffer, &buffer,
                     sizeof buffer)) {
        return Fail(out, kDirectoryReadFailed, GetLastError());
    }
    const size_t length = counted[0];
    if (length % 2 != 0 || length > counted[1] || buffer == nullptr) {
        return Fail(out, kDirectoryReadFailed, 0);
    }
    if (length / 2 >= kProcessDirectoryChars) return Fail(out, kDirectoryTooLong, 0);
    const void* at = buffer;
    if ((flags & kParametersNormalized) == 0) {
        at = parameters + reinterpret_cast<ULONG_PTR>(buffer);
    }
    if (length > 0 && !ReadExactly(process, at, out->path, length)) {
        return Fail(out, kDirectoryReadFailed, GetLastError());
    }
    out->path[length / 2] = 0; // a NUL inside the counted text ends it there
    out->status = kDirectoryRead;
    out->error = 0;
    return true;
}

} // namespace

bool ReadProcessCurrentDirectory(uint32_t processId, ProcessDirectory* out) {
    if (out == nullptr) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr) {
        const DWORD error = GetLastError();
        return Fail(out, StatusOfError(error), error);
    }
    const bool read = ReadFrom(process, out);
    CloseHandle(process);
    return read;
}

} // namespace olv
