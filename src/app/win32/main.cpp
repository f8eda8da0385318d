// Olvetta.exe: the entry. The program reads no command line, except the hidden switches with
// which "Check Recording on This Machine" starts it again as the check's helper.
#include <winsock2.h> // before windows.h

#include "app/win32/shell.h"

#include <shellapi.h>

#include "base/product.h"
#include "selftest/win32/selftest_helper.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv != nullptr && argc >= 2) {
        const auto* const* args = reinterpret_cast<const char16_t* const*>(argv);
        // The helper's children: the one that runs ends at once; the suspended one never runs,
        // and would end at once too.
        if (argc == 2 && (lstrcmpW(argv[1], olv::W(olv::kSelftestChildSwitch)) == 0 ||
                          lstrcmpW(argv[1], olv::W(olv::kSelftestTargetSwitch)) == 0)) {
            LocalFree(argv);
            return olv::RunSelftestChild(nullptr);
        }
        olv::SelftestPlan plan{};
        if (argc == 6 && lstrcmpW(argv[1], L"--selftest-helper") == 0) {
            const bool valid = olv::SelftestPlanFromArguments(args + 2, 4, &plan);
            LocalFree(argv);
            if (!valid) return 1 << 31; // not a plan: every action counts as not done
            WSADATA wsa{};
            const bool sockets = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
            const int code = olv::RunSelftestHelper(nullptr, &plan, -1);
            if (sockets) WSACleanup();
            return code;
        }
    }
    if (argv != nullptr) LocalFree(argv);
    const olv::ProgramOptions options{olv::W(olv::kProductName), L"Global\\OlvettaSingleInstance",
                                      nullptr, nullptr, true};
    return olv::RunProgram(instance, showCommand, options);
}
