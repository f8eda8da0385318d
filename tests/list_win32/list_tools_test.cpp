// The analyst's tools of the real event list on the stand-ins: a header click sorts and shows its
// arrow, Enter opens the row's details, the context menu narrows the view to a process, and the
// process tree's Enter does the same.
#include "app/window_commands.h"
#include "platform/time.h"
#include <string>
#include <thread>

#include "app/win32/shell.h" // windows.h first

#include "app/lifecycle.h"
#include "app/view_changes.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "decode/decode.h"
#include "demo/window_driver.h"
#include "doctest.h"
#include "support/sim_main_window.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sim/sim_event.h"
#include "platform/sim/sim_process.h"
#include "platform/sim/sim_trace_service.h"
#include "platform/trace_providers.h"
#include "platform/ui.h"
#include "views/row_store.h"
#include "views/sigma_texts.h"
#include "report/view_refresh.h"

using namespace olv;
using namespace olv::gui;

namespace {

constexpr wchar_t kPath[] = L"C:\\Samples\\dropper.exe";
constexpr uint32_t kPid = 4242;
constexpr uint32_t kChildPid = 5150;
constexpr uint32_t kEvents = 7; // the child's start and six DLL loads

const char16_t* const kDlls[] = {u"C:\\Windows\\System32\\c.dll", u"C:\\Windows\\System32\\a.dll",
                                 u"C:\\Windows\\System32\\e.dll", u"C:\\Windows\\System32\\b.dll",
                                 u"C:\\Windows\\System32\\f.dll", u"C:\\Windows\\System32\\d.dll"};

// The examined program starts a child; each loads three DLLs.
bool ProduceEvents(void*, uint32_t index, SimEvent* e, bool*) {
    if (index >= kEvents) return false;
    const int64_t t = NowTicks() + index; // after the launch, which the program is followed from
    if (index == 0) {
        BeginSimEvent(e, kProcessProvider, 1, 0, kPid, 7, t);
        AddSimU32(e, u"ProcessId", kChildPid);
        AddSimU32(e, u"ParentId", kPid);
        AddSimAnsiString(e, u"ImageFileName", "child.exe");
        AddSimWideString(e, u"CommandLine", u"child.exe /quiet");
        return true;
    }
    const uint32_t pid = index % 2 == 0 ? kPid : kChildPid;
    BeginSimEvent(e, kImageProvider, 10, 0, pid, 7, t);
    AddSimU32(e, u"ProcessId", pid);
    AddSimWideString(e, u"FileName", kDlls[index - 1]);
    return true;
}

struct ListWindow : SimMainWindow {
    ListWindow() : SimMainWindow(ProduceEvents, kPath, kPid) {}
    HWND List() const { return GetDlgItem(hwnd, kIdEventList); }
    HWND Header() const {
        return reinterpret_cast<HWND>(SendMessageW(List(), LVM_GETHEADER, 0, 0));
    }
    int Items() const {
        ApplyWindowViewChanges(app); // as the window draws after each operation
        return static_cast<int>(SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0));
    }
    std::wstring Cell(int item, int column) const {
        wchar_t text[1536] = {};
        LVITEMW request{};
        request.iSubItem = column;
        request.pszText = text;
        request.cchTextMax = 1536;
        SendMessageW(List(), LVM_GETITEMTEXTW, static_cast<WPARAM>(item),
                     reinterpret_cast<LPARAM>(&request));
        return text;
    }
    std::wstring Status() const {
        ApplyWindowViewChanges(app);
        return TextOf(GetDlgItem(hwnd, kIdStatusBar));
    }
    void Command(int id, int code = BN_CLICKED) const {
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, code),
                     reinterpret_cast<LPARAM>(GetDlgItem(hwnd, id)));
    }
    void Record() {
        SetWindowTextW(GetDlgItem(hwnd, kIdTargetEdit), kPath);
        Command(kIdStartButton);
        REQUIRE(app->recording != 0);
        SimTraceGateEvents(u"NT Kernel Logger", kSimNoGate);
        REQUIRE(WaitFor("the child's start and six DLL loads in the list", kWaitMs,
                        [&] { return Items() == 1 + static_cast<int>(kEvents); }));
        Command(kIdStopButton);
        REQUIRE(app->recording == 0);
    }
    // A click on a column's heading, as the mouse gives it to the header.
    void ClickHeading(int column) const {
        RECT box{};
        SendMessageW(Header(), HDM_GETITEMRECT, static_cast<WPARAM>(column),
                     reinterpret_cast<LPARAM>(&box));
        const LPARAM at = MAKELPARAM((box.left + box.right) / 2, (box.top + box.bottom) / 2);
        SendMessageW(Header(), WM_LBUTTONDOWN, MK_LBUTTON, at);
        SendMessageW(Header(), WM_LBUTTONUP, 0, at);
        Pump();
    }
    int HeadingFormat(int column) const {
        HDITEMW item{};
        item.mask = HDI_FORMAT;
        SendMessageW(Header(), HDM_GETITEMW, static_cast<WPARAM>(column),
                     reinterpret_cast<LPARAM>(&item));
        return item.fmt & (HDF_SORTUP | HDF_SORTDOWN);
    }
    int Focused() const {
        return static_cast<int>(
            SendMessageW(List(), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
    }
    void Focus(int item) const {
        LVITEMW state{};
        state.stateMask = LVIS_FOCUSED | LVIS_SELECTED;
        state.state = LVIS_FOCUSED | LVIS_SELECTED;
        SendMessageW(List(), LVM_SETITEMSTATE, static_cast<WPARAM>(item),
                     reinterpret_cast<LPARAM>(&state));
    }
    // A key pressed in a control (the message loop's TranslateMessage is not needed for these).
    static void Key(HWND control, UINT key) {
        SetFocus(control);
        SendMessageW(control, WM_KEYDOWN, key, 1);
        SendMessageW(control, WM_KEYUP, key, 0xC0000001);
        Pump();
    }
};

// A top-level window of this thread whose title starts with prefix.
HWND FindOwnWindow(const wchar_t* prefix) {
    struct Search {
        const wchar_t* prefix;
        HWND found;
    } search{prefix, nullptr};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM context) -> BOOL {
            Search* s = reinterpret_cast<Search*>(context);
            if (TextOf(window).rfind(s->prefix, 0) == 0) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// From another thread: waits for the pop-up menu of this process, photographs it, moves down
// steps items and chooses. The menu's own loop takes the keys from its queue.
void ChooseFromMenu(int steps, const char* screenshot, bool* chosen) {
    HWND menu = nullptr;
    for (int i = 0; i < 300 && menu == nullptr; ++i) {
        menu = FindWindowW(L"#32768", nullptr);
        if (menu == nullptr || !IsWindowVisible(menu)) {
            menu = nullptr;
            Sleep(20);
        }
    }
    if (menu == nullptr) return;
    if (screenshot != nullptr) PauseForScreenshot(screenshot);
    for (int i = 0; i < steps; ++i) {
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 1);
        Sleep(30);
    }
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 1);
    *chosen = true;
}

} // namespace

