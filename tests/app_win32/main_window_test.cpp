// The real main window on the stand-ins of trace, launcher and drives: made, sized, dropped on,
// recorded with and stopped through window messages, and read back through Win32.
#include "app/window_commands.h"
#include "platform/time.h"
#include <algorithm>
#include <string>

#include "app/win32/shell.h" // windows.h first

#include <shlobj.h> // DROPFILES

#include "app/lifecycle.h"
#include "app/view_changes.h"
#include "app/window_layout.h"
#include "doctest.h"
#include "support/sim_main_window.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sim/sim_event.h"
#include "platform/sim/sim_process.h"
#include "platform/sim/sim_trace_service.h"
#include "platform/ui.h"
#include "decode/decode.h"
#include "demo/window_driver.h"
#include "views/row_store.h"
#include "views/view_texts.h"

using namespace olv;
using namespace olv::gui;

namespace {

constexpr wchar_t kPath[] = L"C:\\Samples\\dropper.exe";
constexpr uint32_t kPid = 4242;
constexpr uint32_t kLoads = 5;

// DLL loads of the examined program, delivered once Start has let them through.
bool ProduceLoads(void*, uint32_t index, SimEvent* e, bool*) {
    if (index >= kLoads) return false;
    BeginSimEvent(e, kImageProvider, 10, 0, kPid, 7, NowTicks() + index); // after the launch
    AddSimU32(e, u"ProcessId", kPid);
    AddSimWideString(e, u"FileName", index % 2 == 0 ? u"C:\\Windows\\System32\\kernel32.dll"
                                                    : u"C:\\Windows\\System32\\user32.dll");
    return true;
}

struct TestWindow : SimMainWindow {
    int dpi = WindowDpi(hwnd);

    TestWindow() : SimMainWindow(ProduceLoads, kPath, kPid) {}
    HWND Control(int id) const { return GetDlgItem(hwnd, id); }
    void Command(int id, int code = BN_CLICKED) const {
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(Control(id)));
    }
    std::wstring Status() const {
        ApplyWindowViewChanges(app);
        return TextOf(Control(kIdStatusBar));
    }
    int Items() const {
        ApplyWindowViewChanges(app); // as the window draws after each operation
        return static_cast<int>(SendMessageW(Control(kIdEventList), LVM_GETITEMCOUNT, 0, 0));
    }
    std::wstring Cell(int item, int column) const {
        wchar_t text[1536] = {};
        LVITEMW request{};
        request.iSubItem = column;
        request.pszText = text;
        request.cchTextMax = 1536;
        SendMessageW(Control(kIdEventList), LVM_GETITEMTEXTW, static_cast<WPARAM>(item),
                     reinterpret_cast<LPARAM>(&request));
        return text;
    }
    RECT Place(int id) const {
        RECT r{};
        GetWindowRect(Control(id), &r);
        MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }
    bool Enabled(int id) const { return IsWindowEnabled(Control(id)) != FALSE; }
    bool Idle() const {
        return Enabled(kIdStartButton) && !Enabled(kIdStopButton) && Enabled(kIdTargetEdit) &&
               Enabled(kIdBrowseButton) && app->recording == 0 && app->trace == nullptr &&
               app->launcher == nullptr && app->queueBytes == nullptr;
    }
    bool Start() {
        SetWindowTextW(Control(kIdTargetEdit), kPath);
        Command(kIdStartButton);
        SimTraceGateEvents(u"NT Kernel Logger", kSimNoGate);
        return app->recording != 0;
    }
    // The background colour the list's custom draw gives item (the list's own when unset).
    COLORREF ItemColour(int item) const {
        NMLVCUSTOMDRAW draw{};
        draw.nmcd.hdr.hwndFrom = Control(kIdEventList);
        draw.nmcd.hdr.idFrom = kIdEventList;
        draw.nmcd.hdr.code = NM_CUSTOMDRAW;
        draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
        draw.nmcd.dwItemSpec = static_cast<DWORD_PTR>(item);
        draw.clrTextBk = CLR_DEFAULT;
        const LRESULT result =
            SendMessageW(hwnd, WM_NOTIFY, kIdEventList, reinterpret_cast<LPARAM>(&draw));
        CHECK(result == CDRF_NEWFONT);
        return draw.clrTextBk;
    }
};

