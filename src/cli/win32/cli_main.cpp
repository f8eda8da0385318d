// olvetta-cli.exe: the console program on the real platform. The self-test's helper is this
// same executable, started with a hidden switch.
#include <winsock2.h>

#include <windows.h>

#include "cli/cli_console.h"
#include "cli/win32/selftest_helper.h"

using namespace olv;

namespace {

// Whether the process holds administrator rights: an elevated token, or (with User Account
// Control off, where tokens carry no elevation mark) the Administrators group enabled in it.
// When neither can be read the start is let through, and the trace reports what it meets.
bool HasAdministratorRights(void*) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const BOOL read =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    if (read && elevation.TokenIsElevated != 0) return true;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    BOOL member = FALSE;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sidSize) ||
        !CheckTokenMembership(nullptr, sid, &member)) {
        return !read;
    }
    return member != FALSE;
}

} // namespace

int wmain(int, wchar_t**) {
    static CliPlatform platform;
    platform.programName = u"olvetta-cli";
    platform.runSelftestHelper = RunSelftestHelper;
    platform.runSelftestChild = RunSelftestChild;
    platform.hasRecordingRights = HasAdministratorRights;
    // Windows Sockets for the helper and for the trace's address texts.
    WSADATA wsa;
    const bool sockets = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    const int status = RunConsoleProgram(0, nullptr, &platform);
    if (sockets) WSACleanup();
    return status;
}