TEST_CASE("a header click sorts the list, shows the arrow and keeps the focused row") {
    ListWindow w;
    w.Record();
    CHECK(w.Cell(1, 4) == L"Started child process");
    w.Focus(2); // c.dll, the first load
    REQUIRE(w.Cell(2, 5).rfind(L"C:\\Windows\\System32\\c.dll", 0) == 0);

    w.ClickHeading(5);
    CHECK(w.HeadingFormat(5) == HDF_SORTUP);
    CHECK(w.HeadingFormat(0) == 0);
    // Paths sort with the program's and the child's command lines among the DLLs.
    CHECK(w.Cell(0, 5).rfind(L"\"C:\\Samples\\dropper.exe\"", 0) == 0);
    CHECK(w.Cell(1, 5).rfind(L"C:\\Windows\\System32\\a.dll", 0) == 0);
    CHECK(w.Cell(2, 5).rfind(L"C:\\Windows\\System32\\b.dll", 0) == 0);
    CHECK(w.Cell(7, 5).rfind(L"child.exe /quiet", 0) == 0);
    CHECK(w.Cell(w.Focused(), 5).rfind(L"C:\\Windows\\System32\\c.dll", 0) == 0);
    CHECK(w.Status().find(L" | Rows sorted by Path / Detail, ascending") != std::wstring::npos);

    w.ClickHeading(5);
    CHECK(w.HeadingFormat(5) == HDF_SORTDOWN);
    CHECK(w.Cell(0, 5).rfind(L"child.exe /quiet", 0) == 0);
    CHECK(w.Cell(1, 5).rfind(L"C:\\Windows\\System32\\f.dll", 0) == 0);
    CHECK(PauseForScreenshot("list-sorted-by-path-descending"));

    w.ClickHeading(5); // back to recording order
    CHECK(w.HeadingFormat(5) == 0);
    CHECK(w.Cell(1, 4) == L"Started child process");
    CHECK(w.Status().find(L"sorted") == std::wstring::npos);
}