bool Same(const RECT& r, const ControlRect& c) {
    return r.left == c.x && r.top == c.y && r.right - r.left == c.width &&
           r.bottom - r.top == c.height;
}

// A drop of one file, as the shell builds it: DROPFILES, then the wide name and two NULs. The
// window finishes (frees) it.
HDROP MakeDrop(const std::wstring& name) {
    const SIZE_T bytes = sizeof(DROPFILES) + (name.size() + 2) * sizeof(wchar_t);
    HGLOBAL block = GlobalAlloc(GHND, bytes);
    DROPFILES* drop = static_cast<DROPFILES*>(GlobalLock(block));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    std::memcpy(reinterpret_cast<char*>(drop) + sizeof(DROPFILES), name.c_str(),
                name.size() * sizeof(wchar_t));
    GlobalUnlock(block);
    return static_cast<HDROP>(block);
}

} // namespace

TEST_CASE("the main window is made with its fifteen controls, menu, columns and status text") {
    TestWindow w;
    wchar_t title[64] = {};
    GetWindowTextW(w.hwnd, title, 64);
    CHECK(std::wstring(title) == L"Olvetta");
    CHECK((GetWindowLongW(w.hwnd, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) != 0);
    CHECK((GetWindowLongW(w.hwnd, GWL_STYLE) & (WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN)) ==
          (WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN));

    // Creation order is z-order: the first child is the path box, the last the status bar.
    HWND child = GetWindow(w.hwnd, GW_CHILD);
    for (const ControlSpec& spec : kMainControls) {
        CAPTURE(spec.id);
        HWND control = H(w.app->window->*spec.field);
        REQUIRE(control != nullptr);
        CHECK(child == control);
        child = GetWindow(child, GW_HWNDNEXT);
        CHECK(GetDlgCtrlID(control) == spec.id);
        CHECK(lstrcmpiW(ClassOf(control).c_str(), W(spec.className)) == 0);
        const DWORD style = static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE));
        const DWORD exStyle = static_cast<DWORD>(GetWindowLongW(control, GWL_EXSTYLE));
        // Two styles move as the controls are made: an edit takes WS_BORDER off its window
        // and draws the border itself, and a drop-down list hands WS_VSCROLL to its list.
        DWORD kept = spec.style;
        if (spec.id == kIdTargetEdit || spec.id == kIdFilterEdit) kept &= ~static_cast<DWORD>(WS_BORDER);
        if (spec.id == kIdOperationCombo) kept &= ~static_cast<DWORD>(WS_VSCROLL);
        CHECK((style & kept) == kept);
        CHECK((exStyle & spec.exStyle) == spec.exStyle);
        CHECK(IsWindowEnabled(control) == (spec.id != kIdStopButton));
        CHECK(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)) ==
              w.app->window->uiFont);
        if (spec.id != kIdOperationCombo && spec.id != kIdStatusBar)
            CHECK(TextOf(control) == W(spec.text));
        if (spec.cueBanner != nullptr) {
            wchar_t cue[128] = {};
            SendMessageW(control, EM_GETCUEBANNER, reinterpret_cast<WPARAM>(cue), 128);
            CHECK(std::wstring(cue) == W(spec.cueBanner));
        }
    }
    for (int id : {kIdFileCheck, kIdRegistryCheck, kIdNetworkCheck, kIdProcessCheck})
        CHECK(SendMessageW(w.Control(id), BM_GETCHECK, 0, 0) == BST_CHECKED);
    CHECK(SendMessageW(w.Control(kIdSuspiciousCheck), BM_GETCHECK, 0, 0) == BST_UNCHECKED);
    HWND combo = w.Control(kIdOperationCombo);
    CHECK(SendMessageW(combo, CB_GETCOUNT, 0, 0) == 1);
    CHECK(SendMessageW(combo, CB_GETCURSEL, 0, 0) == 0);
    CHECK(TextOf(combo) == L"All operations");

    HWND list = w.Control(kIdEventList);
    const DWORD extended = static_cast<DWORD>(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
    CHECK((extended & (LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER)) ==
          (LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER));
    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    CHECK(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0) == kListColumnCount);
    for (int i = 0; i < kListColumnCount; ++i) {
        CAPTURE(i);
        wchar_t heading[64] = {};
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_FMT;
        column.pszText = heading;
        column.cchTextMax = 64;
        SendMessageW(list, LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
        CHECK(std::wstring(heading) == W(kListColumns[i].heading));
        CHECK((column.fmt & LVCFMT_JUSTIFYMASK) == LVCFMT_LEFT);
        if (i != kPathColumn)
            CHECK(SendMessageW(list, LVM_GETCOLUMNWIDTH, i, 0) ==
                  ScaleByDpi(kListColumns[i].width, w.dpi));
    }

    // The menu bar, built in code; only "Auto-scroll" starts checked.
    HMENU bar = GetMenu(w.hwnd);
    REQUIRE(GetMenuItemCount(bar) == kMenuCount);
    for (int m = 0; m < kMenuCount; ++m) {
        wchar_t text[64] = {};
        GetMenuStringW(bar, m, text, 64, MF_BYPOSITION);
        CHECK(std::wstring(text) == W(kMainMenus[m].text));
        HMENU popup = GetSubMenu(bar, m);
        REQUIRE(GetMenuItemCount(popup) == kMainMenus[m].itemCount);
        for (int i = 0; i < kMainMenus[m].itemCount; ++i) {
            const MenuItemSpec& item = kMainMenus[m].items[i];
            CAPTURE(item.id);
            CHECK(static_cast<int>(GetMenuItemID(popup, i)) == item.id);
            if (item.id == 0) continue;
            GetMenuStringW(popup, i, text, 64, MF_BYPOSITION);
            CHECK(std::wstring(text) == W(item.text));
            CHECK(((GetMenuState(popup, i, MF_BYPOSITION) & MF_CHECKED) != 0) == (item.checked != 0));
        }
    }
    CHECK(w.Status() == L" Stopped | Total: 0 | Shown: 0");
    // Other timers than the drain timer are not ours.
    SendMessageW(w.hwnd, WM_TIMER, 7, 0);
    CHECK(w.Status() == L" Stopped | Total: 0 | Shown: 0");
}

