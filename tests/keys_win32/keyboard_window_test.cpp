// The main window from the keyboard: the focus at start-up, Tab order, every key of the map, the
// row menu from the keyboard, the find window, copying rows and a dropped session file. Keys are
// posted to the focused control with the modifiers set in the thread's key state, and go through
// the same TranslateShellMessage as in the program's message loop.
#include "platform/time.h"
#include <string>
#include <thread>
#include <vector>

#include "app/win32/shell.h" // windows.h first

#include <shlobj.h> // DROPFILES

#include "app/keyboard.h"
#include "app/lifecycle.h"
#include "app/view_changes.h"
#include "app/window_layout.h"
#include "demo/window_driver.h"
#include "doctest.h"
#include "support/sim_main_window.h"
#include "support/watchdog.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sim/sim_event.h"
#include "platform/sim/sim_process.h"
#include "platform/sim/sim_trace_service.h"
#include "platform/ui.h"
#include "decode/decode.h"
#include "views/row_store.h"

using namespace olv;
using namespace olv::gui;

namespace {

constexpr wchar_t kPath[] = L"C:\\Samples\\dropper.exe";
constexpr uint32_t kPid = 4343;
constexpr uint32_t kLoads = 5;

bool ProduceLoads(void*, uint32_t index, SimEvent* e, bool*) {
    if (index >= kLoads) return false;
    BeginSimEvent(e, kImageProvider, 10, 0, kPid, 7, NowTicks() + index); // after the launch
    AddSimU32(e, u"ProcessId", kPid);
    AddSimWideString(e, u"FileName", index % 2 == 0 ? u"C:\\Windows\\System32\\kernel32.dll"
                                                    : u"C:\\Windows\\System32\\user32.dll");
    return true;
}

// Dispatches this thread's messages as the program's loop does.
void PumpKeys() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) continue;
        if (TranslateShellMessage(&msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

struct KeyWindow : SimMainWindow {
    KeyWindow() : SimMainWindow(ProduceLoads, kPath, kPid, PumpKeys) {}
    HWND Control(int id) const { return GetDlgItem(hwnd, id); }
    HWND List() const { return Control(kIdEventList); }
    int Items() const {
        ApplyWindowViewChanges(app); // as the window draws after each operation
        return static_cast<int>(SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0));
    }
    int Selected() const {
        return static_cast<int>(SendMessageW(List(), LVM_GETSELECTEDCOUNT, 0, 0));
    }
    int FocusedItem() const {
        return static_cast<int>(SendMessageW(List(), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
    }
    // The focus as another program would ask for it.
    HWND Focus() const {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        if (!GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, nullptr), &info)) return nullptr;
        return info.hwndFocus;
    }
    // A key pressed and released on the focused control, with these modifiers held.
    void Press(UINT key, uint32_t modifiers = kModNone) const {
        BYTE state[256] = {};
        GetKeyboardState(state);
        state[VK_CONTROL] = (modifiers & kModCtrl) != 0 ? 0x80 : 0;
        state[VK_SHIFT] = (modifiers & kModShift) != 0 ? 0x80 : 0;
        state[VK_MENU] = (modifiers & kModAlt) != 0 ? 0x80 : 0;
        SetKeyboardState(state);
        HWND target = GetFocus();
        if (target == nullptr) target = hwnd;
        const bool system = (modifiers & kModAlt) != 0 || key == VK_F10;
        PostMessageW(target, system ? WM_SYSKEYDOWN : WM_KEYDOWN, key, 1);
        PostMessageW(target, system ? WM_SYSKEYUP : WM_KEYUP, key, static_cast<LPARAM>(0xC0000001));
        PumpKeys();
        state[VK_CONTROL] = state[VK_SHIFT] = state[VK_MENU] = 0;
        SetKeyboardState(state);
    }
    // Records the five DLL loads and stops: six rows, all saved nowhere.
    void Record() {
        SetWindowTextW(Control(kIdTargetEdit), kPath);
        SetFocus(Control(kIdTargetEdit));
        Press(VK_RETURN); // Enter in the path box starts
        REQUIRE(app->recording == 1);
        // F5 during the recording starts nothing again.
        void* launcher = app->launcher;
        SetFocus(List());
        Press(VK_F5);
        CHECK(app->launcher == launcher);
        SimTraceGateEvents(u"NT Kernel Logger", kSimNoGate);
        REQUIRE(WaitFor("the five DLL loads in the list", kWaitMs, [&] {
            PumpKeys();
            return Items() == 1 + static_cast<int>(kLoads);
        }));
        Press(VK_F5, kModShift);
        REQUIRE(app->recording == 0);
    }
};

std::wstring Clipboard(HWND owner) {
    std::wstring text;
    if (!OpenClipboard(owner)) return text;
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    if (data != nullptr) {
        text = static_cast<const wchar_t*>(GlobalLock(data));
        GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
}

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

// A visible pop-up menu of this process; null when none.
HWND OpenMenuWindow() {
    return FindTopWindow(GetCurrentProcessId(), L"#32768");
}

} // namespace

TEST_CASE("the focus starts in the path box, and Tab and Shift+Tab go round in reading order") {
    KeyWindow w;
    CHECK(w.Focus() == w.Control(kIdTargetEdit));
    CHECK(PauseForScreenshot("keys-startup-focus"));

    // The Stop button is disabled while idle, so Tab passes it.
    const int order[] = {kIdTargetEdit,      kIdBrowseButton,    kIdStartButton,
                         kIdFileCheck,       kIdRegistryCheck,   kIdNetworkCheck,
                         kIdProcessCheck,    kIdSuspiciousCheck, kIdOperationCombo,
                         kIdFilterEdit,      kIdClearButton,     kIdExportCsvButton,
                         kIdEventList,       kIdTargetEdit};
    for (size_t i = 1; i < sizeof order / sizeof order[0]; ++i) {
        CAPTURE(order[i]);
        w.Press(VK_TAB);
        CHECK(w.Focus() == w.Control(order[i]));
    }
    for (size_t i = sizeof order / sizeof order[0] - 1; i > 0; --i) {
        CAPTURE(order[i - 1]);
        w.Press(VK_TAB, kModShift);
        CHECK(w.Focus() == w.Control(order[i - 1]));
    }
    // Alt + an access key presses its button or check box: Alt+I unchecks "File I/O".
    w.Press('I', kModAlt);
    PumpKeys();
    CHECK(SendMessageW(w.Control(kIdFileCheck), BM_GETCHECK, 0, 0) == BST_UNCHECKED);

    // Focus survives deactivation: the filter box has it again afterwards.
    SetFocus(w.Control(kIdFilterEdit));
    SendMessageW(w.hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
    SetFocus(nullptr);
    SendMessageW(w.hwnd, WM_SETFOCUS, 0, 0);
    CHECK(w.Focus() == w.Control(kIdFilterEdit));
}

TEST_CASE("every key of the map does its command, and text boxes keep their editing keys") {
    KeyWindow w;
    w.Record(); // Enter in the path box starts, Shift+F5 stops
    CHECK(w.Items() == 6);
    // Ctrl+L: the filter box; Escape there empties it.
    SetFocus(w.List());
    w.Press('L', kModCtrl);
    CHECK(w.Focus() == w.Control(kIdFilterEdit));
    SetWindowTextW(w.Control(kIdFilterEdit), L"user32");
    PumpKeys();
    CHECK(w.Items() == 2);
    w.Press(VK_ESCAPE);
    CHECK(TextOf(w.Control(kIdFilterEdit)).empty());
    CHECK(w.Items() == w.app->shownCount);

    // Ctrl+A and Ctrl+C in the filter box are the box's: no row is selected or copied.
    OpenClipboard(w.hwnd);
    EmptyClipboard();
    CloseClipboard();
    w.Press('A', kModCtrl);
    w.Press('C', kModCtrl);
    CHECK(w.Selected() == 0);
    CHECK(Clipboard(w.hwnd).find(L"Time\tSeverity") == std::wstring::npos);

    // In the list they select and copy the rows.
    SetFocus(w.List());
    w.Press('A', kModCtrl);
    CHECK(w.Selected() == w.Items());
    w.Press('C', kModCtrl);
    const std::wstring copied = Clipboard(w.hwnd);
    CHECK(copied.rfind(L"Time\tSeverity\tPID\tProcess\tCategory\tOperation\tPath\tDetail\tResult\tThreat\r\n", 0) == 0);
    size_t lines = 0;
    for (size_t at = copied.find(L"\r\n"); at != std::wstring::npos; at = copied.find(L"\r\n", at + 2))
        ++lines;
    CHECK(lines == 1 + static_cast<size_t>(w.Items()));
    CHECK(copied.find(L"\tStarted process\t") != std::wstring::npos);

    // The View menu's windows.
    w.Press('T', kModCtrl);
    CHECK(WaitFor("the process tree window", kWaitMs, [] {
        PumpKeys();
        return FindTopWindow(GetCurrentProcessId(), L"OlvettaAuxWindow") != nullptr;
    }));
    for (HWND aux; (aux = FindTopWindow(GetCurrentProcessId(), L"OlvettaAuxWindow")) != nullptr;) {
        DestroyWindow(aux);
    }
    SetFocus(w.List());
    w.Press('U', kModCtrl);
    CHECK(WaitFor("the summary window", kWaitMs, [] {
        PumpKeys();
        return FindTopWindow(GetCurrentProcessId(), L"OlvettaAuxWindow") != nullptr;
    }));
    for (HWND aux; (aux = FindTopWindow(GetCurrentProcessId(), L"OlvettaAuxWindow")) != nullptr;) {
        DestroyWindow(aux);
    }

    // The file keys open their dialogs (cancelled here).
    for (UINT key : {'E', 'J', 'S'}) {
        CAPTURE(key);
        SetFocus(w.List());
        BoxSeen seen;
        CHECK(WithMessageBoxAnswered(IDCANCEL, kWaitMs, &seen, [&] { w.Press(key, kModCtrl); }));
    }
    // Ctrl+O first asks nothing (the dialog comes first); cancelled.
    {
        SetFocus(w.List());
        BoxSeen seen;
        CHECK(WithMessageBoxAnswered(IDCANCEL, kWaitMs, &seen, [&] { w.Press('O', kModCtrl); }));
    }
    // Ctrl+X in the filter box cuts text; in the list it clears, after asking (No keeps them).
    SetFocus(w.Control(kIdFilterEdit));
    w.Press('X', kModCtrl);
    CHECK(w.Items() == 6);
    SetFocus(w.List());
    BoxSeen seen;
    CHECK(WithMessageBoxAnswered(IDNO, kWaitMs, &seen, [&] { w.Press('X', kModCtrl); }));
    CHECK(seen.caption == L"Olvetta");
    CHECK(w.Items() == 6);
    CHECK(WithMessageBoxAnswered(IDYES, kWaitMs, &seen, [&] { w.Press('X', kModCtrl); }));
    CHECK(w.Items() == 0);
}

TEST_CASE("Shift+F10 and the menu key open the row menu at the focused row; Copy Cell from it") {
    KeyWindow w;
    w.Record();
    SetFocus(w.List());
    UiListSelectOnly(w.app->window->eventList, 2);
    CHECK(w.FocusedItem() == 2);

    struct Seen {
        std::vector<std::wstring> items;
        bool shot = false;
    } seen;
    auto readAndPick = [&](bool copyCell) {
        std::thread reader([&seen, copyCell] {
            HWND menu = nullptr;
            for (DWORD waited = 0; waited < kWaitMs && menu == nullptr; waited += kStepMs) {
                menu = OpenMenuWindow();
                if (menu == nullptr) Sleep(kStepMs);
            }
            if (menu == nullptr) return;
            HMENU popup = reinterpret_cast<HMENU>(SendMessageW(menu, MN_GETHMENU, 0, 0));
            seen.items.clear();
            for (int i = 0; i < GetMenuItemCount(popup); ++i) {
                wchar_t text[64] = {};
                GetMenuStringW(popup, i, text, 64, MF_BYPOSITION);
                seen.items.push_back(text);
            }
            if (copyCell) seen.shot = PauseForScreenshot("keys-row-menu");
            // Down four times from no item picks "Copy Cell" (separators are passed over);
            // Escape leaves the menu.
            if (copyCell) {
                for (int step = 0; step < 4; ++step) {
                    PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 1);
                    Sleep(30);
                }
                Sleep(200);
                PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 1);
            } else {
                PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 1);
            }
        });
        return reader;
    };

    std::thread reader = readAndPick(false);
    w.Press(VK_F10, kModShift);
    reader.join();
    // The path's items, the copy items, the rule and detail windows, the process conditions.
    REQUIRE(seen.items.size() == 13);
    CHECK(seen.items[0] == L"Show in Explorer");
    CHECK(seen.items[3] == L"Copy Rows\tCtrl+C");
    CHECK(seen.items[4] == L"Copy Cell");
    CHECK(seen.items[6] == L"Rules Matched...");
    CHECK(seen.items[7] == L"Row &Details");

    OpenClipboard(w.hwnd);
    EmptyClipboard();
    CloseClipboard();
    reader = readAndPick(true);
    w.Press(VK_APPS);
    reader.join();
    CHECK(seen.shot);
    // Copy Cell from the keyboard copies the focused row's "Path / Detail" cell.
    CHECK(Clipboard(w.hwnd) == L"C:\\Windows\\System32\\user32.dll");
}

