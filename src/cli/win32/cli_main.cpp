// olvetta-cli.exe: the console program on the real platform. The self-test's helper is this
// same executable, started with a hidden switch.
#include <winsock2.h>

#include <windows.h>

#include "cli/cli_console.h"
#include "selftest/win32/selftest_helper.h"

using namespace olv;

namespace {

// Whether the process holds administrator rights: an elevated token with the Administrators
// group enabled. A filtered token (an administrator's without elevation) and a standard user's
// have neither; a token with the group denied or without the elevation mark is refused too.
// What cannot be read does not refuse: the trace then reports what it meets.
bool HasAdministratorRights(void*) {
    bool rights = true;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        TOKEN_ELEVATION elevation{};
        DWORD size = 0;
        if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
            rights = elevation.TokenIsElevated != 0;
        CloseHandle(token);
    }
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    BOOL member = FALSE;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sidSize) &&
        CheckTokenMembership(nullptr, sid, &member)) {
        rights = rights && member != FALSE;
    }
    return rights;
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