TEST_CASE("WM_SIZE places every control as the layout says, and the window keeps its minimum") {
    TestWindow w;
    auto expected = [&](int width, int height) {
        RECT status{};
        GetWindowRect(w.Control(kIdStatusBar), &status);
        int columns[kListColumnCount];
        for (int i = 0; i < kListColumnCount; ++i)
            columns[i] = static_cast<int>(SendMessageW(w.Control(kIdEventList), LVM_GETCOLUMNWIDTH, i, 0));
        MainLayout l{};
        ComputeMainLayout(width, height, status.bottom - status.top, columns,
                          GetSystemMetrics(SM_CXVSCROLL), w.dpi, &l);
        return l;
    };
    auto check = [&](int width, int height) {
        CAPTURE(width);
        CAPTURE(height);
        const MainLayout l = expected(width, height);
        CHECK(Same(w.Place(kIdTargetEdit), l.targetEdit));
        CHECK(Same(w.Place(kIdBrowseButton), l.browseButton));
        CHECK(Same(w.Place(kIdStartButton), l.startButton));
        CHECK(Same(w.Place(kIdStopButton), l.stopButton));
        CHECK(Same(w.Place(kIdFileCheck), l.fileCheck));
        CHECK(Same(w.Place(kIdSuspiciousCheck), l.suspiciousCheck));
        // A drop-down list reports the height of its closed box, not of the drop-down.
        const RECT combo = w.Place(kIdOperationCombo);
        CHECK((combo.left == l.operationCombo.x && combo.top == l.operationCombo.y &&
               combo.right - combo.left == l.operationCombo.width));
        CHECK(Same(w.Place(kIdFilterEdit), l.filterEdit));
        CHECK(Same(w.Place(kIdClearButton), l.clearButton));
        CHECK(Same(w.Place(kIdExportCsvButton), l.exportCsvButton));
        CHECK(Same(w.Place(kIdEventList), l.eventList));
        CHECK(SendMessageW(w.Control(kIdEventList), LVM_GETCOLUMNWIDTH, kPathColumn, 0) ==
              l.pathColumnWidth);
        return l;
    };

    RECT window{}, client{};
    GetWindowRect(w.hwnd, &window);
    // The wanted size where the work area holds it, and always inside the work area.
    RECT work{};
    REQUIRE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
    CAPTURE(work.right);
    CAPTURE(work.bottom);
    CHECK(window.right - window.left ==
          std::min<LONG>(ScaleByDpi(1120, w.dpi), work.right - work.left));
    CHECK(window.bottom - window.top ==
          std::min<LONG>(ScaleByDpi(700, w.dpi), work.bottom - work.top));
    CHECK((window.left >= work.left && window.top >= work.top && window.right <= work.right &&
           window.bottom <= work.bottom));
    GetClientRect(w.hwnd, &client);
    check(client.right, client.bottom);

    // Shrinking below the minimum stops at it, with every control of both rows inside.
    SetWindowPos(w.hwnd, nullptr, 0, 0, 300, 200, SWP_NOMOVE | SWP_NOZORDER);
    GetWindowRect(w.hwnd, &window);
    CHECK(window.right - window.left >= ScaleByDpi(800, w.dpi));
    CHECK(window.bottom - window.top >= ScaleByDpi(500, w.dpi));
    GetClientRect(w.hwnd, &client);
    check(client.right, client.bottom);
    for (int id : {kIdStopButton, kIdExportCsvButton, kIdClearButton, kIdFilterEdit}) {
        CAPTURE(id);
        CHECK(w.Place(id).right <= client.right);
    }

    // Narrower than any window can be: the path box keeps 100 pixels, "Path / Detail" 200.
    SendMessageW(w.hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(300, 150));
    const MainLayout narrow = check(300, 150);
    CHECK(narrow.targetEdit.width == ScaleByDpi(100, w.dpi));
    CHECK(narrow.pathColumnWidth == ScaleByDpi(200, w.dpi));
}

