// olvetta-cli.exe: the console program on the real platform. The self-test's helper is this
// same executable, started with a hidden switch.
#include <winsock2.h>

#include <windows.h>

#include "cli/cli_console.h"
#include "cli/win32/selftest_helper.h"

using namespace olv;

int wmain(int, wchar_t**) {
    static CliPlatform platform;
    platform.programName = u"olvetta-cli";
    platform.runSelftestHelper = RunSelftestHelper;
    platform.runSelftestChild = RunSelftestChild;
    // Windows Sockets for the helper and for the trace's address texts.
    WSADATA wsa;
    const bool sockets = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    const int status = RunConsoleProgram(0, nullptr, &platform);
    if (sockets) WSACleanup();
    return status;
}