TEST_CASE("Enter on a row opens its details; Copy puts them on the clipboard") {
    ListWindow w;
    w.Record();
    w.Focus(2); // c.dll, loaded by the child
    ListWindow::Key(w.List(), VK_RETURN);
    HWND details = nullptr;
    REQUIRE(WaitFor("the details window", kWaitMs,
                    [&] { return (details = FindOwnWindow(L"Row Details")) != nullptr; }));
    CHECK(TextOf(details) == L"Row Details - Loaded DLL");
    HWND text = GetWindow(details, GW_CHILD);
    const std::wstring shown = LongTextOf(text);
    CHECK(shown.find(L"Path: C:\\Windows\\System32\\c.dll\r\n") != std::wstring::npos);
    CHECK(shown.find(L"Process: 5150 (child.exe)\r\n") != std::wstring::npos);
    CHECK(shown.find(L"Started by: 4242 (dropper.exe) <- ") != std::wstring::npos);
    CHECK(shown.find(L"Command line: child.exe /quiet\r\n") != std::wstring::npos);
    CHECK((GetWindowLongW(text, GWL_STYLE) & ES_READONLY) != 0);
    CHECK(PauseForScreenshot("row-details"));

    SendMessageW(details, WM_COMMAND, MAKEWPARAM(3001, BN_CLICKED), 0);
    REQUIRE(OpenClipboard(nullptr));
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    const std::wstring copied =
        data != nullptr ? static_cast<const wchar_t*>(GlobalLock(data)) : L"";
    if (data != nullptr) GlobalUnlock(data);
    CloseClipboard();
    CHECK(copied == shown);
    DestroyWindow(details);
}

TEST_CASE("Rules Matched has Copy and closes with Escape, as the row details do") {
    ListWindow w;
    w.Record();
    ShowRulesMatched(w.app, 2);
    HWND matched = nullptr;
    REQUIRE(WaitFor("the Rules Matched window", kWaitMs,
                    [&] { return (matched = FindOwnWindow(L"Rules Matched")) != nullptr; }));
    HWND text = GetWindow(matched, GW_CHILD);
    const std::wstring shown = LongTextOf(text);
    CHECK(shown.find(L"Path: C:\\Windows\\System32\\c.dll\r\n") != std::wstring::npos);
    REQUIRE(GetDlgItem(matched, 3001) != nullptr);
    SendMessageW(matched, WM_COMMAND, MAKEWPARAM(3001, BN_CLICKED), 0);
    REQUIRE(OpenClipboard(nullptr));
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    const std::wstring copied =
        data != nullptr ? static_cast<const wchar_t*>(GlobalLock(data)) : L"";
    if (data != nullptr) GlobalUnlock(data);
    CloseClipboard();
    CHECK(copied == shown);

    // Escape in its text, as the message loop hands it over, closes it.
    MSG escape{};
    escape.hwnd = text;
    escape.message = WM_KEYDOWN;
    escape.wParam = VK_ESCAPE;
    CHECK(TranslateShellMessage(&escape));
    REQUIRE(WaitFor("the Rules Matched window to close", kWaitMs, [&] { return IsWindow(matched) == FALSE; }));
    CHECK(IsWindow(w.hwnd));
}

