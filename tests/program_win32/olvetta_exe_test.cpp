// Olvetta.exe itself, started as a user starts it and driven from outside through window
// messages: its window, the single-instance check, and a Start that fails at the kernel trace
// (Wine has no event tracing), ending idle with nothing recorded.
#include <string>

#include "app/window_layout.h"
#include "doctest.h"
#include "platform/ui.h"
#include "demo/window_driver.h"

using namespace olv;
using namespace olv::gui;

namespace {

// A started copy of Olvetta.exe.
struct Program : Process {
    Program() : Process(L"\"" + BesideThisProgram(L"Olvetta.exe") + L"\"") {}
    HWND Window() const { return FindTopWindow(Id(), L"OlvettaWindow"); }
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
        HWND box = WaitForMessageBox(second.Id(), kWaitMs);
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
        REQUIRE(second.Exited("the second copy", &code));
        CHECK(code == 0);
        CHECK(first.Window() == window); // the first copy runs on
    }

    SUBCASE("Start Monitoring fails at the kernel trace and leaves the window idle") {
        const std::wstring target = BesideThisProgram(L"olv_test_program_win32.exe");
        SendMessageW(GetDlgItem(window, kIdTargetEdit), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(target.c_str()));
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(kIdStartButton, BN_CLICKED),
                     reinterpret_cast<LPARAM>(start));
        HWND box = WaitForMessageBox(first.Id(), kWaitMs);
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
    REQUIRE(first.Exited("Olvetta.exe", &code));
    CHECK(code == 0);
}