TEST_CASE("WM_DPICHANGED: the suggested rectangle, the font, the columns and the layout follow") {
    TestWindow w;
    HWND list = w.Control(kIdEventList);
    auto column = [&](int i) {
        return static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, i, 0));
    };
    auto fontHeight = [&](HWND control) {
        LOGFONTW font{};
        HGDIOBJ handle = reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0));
        REQUIRE(GetObjectW(handle, sizeof font, &font) == sizeof font);
        return static_cast<int>(font.lfHeight);
    };
    REQUIRE(w.dpi == 96); // the tests' display
    // A column the user made narrower keeps its look on the other monitor.
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 1, MAKELPARAM(90, 0));
    const int height96 = fontHeight(w.Control(kIdStartButton));
    RECT before{};
    GetWindowRect(w.hwnd, &before);

    // To a 120-DPI monitor, as the system sends it: the DPI twice, the rectangle to take.
    RECT suggested{20, 30, 20 + 1200, 30 + 900};
    SendMessageW(w.hwnd, WM_DPICHANGED, MAKEWPARAM(120, 120), reinterpret_cast<LPARAM>(&suggested));
    CHECK(WindowDpi(w.hwnd) == 120);
    CHECK(WindowDpi(list) == 120); // a control goes by its window
    RECT now{};
    GetWindowRect(w.hwnd, &now);
    CHECK(EqualRect(&now, &suggested));
    CHECK(column(0) == ScaleByDpi(105, 120));
    CHECK(column(1) == RescaleForDpi(90, 96, 120));
    CHECK(column(6) == ScaleByDpi(110, 120));
    // One new font, on every control and in the Recording; the old one is gone.
    HFONT font = static_cast<HFONT>(w.app->window->uiFont);
    CHECK(fontHeight(w.Control(kIdStartButton)) == RescaleForDpi(height96, 96, 120));
    for (const ControlSpec& spec : kMainControls) {
        CAPTURE(spec.id);
        const HWND control = H(w.app->window->*spec.field);
        CHECK(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)) == font);
    }
    // Every control where the layout puts it at 120 DPI, for the new client area.
    RECT client{}, status{};
    GetClientRect(w.hwnd, &client);
    GetWindowRect(w.Control(kIdStatusBar), &status);
    int columns[kListColumnCount];
    for (int i = 0; i < kListColumnCount; ++i)
        columns[i] = column(i);
    MainLayout l{};
    ComputeMainLayout(client.right, client.bottom, status.bottom - status.top, columns,
                      GetSystemMetrics(SM_CXVSCROLL), 120, &l);
    CHECK(Same(w.Place(kIdTargetEdit), l.targetEdit));
    CHECK(w.Place(kIdTargetEdit).left == 10);
    CHECK(Same(w.Place(kIdStopButton), l.stopButton));
    CHECK(Same(w.Place(kIdExportCsvButton), l.exportCsvButton));
    CHECK(Same(w.Place(kIdEventList), l.eventList));
    CHECK(column(kPathColumn) == l.pathColumnWidth);
    // The minimum size is the 120-DPI one from now on.
    MINMAXINFO limits{};
    SendMessageW(w.hwnd, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    CHECK(limits.ptMinTrackSize.x >= ScaleByDpi(888, 120));
    CHECK(PauseForScreenshot("main-window-at-120-dpi"));

    // A DPI no monitor has changes nothing but the place.
    RECT moved{40, 40, 40 + 1200, 40 + 900};
    SendMessageW(w.hwnd, WM_DPICHANGED, 0, reinterpret_cast<LPARAM>(&moved));
    CHECK(WindowDpi(w.hwnd) == 120);
    CHECK(static_cast<HFONT>(w.app->window->uiFont) == font);
    GetWindowRect(w.hwnd, &now);
    CHECK(EqualRect(&now, &moved));

    // And back: the first font height, the widths the columns had, the first layout.
    SendMessageW(w.hwnd, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&before));
    CHECK(WindowDpi(w.hwnd) == 96);
    CHECK(fontHeight(w.Control(kIdFilterEdit)) == height96);
    CHECK(column(0) == 105);
    CHECK(column(1) == 90);
    GetWindowRect(w.hwnd, &now);
    CHECK(EqualRect(&now, &before));
    CHECK(w.Place(kIdTargetEdit).left == 8);
}

