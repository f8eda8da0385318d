// Olvetta.exe itself, started as a user starts it and driven from outside through window
// messages: its window, the single-instance check, and a Start that fails at the kernel trace
// (Wine has no event tracing), ending idle with nothing recorded.
#include <string>

#include "app/window_layout.h"
#include "doctest.h"
#include "platform/ui.h"
#include "support/win32_gui.h"

using namespace olv;
using namespace olv::gui;

namespace {

constexpr DWORD kWaitMs = 20000;

std::wstring BesideTest(const wchar_t* name) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

// A started copy of Olvetta.exe, ended at the latest when the test ends.
struct Program {
    PROCESS_INFORMATION pi{};
    bool started = false;

    Program() {
        std::wstring commandLine = L"\"" + BesideTest(L"Olvetta.exe") + L"\"";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &si, &pi) != FALSE;
        if (!started) std::printf("CreateProcessW failed: %lu\n", GetLastError());
    }
    ~Program() {
        if (!started) return;
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, kWaitMs);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    bool Exited(DWORD ms, DWORD* code) const {
        if (WaitForSingleObject(pi.hProcess, ms) != WAIT_OBJECT_0) {
            std::printf("gave up after %lu ms waiting for Olvetta.exe to exit\n",
                        static_cast<unsigned long>(ms));
            return false;
        }
        GetExitCodeProcess(pi.hProcess, code);
        return true;
    }
    HWND Window() const { return FindTopWindow(pi.dwProcessId, L"OlvettaWindow"); }
};

} // namespace

TEST_CASE("Olvetta.exe: one window, a second copy refused, Start failing at the trace") {
    Program first;
    REQUIRE(first.started);
    HWND window = nullptr;
    REQUIRE(WaitFor("the main window of Olvetta.exe", kWaitMs,
                    [&] { return (window = first.Window()) != nullptr; }));
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    CHECK(std::wstring(title) == L"Olvetta");
    HWND start = GetDlgItem(window, kIdStartButton);
    HWND stop = GetDlgItem(window, kIdStopButton);
    REQUIRE((start != nullptr && stop != nullptr));
    CHECK(TextOf(GetDlgItem(window, kIdStatusBar)) == L" Stopped | Total: 0 | Shown: 0");

    SUBCASE("a second copy warns and exits with 0 without a window") {
        Program second;
        REQUIRE(second.started);
        HWND box = WaitForMessageBox(second.pi.dwProcessId, kWaitMs);
        REQUIRE(box != nullptr);
        CHECK(second.Window() == nullptr);
        CHECK(PauseForScreenshot("second-copy-refused"));
        BoxSeen seen;
        ReadAndAnswer(box, IDOK, &seen);
        CHECK(seen.caption == L"Olvetta");
        CHECK(seen.text ==
              L"Olvetta is already running on this computer.\n\nWindows has only one kernel trace "
              L"session, so a second copy would take it from the first and leave that one "
              L"recording nothing.");
        CHECK_FALSE(seen.hadOwner);
        DWORD code = 1;
        REQUIRE(second.Exited(kWaitMs, &code));
        CHECK(code == 0);
        CHECK(first.Window() == window); // the first copy runs on
    }

    SUBCASE("Start Monitoring fails at the kernel trace and leaves the window idle") {
        const std::wstring target = BesideTest(L"olv_test_program_win32.exe");
        SendMessageW(GetDlgItem(window, kIdTargetEdit), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(target.c_str()));
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(kIdStartButton, BN_CLICKED),
                     reinterpret_cast<LPARAM>(start));
        HWND box = WaitForMessageBox(first.pi.dwProcessId, kWaitMs);
        REQUIRE(box != nullptr);
        CHECK(PauseForScreenshot("start-refused-by-the-trace"));
        BoxSeen seen;
        ReadAndAnswer(box, IDOK, &seen);
        CHECK(seen.caption == L"Olvetta");
        CHECK(seen.hadOwner);
        INFO("message: ", std::string(seen.text.begin(), seen.text.end()));
        CHECK(seen.text.rfind(L"ETW: ", 0) == 0);
        REQUIRE(WaitFor("the Start button to be enabled again", kWaitMs,
                        [&] { return IsWindowEnabled(start) && !IsWindowEnabled(stop); }));
        CHECK(IsWindowEnabled(GetDlgItem(window, kIdTargetEdit)));
        CHECK(SendMessageW(GetDlgItem(window, kIdEventList), LVM_GETITEMCOUNT, 0, 0) == 0);
        CHECK(TextOf(GetDlgItem(window, kIdStatusBar)) == L" Stopped | Total: 0 | Shown: 0");
        CHECK(TextOf(GetDlgItem(window, kIdTargetEdit)) == target);
    }

    // Closing the window ends the program with 0.
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD code = 1;
    REQUIRE(first.Exited(kWaitMs, &code));
    CHECK(code == 0);
}