TEST_CASE("the context menu narrows the view to a process and its children, and back") {
    ListWindow w;
    w.Record();
    const int all = w.Items();
    // A load of the child. The entries: Show in Explorer, Copy path, Copy Rows, Copy Cell, Rules
    // Matched..., Row Details, Only This Process, Only This Process and Its Children, Hide This
    // Process, Show All Processes.
    w.Focus(2);
    bool chosen = false;
    std::thread chooser(ChooseFromMenu, 7, "list-context-menu", &chosen);
    NMITEMACTIVATE click{};
    click.hdr.hwndFrom = w.List();
    click.hdr.idFrom = kIdEventList;
    click.hdr.code = NM_RCLICK;
    click.iItem = 2;
    SendMessageW(w.hwnd, WM_NOTIFY, kIdEventList, reinterpret_cast<LPARAM>(&click));
    chooser.join();
    REQUIRE(chosen);
    Pump();
    // The child's start row and its three loads.
    CHECK(w.Items() == 4);
    CHECK(w.Status().find(L" | Only process 5150 (child.exe)") != std::wstring::npos);
    CHECK(PauseForScreenshot("list-only-child-process"));

    // The process tree: Enter on the program's node shows it and its child again.
    w.Command(kCmdProcessTree, 0);
    HWND treeWindow = FindOwnWindow(L"Process Tree");
    REQUIRE(treeWindow != nullptr);
    CHECK(TextOf(treeWindow) == L"Process Tree - recording");
    HWND tree = GetWindow(treeWindow, GW_CHILD);
    HTREEITEM root = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
    REQUIRE(root != nullptr);
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(root));
    ListWindow::Key(tree, VK_RETURN);
    CHECK(w.Items() == all);
    CHECK(w.Status().find(L" | Only process 4242 (dropper.exe) and its children") !=
          std::wstring::npos);
    CHECK(PauseForScreenshot("process-tree-enter"));

    // "Show All Processes" from the menu: the tenth entry.
    chosen = false;
    std::thread again(ChooseFromMenu, 10, nullptr, &chosen);
    SendMessageW(w.hwnd, WM_NOTIFY, kIdEventList, reinterpret_cast<LPARAM>(&click));
    again.join();
    REQUIRE(chosen);
    Pump();
    CHECK(w.Status().find(L"Only process") == std::wstring::npos);
    DestroyWindow(treeWindow);
}