TEST_CASE("a dropped EXE fills the path box; other files and over-long names are refused") {
    TestWindow w;
    SendMessageW(w.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(L"D:\\x\\SAMPLE.EXE")), 0);
    CHECK(TextOf(w.Control(kIdTargetEdit)) == L"D:\\x\\SAMPLE.EXE");

    const std::wstring refused[] = {L"D:\\x\\helper.dll", L"D:\\x\\sample.exe.lnk",
                                    L"D:\\" + std::wstring(300, L'a') + L".exe"};
    for (const std::wstring& name : refused) {
        CAPTURE(name.size());
        BoxSeen seen;
        REQUIRE(WithMessageBoxAnswered(IDOK, kWaitMs, &seen, [&] {
            SendMessageW(w.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(name)), 0);
        }));
        CHECK(seen.caption == L"Olvetta");
        CHECK(seen.hadOwner);
        if (name.size() < 260) {
            CHECK(seen.text == L"Please drop an EXE file.");
        } else {
            CHECK(seen.text.find(L"longer than 259 characters") != std::wstring::npos);
        }
        CHECK(TextOf(w.Control(kIdTargetEdit)) == L"D:\\x\\SAMPLE.EXE");
    }
    // The window lets drops from unelevated programs through its message filter.
    CHECK(AllowDropsFromUnelevated(w.hwnd));
}

