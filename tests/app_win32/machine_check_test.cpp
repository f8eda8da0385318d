// Help > "Check Recording on This Machine" in the real window on the stand-ins: the menu item, the
// command, the table read back from its text window, and the path box given back.
#include <string>

#include "app/win32/shell.h" // windows.h first

#include "app/lifecycle.h"
#include "app/machine_check.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "demo/window_driver.h"
#include "doctest.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sim/sim_process.h"
#include "platform/sim/sim_trace_service.h"
#include "platform/ui.h"

using namespace olv;
using namespace olv::gui;

namespace {

// The table's count line with `missing` checks missing of all.
std::wstring Found(int missing) {
    return std::to_wstring(kSelftestCheckCount - missing) + L" of " +
           std::to_wstring(kSelftestCheckCount) + L" checks found";
}

constexpr wchar_t kHelper[] = L"C:\\Program Files\\Olvetta\\Olvetta.exe";

struct CheckWindow {
    Recording* app = AllocRecord<Recording>();
    HWND hwnd = nullptr;

    CheckWindow() {
        SimTraceReset();
        ResetSimProcesses();
        SimTraceGateEvents(u"NT Kernel Logger", 0); // the helper's rows never arrive here
        SetSimulatedFileAttributes(reinterpret_cast<const char16_t*>(kHelper), false);
        InitRecording(app);
        REQUIRE(CreateMainWindow(app, GetModuleHandleW(nullptr), SW_SHOWNORMAL, L"Olvetta"));
        hwnd = H(app->window->mainWindow);
        CopyBounded(app->window->programPath, 1024, reinterpret_cast<const char16_t*>(kHelper));
        CopyBounded(app->window->tempFolder, 260, u"C:\\Users\\analyst\\AppData\\Local\\Temp\\");
        SetWindowTextW(GetDlgItem(hwnd, kIdTargetEdit), L"C:\\Samples\\mine.exe");
        Pump();
    }
    ~CheckWindow() {
        if (HWND table = Table()) DestroyWindow(table);
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
        Pump();
        CleanUpRecording(app);
        FreeBlock(app);
        SetSimulatedFileAttributes(nullptr, false);
        SimTraceReset();
        ResetSimProcesses();
    }
    // The menu item's WM_COMMAND, as choosing it sends it.
    void Choose(int command) const { SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(command, 0), 0); }
    HWND Table() const { return FindWindowW(nullptr, L"Check Recording on This Machine"); }
    std::wstring TableText() const {
        HWND table = Table();
        return table != nullptr ? LongTextOf(GetWindow(table, GW_CHILD)) : std::wstring();
    }
};

} // namespace

TEST_CASE("the Help menu holds the check, and a trace that cannot start gives the table of why") {
    CheckWindow w;
    wchar_t item[80] = {};
    GetMenuStringW(GetMenu(w.hwnd), kCmdCheckRecording, item, 80, MF_BYCOMMAND);
    CHECK(std::wstring(item) == L"&Check Recording on This Machine");

    SimTraceSetAdmin(false);
    BoxSeen seen;
    REQUIRE(WithMessageBoxAnswered(IDOK, kWaitMs, &seen, [&] { w.Choose(kCmdCheckRecording); }));
    CHECK(seen.text.rfind(L"ETW: StartTrace failed", 0) == 0);
    REQUIRE(WaitFor("the table's window", kWaitMs, [&] { return w.Table() != nullptr; }));
    const std::wstring table = w.TableText();
    CHECK(table.rfind(L"The recording could not start, so no check was made: ETW: StartTrace "
                      L"failed",
                      0) == 0);
    CHECK(table.find(L"\r\n\r\n  MISSING  Child process started    not checked: the recording "
                     L"did not start\r\n") != std::wstring::npos);
    CHECK(table.find(L"\r\n\r\n" + Found(kSelftestCheckCount) + L"\r\n") != std::wstring::npos);
    CHECK(w.app->recording == 0);
    CHECK(TextOf(GetDlgItem(w.hwnd, kIdTargetEdit)) == L"C:\\Samples\\mine.exe");
    CHECK(PauseForScreenshot("machine-check-table"));
}

TEST_CASE("Stop during the check ends it with the table; a second check during it is refused") {
    CheckWindow w;
    w.Choose(kCmdCheckRecording);
    REQUIRE(w.app->recording != 0);
    CHECK(IsWindowEnabled(GetDlgItem(w.hwnd, kIdStopButton)) != FALSE);
    BoxSeen seen;
    REQUIRE(WithMessageBoxAnswered(IDOK, kWaitMs, &seen, [&] { w.Choose(kCmdCheckRecording); }));
    CHECK(seen.text.rfind(L"A recording is running.", 0) == 0);
    CHECK(w.Table() == nullptr);

    w.Choose(kCmdStop);
    REQUIRE(WaitFor("the table's window", kWaitMs, [&] { return w.Table() != nullptr; }));
    const std::wstring table = w.TableText();
    CHECK(table.find(L"  MISSING  DNS query") != std::wstring::npos);
    CHECK(table.find(Found(kSelftestCheckCount)) != std::wstring::npos);
    CHECK(w.app->window->machineCheck == nullptr);
}
