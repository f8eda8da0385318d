// The launched program from the system: processes, job objects, events and waits.
#include <windows.h>

#include "base/format.h"
#include "base/text.h"
#include "platform/process.h"

namespace olv {

static_assert(sizeof(wchar_t) == 2, "UTF-16 text is passed to the system as wchar_t");
static_assert(sizeof(STARTUPINFOW) == 104, "the 64-bit startup information");
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144, "the 64-bit limit block");
static_assert(kStillActive == STILL_ACTIVE);

bool CreateSuspendedProcess(const char16_t* applicationName, char16_t* commandLine,
                            const char16_t* workingFolder, uint32_t launchFlags, ProcessInfo* out,
                            uint32_t* error) {
    if (error != nullptr) *error = 0;
    if (out == nullptr) {
        if (error != nullptr) *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    *out = ProcessInfo{};
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof info);
    DWORD flags = CREATE_SUSPENDED;
    if ((launchFlags & kLaunchOwnConsole) != 0) flags |= CREATE_NEW_CONSOLE;
    if (!CreateProcessW(reinterpret_cast<const wchar_t*>(applicationName),
                        reinterpret_cast<wchar_t*>(commandLine), nullptr, nullptr, FALSE, flags,
                        nullptr, reinterpret_cast<const wchar_t*>(workingFolder), &startup,
                        &info)) {
        if (error != nullptr) *error = GetLastError();
        return false;
    }
    out->process = info.hProcess;
    out->thread = info.hThread;
    out->processId = info.dwProcessId;
    out->threadId = info.dwThreadId;
    return true;
}

void* CreateJob() {
    return CreateJobObjectW(nullptr, nullptr);
}

bool LimitJobKillOnClose(void* job) {
    if (job == nullptr) return false;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    return SetInformationJobObject(static_cast<HANDLE>(job), JobObjectExtendedLimitInformation,
                                   &limits, sizeof limits) != FALSE;
}

bool AssignToJob(void* job, void* process) {
    if (job == nullptr || process == nullptr) return false;
    return AssignProcessToJobObject(static_cast<HANDLE>(job), static_cast<HANDLE>(process)) !=
           FALSE;
}

uint32_t ResumeMainThread(void* thread) {
    if (thread == nullptr) return kResumeFailed;
    return ResumeThread(static_cast<HANDLE>(thread));
}

bool EndJob(void* job, uint32_t exitCode) {
    if (job == nullptr) return false;
    return TerminateJobObject(static_cast<HANDLE>(job), exitCode) != FALSE;
}

bool EndProcess(void* process, uint32_t exitCode) {
    if (process == nullptr) return false;
    return TerminateProcess(static_cast<HANDLE>(process), exitCode) != FALSE;
}

bool ReadExitCode(void* process, uint32_t* exitCode) {
    if (exitCode == nullptr) return false;
    *exitCode = 0;
    if (process == nullptr) return false;
    DWORD code = 0;
    if (!GetExitCodeProcess(static_cast<HANDLE>(process), &code)) return false;
    *exitCode = code;
    return true;
}

void* CreateManualEvent() {
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

bool SetManualEvent(void* event) {
    if (event == nullptr) return false;
    return SetEvent(static_cast<HANDLE>(event)) != FALSE;
}

WaitOutcome WaitProcessOrEvent(void* process, void* event) {
    if (process == nullptr) return kWaitFailed;
    if (event == nullptr) {
        return WaitForSingleObject(static_cast<HANDLE>(process), INFINITE) == WAIT_OBJECT_0
                   ? kWaitProcessEnded
                   : kWaitFailed;
    }
    // With both signalled the wait names the first of the list: the process.
    HANDLE handles[2] = {static_cast<HANDLE>(process), static_cast<HANDLE>(event)};
    switch (WaitForMultipleObjects(2, handles, FALSE, INFINITE)) {
    case WAIT_OBJECT_0:
        return kWaitProcessEnded;
    case WAIT_OBJECT_0 + 1:
        return kWaitEventSet;
    default:
        return kWaitFailed;
    }
}

void CloseSystemHandle(void* handle) {
    if (handle != nullptr) CloseHandle(static_cast<HANDLE>(handle));
}

void SystemErrorText(uint32_t error, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    if (capacity > kSystemErrorTextChars) capacity = kSystemErrorTextChars;
    out[0] = 0;
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(out),
                       static_cast<DWORD>(capacity), nullptr);
    if (length >= capacity) length = static_cast<DWORD>(capacity - 1);
    out[length] = 0;
    // The system's texts end with a line break, which a message would show as an empty line.
    while (length > 0 &&
           (out[length - 1] == u'\r' || out[length - 1] == u'\n' || out[length - 1] == u' ')) {
        out[--length] = 0;
    }
    // No text, or none that fits: the number at least.
    if (length == 0) FormatText(out, capacity, u"Error %lu", error);
}

} // namespace olv