TEST_CASE("Show in Explorer refuses a crafted path with a message owned by the window") {
    TestWindow w;
    struct Case {
        const char16_t* path;
        const wchar_t* start;
    } cases[] = {
        {u"\"C:\\x\" /root,C:\\Windows\"",
         L"Explorer was not started: this path holds a quotation mark"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Olvetta-no-such-key",
         L"Explorer was not started: no file or folder of this name exists"},
    };
    for (const Case& c : cases) {
        BoxSeen seen;
        REQUIRE(WithMessageBoxAnswered(IDOK, kWaitMs, &seen, [&] {
            RunContextMenuCommand(w.app, c.path, kMenuShowInExplorer);
        }));
        CHECK(seen.caption == L"Olvetta");
        CHECK(seen.hadOwner);
        CHECK(seen.text.rfind(c.start, 0) == 0);
    }
}

TEST_CASE("a recording on the stand-ins: buttons, rows, filter, status bar, colours and Stop") {
    TestWindow w;
    REQUIRE(w.Start());
    CHECK(!w.Enabled(kIdStartButton));
    CHECK(w.Enabled(kIdStopButton));
    CHECK(!w.Enabled(kIdTargetEdit));
    CHECK(!w.Enabled(kIdBrowseButton));
    CHECK(w.Cell(0, 4) == L"Started process");
    CHECK(w.Cell(0, 5) == L"\"C:\\Samples\\dropper.exe\" | Investigation target / PID: 4242");
    // The 100 ms timer takes the DLL loads in.
    REQUIRE(WaitFor("the five DLL loads in the list", kWaitMs, [&] { return w.Items() == 1 + kLoads; }));
    CHECK(w.Status().rfind(L" Monitoring | Total: 6 | Shown: 6", 0) == 0);

    // The filter box and the category boxes rebuild the list at once.
    SetWindowTextW(w.Control(kIdFilterEdit), L"KERNEL32");
    CHECK(w.Items() == 3);
    SetWindowTextW(w.Control(kIdFilterEdit), L"");
    SendMessageW(w.Control(kIdProcessCheck), BM_SETCHECK, BST_UNCHECKED, 0);
    w.Command(kIdProcessCheck);
    CHECK(w.Items() == 0);
    CHECK(w.Status().rfind(L" Monitoring | Total: 6 | Shown: 0", 0) == 0);
    SendMessageW(w.Control(kIdProcessCheck), BM_SETCHECK, BST_CHECKED, 0);
    w.Command(kIdProcessCheck);
    CHECK(w.Items() == 6);
    // "Suspicious Only" and the "Suspicious" box agree.
    w.Command(kCmdSuspiciousOnly, 0);
    CHECK(SendMessageW(w.Control(kIdSuspiciousCheck), BM_GETCHECK, 0, 0) == BST_CHECKED);
    CHECK((GetMenuState(GetMenu(w.hwnd), kCmdSuspiciousOnly, MF_BYCOMMAND) & MF_CHECKED) != 0);
    w.Command(kCmdSuspiciousOnly, 0);

    // The program ends by itself: a row, and the recording goes on.
    REQUIRE(EndSimulatedProcess(3));
    REQUIRE(WaitFor("the \"Target process exited\" row", kWaitMs, [&] { return w.Items() == 7; }));
    CHECK(w.Cell(6, 5) == L" | Exit code: 3 (seen by Olvetta)");
    CHECK(w.app->recording == 1);

    w.Command(kIdStopButton);
    CHECK(w.Idle());
    CHECK(w.Status() == L" Stopped | Total: 7 | Shown: 7");
    // After Stop the timer is gone and late messages add nothing.
    PostMessageW(w.hwnd, WM_APP_TARGET_EXITED, 1, 0);
    PostMessageW(w.hwnd, WM_APP_TRACE_STOPPED, 0, 0);
    PumpFor(300);
    CHECK(w.Items() == 7);

    // Row colours by severity, from the list's custom draw.
    EventRow row{};
    for (uint32_t severity : {1u, 2u, 3u, 0u}) {
        row.severity = severity;
        AppendRow(w.app, &row);
    }
    CHECK(w.Items() == 11);
    CHECK(w.ItemColour(7) == RGB(255, 250, 205));
    CHECK(w.ItemColour(8) == RGB(255, 232, 196));
    CHECK(w.ItemColour(9) == RGB(255, 205, 205));
    CHECK(w.ItemColour(10) == CLR_DEFAULT);
    CHECK(w.ItemColour(11) == CLR_DEFAULT); // past the last item
    CHECK(w.Cell(9, 1) == L"High");
    CHECK(PauseForScreenshot("main-window-after-recording"));
}