TEST_CASE("a refill of the process tree keeps what the user collapsed and selected") {
    ListWindow w;
    w.Record();
    w.Command(kCmdProcessTree, 0);
    HWND treeWindow = FindOwnWindow(L"Process Tree");
    REQUIRE(treeWindow != nullptr);
    HWND tree = GetWindow(treeWindow, GW_CHILD);
    auto next = [&](HTREEITEM item, UINT relation) {
        return reinterpret_cast<HTREEITEM>(
            SendMessageW(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
    };
    auto expanded = [&](HTREEITEM item) {
        return (SendMessageW(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item),
                             TVIS_EXPANDED) &
                TVIS_EXPANDED) != 0;
    };
    HTREEITEM root = next(nullptr, TVGN_ROOT);
    HTREEITEM child = next(root, TVGN_CHILD);
    REQUIRE(child != nullptr);
    CHECK(expanded(root)); // roots open one level at first
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(child));

    // A grandchild starts; the refill adds it under the child and keeps the child selected.
    EventRow row{};
    row.category = kCategoryProcess;
    row.pid = 6000;
    row.parentPid = kChildPid;
    CopyBounded(row.process, kProcessChars, u"grandchild.exe");
    AppendRow(w.app, &row);
    RefreshViewWindows(w.app, false);
    CHECK(SendMessageW(tree, TVM_GETCOUNT, 0, 0) == 3);
    root = next(nullptr, TVGN_ROOT);
    HTREEITEM selected = next(nullptr, TVGN_CARET);
    REQUIRE(selected != nullptr);
    CHECK(next(selected, TVGN_PARENT) == root);
    CHECK(next(selected, TVGN_CHILD) != nullptr); // the grandchild
    CHECK(expanded(root));

    // The user collapses the root (the selection moves up to it); the next refill keeps that.
    SendMessageW(tree, TVM_EXPAND, TVE_COLLAPSE, reinterpret_cast<LPARAM>(root));
    row.pid = 6004;
    AppendRow(w.app, &row);
    RefreshViewWindows(w.app, false);
    CHECK(SendMessageW(tree, TVM_GETCOUNT, 0, 0) == 4);
    root = next(nullptr, TVGN_ROOT);
    CHECK_FALSE(expanded(root));
    CHECK(next(nullptr, TVGN_CARET) == root);
    SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(root));
    CHECK(TextOf(treeWindow) == L"Process Tree - recording");
    CHECK(PauseForScreenshot("process-tree-refilled"));

    // The menu key on the child: its menu's fifth entry copies the child's command line.
    child = next(root, TVGN_CHILD);
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(child));
    bool chosen = false;
    std::thread chooser(ChooseFromMenu, 5, "process-tree-menu", &chosen);
    ListWindow::Key(tree, VK_APPS);
    chooser.join();
    REQUIRE(chosen);
    Pump();
    REQUIRE(OpenClipboard(nullptr));
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    const std::wstring copied =
        data != nullptr ? static_cast<const wchar_t*>(GlobalLock(data)) : L"";
    if (data != nullptr) GlobalUnlock(data);
    CloseClipboard();
    CHECK(copied == L"child.exe /quiet");
    DestroyWindow(treeWindow);
}

TEST_CASE("a cell's text stays intact while the list asks for the next two") {
    ListWindow w;
    w.Record();
    // The list view's own requests, as it sends them to the main window.
    auto request = [&](int item, int column) {
        NMLVDISPINFOW info{};
        info.hdr.hwndFrom = w.List();
        info.hdr.idFrom = kIdEventList;
        info.hdr.code = LVN_GETDISPINFOW;
        info.item.mask = LVIF_TEXT;
        info.item.iItem = item;
        info.item.iSubItem = column;
        SendMessageW(w.hwnd, WM_NOTIFY, kIdEventList, reinterpret_cast<LPARAM>(&info));
        REQUIRE(info.item.pszText != nullptr);
        return static_cast<const wchar_t*>(info.item.pszText);
    };
    const wchar_t* first = request(1, 4);
    const wchar_t* second = request(2, 5);
    CHECK(std::wstring(first) == L"Started child process");
    CHECK(std::wstring(second).rfind(L"C:\\Windows\\System32\\c.dll", 0) == 0);
    // An item that does not exist is left unanswered and does not use up an answer.
    NMLVDISPINFOW missing{};
    missing.hdr = {w.List(), kIdEventList, LVN_GETDISPINFOW};
    missing.item.iItem = 99;
    SendMessageW(w.hwnd, WM_NOTIFY, kIdEventList, reinterpret_cast<LPARAM>(&missing));
    CHECK(missing.item.pszText == nullptr);
    const wchar_t* third = request(0, 0);
    CHECK(std::wstring(second).rfind(L"C:\\Windows\\System32\\c.dll", 0) == 0);
    CHECK(std::wstring(third).size() == 12); // hh:mm:ss.mmm
}