TEST_CASE("the find window: Ctrl+F, Enter finds, F3 and Shift+F3 repeat, it wraps with a message") {
    KeyWindow w;
    w.Record();
    SetFocus(w.List());
    w.Press('F', kModCtrl);
    HWND find = H(w.app->window->find.window);
    REQUIRE(find != nullptr);
    CHECK(IsWindowVisible(find));
    CHECK(w.Focus() == GetDlgItem(find, kIdFindText));
    CHECK(IsDlgButtonChecked(find, kIdFindMatchCase) == BST_UNCHECKED);
    CHECK(IsDlgButtonChecked(find, kIdFindDown) == BST_CHECKED);

    SetDlgItemTextW(find, kIdFindText, L"KERNEL32");
    w.Press(VK_RETURN);
    // Rows 1, 3 and 5 load kernel32.dll; no row had the focus, so the first is found.
    CHECK(w.FocusedItem() == 1);
    CHECK(w.Selected() == 1);
    CHECK(TextOf(GetDlgItem(find, kIdFindMessage)).empty());
    CHECK(PauseForScreenshot("keys-find-window"));
    // The find window put over the next row it will find moves off that row when it finds it.
    auto rowOnScreen = [&](int item) {
        RECT r{};
        r.left = LVIR_BOUNDS;
        SendMessageW(w.List(), LVM_GETITEMRECT, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&r));
        MapWindowPoints(w.List(), nullptr, reinterpret_cast<POINT*>(&r), 2);
        return r;
    };
    const RECT third = rowOnScreen(3);
    SetWindowPos(find, nullptr, third.left + 40, third.top - 10, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    w.Press(VK_F3);
    CHECK(w.FocusedItem() == 3);
    RECT findRect{}, covered{};
    GetWindowRect(find, &findRect);
    const RECT found = rowOnScreen(3);
    CHECK_FALSE(IntersectRect(&covered, &findRect, &found));
    CHECK(findRect.top == found.bottom); // just below it
    w.Press(VK_F3);
    CHECK(w.FocusedItem() == 5);
    w.Press(VK_F3);
    CHECK(w.FocusedItem() == 1);
    CHECK(TextOf(GetDlgItem(find, kIdFindMessage)) == L"Passed the last row: continued from the first.");
    w.Press(VK_F3, kModShift);
    CHECK(w.FocusedItem() == 5);
    // Match case: nothing, and the selection stays.
    CheckDlgButton(find, kIdFindMatchCase, BST_CHECKED);
    w.Press(VK_RETURN);
    CHECK(w.FocusedItem() == 5);
    CHECK(TextOf(GetDlgItem(find, kIdFindMessage)) == L"No shown row contains \"KERNEL32\".");
    // Tab stays inside the find window; Escape closes it and the list has the focus.
    w.Press(VK_TAB);
    CHECK(GetAncestor(w.Focus(), GA_ROOT) == find);
    SetFocus(GetDlgItem(find, kIdFindText));
    w.Press(VK_ESCAPE);
    CHECK(!IsWindowVisible(find));
    CHECK(w.Focus() == w.List());
    // F3 from the list repeats the last search with the window closed.
    CheckDlgButton(find, kIdFindMatchCase, BST_UNCHECKED);
    w.app->window->find.matchCase = 0;
    UiListSelectOnly(w.app->window->eventList, 0);
    SetFocus(w.List());
    w.Press(VK_F3);
    CHECK(w.FocusedItem() == 1);
}