TEST_CASE("failures reach the user: the trace refuses Start, the trace ends by itself") {
    TestWindow w;
    SUBCASE("a trace that cannot start leaves the window idle with nothing recorded") {
        SimTraceSetAdmin(false);
        BoxSeen seen;
        REQUIRE(WithMessageBoxAnswered(IDOK, kWaitMs, &seen, [&] { w.Start(); }));
        CHECK(seen.caption == L"Olvetta");
        CHECK(seen.text.rfind(L"ETW: StartTrace failed: Access is denied. (5)", 0) == 0);
        CHECK(w.Idle());
        CHECK(w.Items() == 0);
        CHECK(w.Status() == L" Stopped | Total: 0 | Shown: 0");
    }
    SUBCASE("the kernel session ending by itself shows \"ETW Error\" and stops") {
        REQUIRE(w.Start());
        char16_t* text = static_cast<char16_t*>(AllocZeroed(64 * sizeof(char16_t)));
        std::memcpy(text, u"The kernel trace ended.", 24 * sizeof(char16_t));
        BoxSeen seen;
        REQUIRE(WithMessageBoxAnswered(IDOK, kWaitMs, &seen, [&] {
            PostMessageW(w.hwnd, WM_APP_TRACE_STOPPED, 0, reinterpret_cast<LPARAM>(text));
            WaitFor("the recording to stop", kWaitMs, [&] { return w.app->recording == 0; });
        }));
        CHECK(seen.caption == L"ETW Error");
        CHECK(seen.text == L"The kernel trace ended.");
        CHECK(w.Idle());
    }
    SUBCASE("closing the window during a recording ends the program and the sessions") {
        REQUIRE(w.Start());
        DestroyWindow(w.hwnd);
        CHECK(w.app->recording == 0);
        CHECK(w.app->trace == nullptr);
        SimProcessStatus status{};
        CHECK(QuerySimProcess(kPid, &status));
        CHECK(status.state == kSimProcessEnded);
    }
}

TEST_CASE("the UI port on real controls: combo items longer than the buffer, the clipboard") {
    TestWindow w;
    const std::u16string item(100, u'x');
    UiComboAdd(w.app->window->operationCombo, item.c_str());
    char16_t text[64];
    CHECK(UiComboItemText(w.app->window->operationCombo, 1, text, 64));
    CHECK(std::u16string(text) == item.substr(0, 63));
    CHECK_FALSE(UiComboItemText(w.app->window->operationCombo, 2, text, 64));

    REQUIRE(UiSetClipboardText(w.app->window->mainWindow, u"C:\\Samples\\dropper.exe"));
    REQUIRE(OpenClipboard(w.hwnd));
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    REQUIRE(data != nullptr);
    CHECK(std::wstring(static_cast<const wchar_t*>(GlobalLock(data))) == kPath);
    GlobalUnlock(data);
    CloseClipboard();
}
