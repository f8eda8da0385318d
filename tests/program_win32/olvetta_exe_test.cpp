// Olvetta.exe itself, started as a user starts it and driven from outside through window
// messages: its window, the single-instance check, and a Start that fails at the kernel trace
// (Wine has no event tracing), ending idle with nothing recorded.
#include <string>

#include "app/window_layout.h"
#include "demo/window_driver.h"
#include "doctest.h"
#include "platform/ui.h"
#include "selftest/selftest.h"

using namespace olv;
using namespace olv::gui;

namespace {

// A started copy of Olvetta.exe.
struct Program : Process {
    Program() : Process(L"\"" + BesideThisProgram(L"Olvetta.exe") + L"\"") {}
    HWND Window() const { return FindTopWindow(Id(), L"OlvettaWindow"); }
};

} // namespace

TEST_CASE("Olvetta.exe carries its version 1.1.0.0 and a manifest asking for what it needs") {
    const std::wstring exe = BesideThisProgram(L"Olvetta.exe");
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    REQUIRE(size > 0);
    std::string block(size, '\0');
    REQUIRE(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    REQUIRE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    CHECK(fixed->dwFileVersionMS == 0x00010001u);
    CHECK(fixed->dwFileVersionLS == 0u);
    CHECK(fixed->dwProductVersionMS == 0x00010001u);
    wchar_t* name = nullptr;
    REQUIRE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\ProductName",
                           reinterpret_cast<void**>(&name), &length));
    CHECK(std::wstring(name) == L"Olvetta");

    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    REQUIRE(module != nullptr);
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    REQUIRE(resource != nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    const std::string manifest(bytes, SizeofResource(module, resource));
    FreeLibrary(module);
    for (const char* part : {"level=\"requireAdministrator\" uiAccess=\"false\"",
                             "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm<",
                             ">PerMonitorV2, PerMonitor</dpiAwareness>",
                             ">true</longPathAware>",
                             "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", // 7
                             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", // 8
                             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", // 8.1
                             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) { // 10 and 11
        CAPTURE(part);
        CHECK(manifest.find(part) != std::string::npos);
    }
}

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

    SUBCASE("the focus starts in the path box, and keys go through the program's message loop") {
        const DWORD thread = GetWindowThreadProcessId(window, nullptr);
        auto focus = [&] {
            GUITHREADINFO info{};
            info.cbSize = sizeof info;
            return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
        };
        CHECK(WaitFor("the focus in the path box", kWaitMs,
                      [&] { return focus() == GetDlgItem(window, kIdTargetEdit); }));
        // Enter in the path box starts: with no path, Start says what is missing.
        PostMessageW(focus(), WM_KEYDOWN, VK_RETURN, 1);
        HWND box = WaitForMessageBox(first.Id(), kWaitMs);
        REQUIRE(box != nullptr);
        BoxSeen seen;
        ReadAndAnswer(box, IDOK, &seen);
        CHECK(seen.text == L"Choose the EXE file to run first.");
        // The focus comes back to the path box; Tab, through the navigation of the program's
        // loop, moves on to "Browse...".
        CHECK(WaitFor("the focus back in the path box", kWaitMs,
                      [&] { return focus() == GetDlgItem(window, kIdTargetEdit); }));
        PostMessageW(focus(), WM_KEYDOWN, VK_TAB, 1);
        PostMessageW(focus(), WM_KEYUP, VK_TAB, static_cast<LPARAM>(0xC0000001));
        CHECK(WaitFor("the focus on Browse...", kWaitMs,
                      [&] { return focus() == GetDlgItem(window, kIdBrowseButton); }));
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(kCmdFocusFilter, 0), 0);
        CHECK(WaitFor("the focus in the filter box (Ctrl+L's command)", kWaitMs,
                      [&] { return focus() == GetDlgItem(window, kIdFilterEdit); }));
    }

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

TEST_CASE("Olvetta.exe is its own machine check's helper: every action done, nothing left behind") {
    wchar_t temp[MAX_PATH + 1] = {};
    REQUIRE(GetTempPathW(MAX_PATH + 1, temp) > 0);
    const std::wstring tag = L"olvetta-selftest-exe-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring folder = std::wstring(temp) + tag;
    Process helper(L"\"" + BesideThisProgram(L"Olvetta.exe") + L"\" --selftest-helper " + tag +
                   L" \"" + folder + L"\" 51300 51316");
    DWORD code = 99;
    REQUIRE(helper.Exited("the helper (Olvetta.exe --selftest-helper)", &code));
    // No bit of a failed action but the stream's (Wine's file system has no streams, which the
    // helper sees), none of a failed clean-up.
    CHECK(code == 1u << olv::kActStream);
    // The suspended child, were it ever let run, ends at once instead of opening a window.
    Process target(L"\"" + BesideThisProgram(L"Olvetta.exe") + L"\" --selftest-target");
    DWORD ended = 99;
    REQUIRE(target.Exited("Olvetta.exe --selftest-target", &ended));
    CHECK(ended == 0);
    CHECK(GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES);
    HKEY key = nullptr;
    CHECK(RegOpenKeyExW(HKEY_CURRENT_USER, (L"Software\\" + tag).c_str(), 0, KEY_READ, &key) ==
          ERROR_FILE_NOT_FOUND);
    if (key != nullptr) RegCloseKey(key);
}