TEST_CASE("a dropped session file opens as a session; during a recording it is refused") {
    KeyWindow w;
    TestStep("record");
    w.Record();
    TestStep("save the session");
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    const std::wstring session = std::wstring(folder) + L"olv-keys-drop.ols";
    DeleteFileW(session.c_str());
    // The save says what it wrote (and what the record lacks).
    bool saved = false;
    BoxSeen said;
    WithMessageBoxAnswered(IDOK, 5000, &said, [&] {
        saved = SaveSessionToPath(w.app, reinterpret_cast<const char16_t*>(session.c_str()));
    });
    REQUIRE(saved);
    CHECK(said.text == L"6 events saved.");
    TestStep("clear the saved rows");
    SetFocus(w.List());
    w.Press('X', kModCtrl); // saved: Clear asks nothing
    CHECK(w.Items() == 0);

    // Opening may tell what the record lacks (the stand-ins' notes): answered when it does.
    BoxSeen notes;
    TestStep("drop the saved session");
    WithMessageBoxAnswered(IDOK, 3000, &notes, [&] {
        SendMessageW(w.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(session)), 0);
    });
    CHECK(w.Items() == 6);
    CHECK(w.app->rowsUnsaved == 0);

    // Unsaved rows: the question of Open Session comes first, and No keeps them.
    EventRow row{};
    AppendRow(w.app, &row);
    BoxSeen seen;
    CHECK(WithMessageBoxAnswered(IDNO, kWaitMs, &seen, [&] {
        SendMessageW(w.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(session)), 0);
    }));
    CHECK(w.Items() == 7);

    // A drop during a recording is refused with a message; the recording goes on.
    w.app->recording = 1;
    CHECK(WithMessageBoxAnswered(IDOK, kWaitMs, &seen, [&] {
        SendMessageW(w.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(session)), 0);
    }));
    w.app->recording = 0;
    CHECK(seen.text == L"Stop monitoring before opening a session.");
    CHECK(w.Items() == 7);
    DeleteFileW(session.c_str());
}
