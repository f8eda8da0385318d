// A program for the launcher's tests under the system. Started without arguments it starts a
// copy of itself with the argument "child" and then sleeps; the copy only sleeps. Both end by
// themselves after 30 seconds, so that nothing outlives a failed test for long. When the
// variable OLV_HELPER_EXIT_CODE is set, the program instead ends at once with that exit code.
// When OLV_HELPER_RUNNING_EVENT names an event, the copy sets it once its own code runs.
#include <windows.h>

#include <cwchar>

int main() {
    const wchar_t* commandLine = GetCommandLineW();
    const bool child = std::wcsstr(commandLine, L" child") != nullptr;
    if (child) {
        wchar_t name[128] = {};
        const DWORD length = GetEnvironmentVariableW(L"OLV_HELPER_RUNNING_EVENT", name, 128);
        if (length > 0 && length < 128) {
            if (HANDLE running = OpenEventW(EVENT_MODIFY_STATE, FALSE, name)) {
                SetEvent(running);
                CloseHandle(running);
            }
        }
    } else {
        wchar_t value[16] = {};
        const DWORD length = GetEnvironmentVariableW(L"OLV_HELPER_EXIT_CODE", value, 16);
        if (length > 0 && length < 16) return static_cast<int>(std::wcstoul(value, nullptr, 10));

        wchar_t self[MAX_PATH] = {};
        const DWORD selfLength = GetModuleFileNameW(nullptr, self, MAX_PATH);
        if (selfLength == 0 || selfLength >= MAX_PATH) return 2;
        wchar_t line[MAX_PATH + 16] = {};
        std::swprintf(line, MAX_PATH + 16, L"\"%ls\" child", self);
        STARTUPINFOW startup;
        ZeroMemory(&startup, sizeof startup);
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info;
        ZeroMemory(&info, sizeof info);
        if (!CreateProcessW(self, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info)) {
            return 3;
        }
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    Sleep(30000);
    return 0;
}
