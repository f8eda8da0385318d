// Sigma rules in the real main window: the menu's items, a rule folder loaded through File >
// "Load Sigma Rules..." and its real folder picker, the Sigma Rules window read back through
// Win32, a double-click showing one rule's rows, and the Rules Matched text.
#include <cstring>
#include <string>
#include <thread>

#include "app/window_commands.h"
#include "app/win32/shell.h" // windows.h first

#include <commctrl.h> // the picker's tree
#include <shlobj.h>   // BFFM_SETSELECTIONW

#include "app/recording_setup.h"
#include "app/list_window_layout.h"
#include "app/view_changes.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "demo/window_driver.h"
#include "doctest.h"
#include "platform/memory.h"
#include "support/watchdog.h"
#include "sigma/sigma.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"
#include "views/sigma_texts.h"
#include "views/view_texts.h"

using namespace olv;
using namespace olv::gui;

namespace {

// Two rules about the DLL rows below (one matches both, one only user32), and a refused file.
const char kUser32Rule[] = "title: User interface library loaded\n"
                           "id: 33333333-0000-0000-0000-000000000001\n"
                           "level: high\n"
                           "logsource: {product: windows, category: image_load}\n"
                           "detection:\n"
                           "    selection:\n"
                           "        ImageLoaded|endswith: '\\user32.dll'\n"
                           "    condition: selection\n";
const char kSystemDllRule[] = "title: System DLL loaded\n"
                              "id: 33333333-0000-0000-0000-000000000002\n"
                              "level: low\n"
                              "logsource: {product: windows, category: image_load}\n"
                              "detection:\n"
                              "    selection:\n"
                              "        ImageLoaded|startswith: 'C:\\Windows\\System32\\'\n"
                              "    condition: selection\n";
const char kRefusedRule[] = "title: Needs a field never recorded\n"
                            "logsource: {product: windows, category: image_load}\n"
                            "detection:\n"
                            "    selection:\n"
                            "        TerminalSessionId: 1\n"
                            "    condition: selection\n";

std::wstring MakeRuleFolder() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"olv-sigma-window-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"\\image").c_str(), nullptr);
    const std::pair<const wchar_t*, const char*> files[] = {
        {L"\\image\\user32.yml", kUser32Rule},
        {L"\\system_dll.yaml", kSystemDllRule},
        {L"\\refused.yml", kRefusedRule},
        {L"\\notes.txt", "not a rule"},
    };
    for (const auto& [name, text] : files) {
        HANDLE file = CreateFileW((folder + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        REQUIRE(file != INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
        CloseHandle(file);
    }
    return folder;
}

void RemoveRuleFolder(const std::wstring& folder) {
    for (const wchar_t* name :
         {L"\\image\\user32.yml", L"\\system_dll.yaml", L"\\refused.yml", L"\\notes.txt"})
        DeleteFileW((folder + name).c_str());
    RemoveDirectoryW((folder + L"\\image").c_str());
    RemoveDirectoryW(folder.c_str());
}

struct SigmaWindow {
    Recording* app = AllocRecord<Recording>();
    HWND hwnd = nullptr;

    SigmaWindow() {
        InitRecording(app);
        REQUIRE(CreateMainWindow(app, GetModuleHandleW(nullptr), SW_SHOWNORMAL, L"Olvetta"));
        hwnd = H(app->window->mainWindow);
        Pump();
    }
    ~SigmaWindow() {
        for (const wchar_t* cls : {L"OlvettaListWindow", L"OlvettaAuxWindow"}) {
            while (HWND w = FindTopWindow(GetCurrentProcessId(), cls)) DestroyWindow(w);
        }
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
        Pump();
        CleanUpRecording(app);
        FreeBlock(app);
    }
    void Command(int id) const {
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, 0), 0);
    }
    void AddDllRow(uint32_t pid, const char16_t* path) const {
        EventRow row{};
        row.category = kCategoryProcess;
        row.pid = pid;
        CopyBounded(row.process, kProcessChars, u"sample.exe");
        CopyBounded(row.operation, kOperationChars, u"Loaded DLL");
        CopyBounded(row.path, kPathChars, path);
        CopyBounded(row.result, kResultChars, u"OK");
        AppendRow(app, &row);
    }
    int Items() const {
        ApplyWindowViewChanges(app); // as the window draws after each operation
        return static_cast<int>(
            SendMessageW(GetDlgItem(hwnd, kIdEventList), LVM_GETITEMCOUNT, 0, 0));
    }
    std::wstring Status() const {
        ApplyWindowViewChanges(app);
        return TextOf(GetDlgItem(hwnd, kIdStatusBar));
    }
    // A cell of the event list, as the list asks for it.
    std::wstring Cell(int item, int column) const {
        char16_t text[kDisplayBufferChars] = {};
        ListDisplayText(app, item, column, text, kDisplayBufferChars);
        return reinterpret_cast<const wchar_t*>(text);
    }
};

// A cell of a list view of this process.
std::wstring CellOf(HWND list, int item, int column) {
    wchar_t text[1024] = {};
    LVITEMW request{};
    request.iSubItem = column;
    request.pszText = text;
    request.cchTextMax = 1024;
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(item),
                 reinterpret_cast<LPARAM>(&request));
    return text;
}

// The text of every item of the menu bar's pop-ups, '\n'-separated.
std::wstring MenuTexts(HWND window) {
    std::wstring all;
    HMENU bar = GetMenu(window);
    for (int m = 0; m < GetMenuItemCount(bar); ++m) {
        HMENU popup = GetSubMenu(bar, m);
        for (int i = 0; i < GetMenuItemCount(popup); ++i) {
            wchar_t text[128] = {};
            GetMenuStringW(popup, static_cast<UINT>(i), text, 128, MF_BYPOSITION);
            all += std::wstring(text) + L"\n";
        }
    }
    return all;
}

bool Has(const std::wstring& text, const std::wstring& piece) {
    return text.find(piece) != std::wstring::npos;
}

} // namespace

TEST_CASE("Sigma rules in the window: load through the folder picker, the Sigma Rules window, "
          "one rule's rows, Rules Matched") {
    TestStep("main window");
    SigmaWindow w;
    const std::wstring menus = MenuTexts(w.hwnd);
    CHECK(Has(menus, L"Load Sigma &Rules...\n"));
    CHECK(Has(menus, L"Export JSON &Lines...\n"));
    CHECK(Has(menus, L"Sigma &Rules\n"));
    w.AddDllRow(500, u"C:\\Windows\\System32\\kernel32.dll");
    w.AddDllRow(500, u"C:\\Windows\\System32\\user32.dll");
    w.AddDllRow(500, u"C:\\Program Files\\Sample\\helper.dll");
    REQUIRE(w.Items() == 3);

    TestStep("File > Load Sigma Rules... through the real folder picker");
    const std::wstring folder = MakeRuleFolder();
    // The picker is modal on this thread: another thread chooses the folder in it (the message
    // that selects a folder by path) and presses OK, then answers the message box that follows
    // (both are "#32770" windows, so one thread takes them in turn).
    BoxSeen seen;
    bool picked = false;
    bool answered = false;
    // The picker lists the shell's folders before it shows, which under Wine on a loaded machine
    // has taken more than the usual wait: this one waits longer (still below the watchdog).
    constexpr DWORD kPickerWaitMs = 150000;
    std::thread helper([&] {
        HWND dialog = WaitForMessageBox(GetCurrentProcessId(), kPickerWaitMs);
        if (dialog == nullptr) return;
        // The dialog is found as soon as it exists, and its own start-up selects its first
        // folder: the selection is set again until the tree shows the rule folder selected.
        const std::wstring leaf = folder.substr(folder.find_last_of(L'\\') + 1);
        bool selected = false;
        for (DWORD waited = 0; !selected && waited < kPickerWaitMs; waited += kStepMs) {
            SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE,
                         reinterpret_cast<LPARAM>(folder.c_str()));
            HWND tree = FindWindowExW(dialog, nullptr, WC_TREEVIEWW, nullptr);
            HTREEITEM item = tree != nullptr ? TreeView_GetSelection(tree) : nullptr;
            wchar_t text[MAX_PATH] = {};
            TVITEMW query{};
            query.mask = TVIF_TEXT;
            query.hItem = item;
            query.pszText = text;
            query.cchTextMax = MAX_PATH;
            selected = item != nullptr && TreeView_GetItem(tree, &query) && leaf == text;
            if (!selected) Sleep(kStepMs);
        }
        if (!selected) { // the picker never showed the folder: the checks below say so
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return;
        }
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        for (DWORD waited = 0; IsWindow(dialog) && waited < kWaitMs; waited += kStepMs)
            Sleep(kStepMs);
        picked = !IsWindow(dialog);
        answered = AnswerMessageBox(GetCurrentProcessId(), IDOK, kWaitMs, &seen);
    });
    w.Command(kCmdLoadSigmaRules);
    helper.join();
    CHECK(picked);
    REQUIRE(answered);
    INFO("message: ", std::string(seen.text.begin(), seen.text.end()));
    CHECK(Has(seen.text, L"Loaded 2 Sigma rules from " + folder + L"."));
    CHECK(Has(seen.text, L"1 file was refused; the Sigma Rules window (View menu) says why."));
    CHECK(Has(seen.text, L"The rules were applied to the 3 rows recorded."));
    CHECK(Has(w.Status(), L"| 2 Sigma rules"));
    CHECK(Has(w.Cell(1, 5), L"User interface library loaded"));

    TestStep("View > Sigma Rules");
    w.Command(kCmdSigmaRules);
    HWND rulesWindow = nullptr;
    REQUIRE(WaitFor("the Sigma Rules window", kWaitMs, [&] {
        rulesWindow = FindTopWindow(GetCurrentProcessId(), L"OlvettaListWindow", L"Sigma Rules");
        return rulesWindow != nullptr;
    }));
    HWND list = FindWindowExW(rulesWindow, nullptr, WC_LISTVIEWW, nullptr);
    REQUIRE(list != nullptr);
    REQUIRE(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 3);
    // The window opens beside or centred on the main window, inside the screen's work area.
    RECT mainRect{}, rulesRect{};
    GetWindowRect(w.hwnd, &mainRect);
    GetWindowRect(rulesWindow, &rulesRect);
    RECT overlap{};
    CHECK((IntersectRect(&overlap, &mainRect, &rulesRect) || rulesRect.left == mainRect.right ||
           rulesRect.right == mainRect.left));
    CHECK((rulesRect.left > 0 || mainRect.left <= 0));
    // Every loaded rule, then the refused file (with the title read before it was refused);
    // found by title, whatever the load order. The last column is the id or the reason.
    const wchar_t* const expected[3][7] = {
        {L"System DLL loaded", L"low", L"image_load", L"2", L"0", L"system_dll.yaml",
         L"33333333-0000-0000-0000-000000000002"},
        {L"User interface library loaded", L"high", L"image_load", L"1", L"0",
         L"image\\user32.yml", L"33333333-0000-0000-0000-000000000001"},
        {L"Needs a field never recorded", L"refused", L"", L"", L"", L"refused.yml",
         L"a field the recorder never fills: "},
    };
    int user32Item = -1;
    for (int item = 0; item < 3; ++item) {
        const std::wstring title = CellOf(list, item, 0);
        const int row = item == 2 ? 2 : title == expected[0][0] ? 0 : 1;
        if (row == 1) user32Item = item;
        for (int column = 0; column < 7; ++column) {
            CAPTURE(item);
            CAPTURE(column);
            if (column == 6 && row == 2) {
                CHECK(Has(CellOf(list, item, column), expected[row][column]));
            } else {
                CHECK(CellOf(list, item, column) == expected[row][column]);
            }
        }
    }
    REQUIRE(user32Item >= 0);
    CHECK(CellOf(list, user32Item, 0) == expected[1][0]);
    HWND headline = GetDlgItem(rulesWindow, kIdListHeadline);
    REQUIRE(headline != nullptr);
    const std::wstring headlineText = TextOf(headline);
    CHECK(Has(headlineText, L"2 Sigma rules loaded from " + folder));
    CHECK(Has(headlineText, L"1 of the 3 files read was refused"));
    CHECK(Has(headlineText, L"0 tests hit the work bound"));
    CHECK(PauseForScreenshot("sigma-rules-window"));

    TestStep("View > Sigma Rules again: the same window, nothing refilled");
    const int redrawnBefore = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    w.Command(kCmdSigmaRules);
    Pump();
    CHECK(FindTopWindow(GetCurrentProcessId(), L"OlvettaListWindow", L"Sigma Rules") == rulesWindow);
    CHECK(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == redrawnBefore);

    TestStep("the Sigma Rules window moved to a 144-DPI monitor and back");
    auto column = [&](int c) {
        return static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, c, 0));
    };
    const int firstWidth = column(0);
    RECT placed{};
    GetWindowRect(rulesWindow, &placed);
    RECT suggested{10, 10, 10 + 900, 10 + 600};
    SendMessageW(rulesWindow, WM_DPICHANGED, MAKEWPARAM(144, 144),
                 reinterpret_cast<LPARAM>(&suggested));
    CHECK(WindowDpi(rulesWindow) == 144);
    RECT now{};
    GetWindowRect(rulesWindow, &now);
    CHECK(EqualRect(&now, &suggested));
    CHECK(column(0) == RescaleForDpi(firstWidth, 96, 144));
    RECT client{}, listPlace{}, headlinePlace{};
    GetClientRect(rulesWindow, &client);
    GetWindowRect(list, &listPlace);
    MapWindowPoints(nullptr, rulesWindow, reinterpret_cast<POINT*>(&listPlace), 2);
    GetWindowRect(GetDlgItem(rulesWindow, kIdListHeadline), &headlinePlace);
    MapWindowPoints(nullptr, rulesWindow, reinterpret_cast<POINT*>(&headlinePlace), 2);
    // The list fills the client below the headline and the search row, at the new DPI.
    CHECK((listPlace.left == 0 && listPlace.right == client.right &&
           listPlace.bottom == client.bottom));
    CHECK(headlinePlace.left == ScaleByDpi(8, 144));
    CHECK(listPlace.top > headlinePlace.bottom + ScaleByDpi(22, 144));
    SendMessageW(rulesWindow, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&placed));
    CHECK(column(0) == firstWidth);
    GetWindowRect(rulesWindow, &now);
    CHECK(EqualRect(&now, &placed));

    TestStep("a double-click on a rule shows only its rows");
    RECT itemRect{};
    itemRect.left = LVIR_BOUNDS;
    REQUIRE(SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(user32Item),
                             reinterpret_cast<LPARAM>(&itemRect)));
    const LPARAM at = MAKELPARAM((itemRect.left + itemRect.right) / 2,
                                 (itemRect.top + itemRect.bottom) / 2);
    SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(list, WM_LBUTTONUP, 0, at);
    SendMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    SendMessageW(list, WM_LBUTTONUP, 0, at);
    REQUIRE(WaitFor("the event list to show the rule's row", kWaitMs, [&] { return w.Items() == 1; }));
    CHECK(Has(w.Cell(0, 5), L"user32.dll"));
    CHECK(Has(w.Status(), L"| Shown: 1 | Only rows of Sigma rule \"User interface library loaded\" "
                          L"(Esc in the list shows all rows)"));
    CHECK(Has(TextOf(headline), L"shows only the rows of \"User interface library loaded\""));
    CHECK(CellOf(list, user32Item, 0) == L"\u00BB User interface library loaded");
    CHECK(PauseForScreenshot("sigma-rule-rows"));

    TestStep("Escape on the event list shows all rows; Enter in the rules list shows one rule's");
    HWND eventList = GetDlgItem(w.hwnd, kIdEventList);
    SetFocus(eventList);
    MSG escape{eventList, WM_KEYDOWN, VK_ESCAPE, 0, 0, {0, 0}};
    CHECK(TranslateShellMessage(&escape));
    CHECK(w.Items() == 3);
    CHECK_FALSE(Has(w.Status(), L"Only rows"));
    SetFocus(list);
    SendMessageW(list, WM_KEYDOWN, VK_RETURN, 0);
    REQUIRE(WaitFor("Enter to show the rule's row", kWaitMs, [&] { return w.Items() == 1; }));
    w.Command(kCmdShowAllRows); // View > Show All Rows
    CHECK(w.Items() == 3);

    TestStep("Ctrl+C copies the focused line; the search box and the choice pick lines");
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_CONTROL] = 0x80;
    SetKeyboardState(keys);
    SendMessageW(list, WM_KEYDOWN, 'C', 0);
    keys[VK_CONTROL] = 0;
    SetKeyboardState(keys);
    std::wstring copied;
    if (OpenClipboard(w.hwnd)) {
        HANDLE data = GetClipboardData(CF_UNICODETEXT);
        const auto* text = static_cast<const wchar_t*>(data != nullptr ? GlobalLock(data) : nullptr);
        if (text != nullptr) copied = text;
        if (data != nullptr) GlobalUnlock(data);
        CloseClipboard();
    }
    CHECK(Has(copied, L"Rule\tLevel\tCategory\tRows\tPossible\tFile\tId or reason\r\n"));
    CHECK(Has(copied, L"User interface library loaded\thigh\timage_load\t1\t0\timage\\user32.yml"));
    HWND search = GetDlgItem(rulesWindow, kIdListSearch);
    REQUIRE(search != nullptr);
    SetWindowTextW(search, L"SYSTEM dll"); // EN_CHANGE
    CHECK(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1);
    CHECK(CellOf(list, 0, 0) == L"System DLL loaded");
    SetWindowTextW(search, L"");
    HWND choice = GetDlgItem(rulesWindow, kIdListChoice);
    REQUIRE(choice != nullptr);
    SendMessageW(choice, CB_SETCURSEL, 3, 0); // "Refused files"
    SendMessageW(rulesWindow, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(choice), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(choice));
    CHECK(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1);
    CHECK(CellOf(list, 0, 1) == L"refused");
    SendMessageW(choice, CB_SETCURSEL, 0, 0);
    SendMessageW(rulesWindow, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(choice), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(choice));
    CHECK(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 3);

    TestStep("the headline is laid out again on every size change");
    for (int show : {SW_MAXIMIZE, SW_RESTORE}) {
        ShowWindow(rulesWindow, show);
        Pump();
        RECT c{}, h{};
        GetClientRect(rulesWindow, &c);
        GetWindowRect(GetDlgItem(rulesWindow, kIdListHeadline), &h);
        CHECK(h.right - h.left == ListWindowHeadlineWidth(c.right, WindowDpi(rulesWindow)));
    }

    TestStep("Tab and Shift+Tab go round search, choice and list; Escape clears, then closes");
    // Keys as the message loop meets them: pressed on the focused control, Shift as held.
    auto press = [](UINT key, bool shift) {
        BYTE held[256] = {};
        GetKeyboardState(held);
        held[VK_SHIFT] = shift ? 0x80 : 0;
        SetKeyboardState(held);
        MSG m{GetFocus(), WM_KEYDOWN, key, 0, 0, {0, 0}};
        const bool taken = TranslateShellMessage(&m);
        held[VK_SHIFT] = 0;
        SetKeyboardState(held);
        return taken;
    };
    SetFocus(search);
    for (HWND next : {choice, list, search}) {
        CHECK(press(VK_TAB, false));
        CHECK(GetFocus() == next);
    }
    for (HWND next : {list, choice, search}) {
        CHECK(press(VK_TAB, true));
        CHECK(GetFocus() == next);
    }
    SetWindowTextW(search, L"SYSTEM dll");
    CHECK(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1);
    CHECK(press(VK_TAB, true)); // from the search box back to the list
    CHECK(GetFocus() == list);
    // The new lines had no focused line; the first one shows where the focus went.
    CHECK(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED) == 0);
    CHECK(UiListWindowNextSelected(rulesWindow, -1) == -1); // focused, not selected
    CHECK(Has(TextOf(GetDlgItem(rulesWindow, kIdListHeadline)), L"Esc clears the search, then closes"));
    CHECK(PauseForScreenshot("sigma-rules-searched-tab"));
    SetFocus(search);
    CHECK(press(VK_ESCAPE, false));
    CHECK(GetWindowTextLengthW(search) == 0);
    CHECK(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 3);
    Pump();
    CHECK(IsWindow(rulesWindow));
    CHECK(press(VK_ESCAPE, false)); // the box is empty now: the window goes
    REQUIRE(WaitFor("Escape in the empty search box to close the Sigma Rules window", kWaitMs,
                    [&] { return !IsWindow(rulesWindow); }));
    w.Command(kCmdSigmaRules);
    REQUIRE(WaitFor("the Sigma Rules window again", kWaitMs, [&] {
        rulesWindow = FindTopWindow(GetCurrentProcessId(), L"OlvettaListWindow", L"Sigma Rules");
        return rulesWindow != nullptr;
    }));
    list = GetDlgItem(rulesWindow, kIdListLines);
    SetFocus(list);
    CHECK(GetFocus() == list);
    CHECK(press(VK_ESCAPE, false));
    REQUIRE(WaitFor("Escape in the list to close the Sigma Rules window", kWaitMs,
                    [&] { return !IsWindow(rulesWindow); }));

    TestStep("Rules Matched of the row");
    ShowRulesMatched(w.app, 1); // the user32 row; what the row menu's "Rules Matched..." runs
    HWND matched = nullptr;
    REQUIRE(WaitFor("the Rules Matched window", kWaitMs, [&] {
        matched = FindTopWindow(GetCurrentProcessId(), L"OlvettaAuxWindow", L"Rules Matched");
        return matched != nullptr;
    }));
    // Beside or over the main window like every auxiliary window, not at the screen's corner.
    RECT matchedRect{}, overMain{};
    GetWindowRect(matched, &matchedRect);
    CHECK((IntersectRect(&overMain, &mainRect, &matchedRect) || matchedRect.left == mainRect.right ||
           matchedRect.right == mainRect.left));
    const std::wstring text = LongTextOf(GetWindow(matched, GW_CHILD));
    CHECK(Has(text, L"Path: C:\\Windows\\System32\\user32.dll\r\n"));
    CHECK(Has(text, L"Built-in rules matched: 0\r\n"));
    CHECK(Has(text, L"Sigma rules matched: 2\r\n"));
    CHECK(Has(text, L"  high           33333333-0000-0000-0000-000000000001   User interface "
                    L"library loaded\r\n"));
    CHECK(Has(text, L"file: image\\user32.yml"));
    CHECK(Has(text, L"  low            33333333-0000-0000-0000-000000000002   System DLL loaded"));
    CHECK(PauseForScreenshot("sigma-rules-matched"));

    TestStep("Clear ends the condition");
    // The rows were never saved, so Clear asks first: Yes.
    BoxSeen question;
    bool cleared = false;
    std::thread answer([&] {
        cleared = AnswerMessageBox(GetCurrentProcessId(), IDYES, kWaitMs, &question);
    });
    w.Command(kIdClearButton);
    answer.join();
    CHECK(cleared);
    CHECK(w.Items() == 0);
    CHECK_FALSE(Has(w.Status(), L"Only rows"));
    RemoveRuleFolder(folder);
}

TEST_CASE("the Sigma Rules window with thousands of rules: opened, reopened, searched, sorted") {
    TestStep("main window and 2,400 rule files, every eighth refused");
    SigmaWindow w;
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    const char* const levels[] = {"informational", "low", "medium", "high", "critical"};
    for (int n = 0; n < 2400; ++n) {
        std::string text = "title: Suspicious library " + std::to_string(n) + " loaded from a "
                           "user folder by a program that should not load it\n";
        text += "id: 44444444-0000-0000-0000-" + std::to_string(100000000000 + n) + "\n";
        text += "level: " + std::string(levels[n % 5]) + "\n";
        text += n % 8 == 7 ? "logsource: {product: linux, category: image_load}\n"
                           : "logsource: {product: windows, category: image_load}\n";
        text += "detection:\n    selection:\n        ImageLoaded|endswith: '\\lib" +
                std::to_string(n) + ".dll'\n    condition: selection\n";
        const std::string file = "windows\\image_load\\image_load_lib_" + std::to_string(n) + ".yml";
        std::u16string name(file.begin(), file.end());
        AddSigmaRuleText(set, text.data(), text.size(), name.c_str());
    }
    REQUIRE(InstallSigmaRules(w.app, set));
    for (int n = 0; n < 40; ++n) {
        const std::u16string path = u"C:\\Users\\an\\lib" + std::u16string(1, u'0' + n % 10) + u".dll";
        w.AddDllRow(600, path.c_str());
    }

    TestStep("View > Sigma Rules, then again while open");
    w.Command(kCmdSigmaRules);
    HWND rulesWindow = nullptr;
    REQUIRE(WaitFor("the Sigma Rules window", kWaitMs, [&] {
        rulesWindow = FindTopWindow(GetCurrentProcessId(), L"OlvettaListWindow", L"Sigma Rules");
        return rulesWindow != nullptr;
    }));
    HWND list = FindWindowExW(rulesWindow, nullptr, WC_LISTVIEWW, nullptr);
    REQUIRE(list != nullptr);
    CHECK(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 2400);
    const DWORD before = GetTickCount();
    for (int k = 0; k < 20; ++k)
        w.Command(kCmdSigmaRules);
    // A reopening only brings the window forward (it took minutes when it refilled the list).
    CHECK(GetTickCount() - before < 5000);
    CHECK(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 2400);
    CHECK(PauseForScreenshot("sigma-rules-thousands"));

    TestStep("a click on the Rows heading puts the rules that matched first");
    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    REQUIRE(header != nullptr);
    RECT rowsHeading{};
    SendMessageW(header, HDM_GETITEMRECT, 3, reinterpret_cast<LPARAM>(&rowsHeading));
    const LPARAM at = MAKELPARAM((rowsHeading.left + rowsHeading.right) / 2,
                                 (rowsHeading.top + rowsHeading.bottom) / 2);
    SendMessageW(header, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(header, WM_LBUTTONUP, 0, at);
    Pump();
    CHECK(CellOf(list, 0, 3) == L"4");
    CHECK(Has(CellOf(list, 0, 0), L"Suspicious library "));
    CHECK(PauseForScreenshot("sigma-rules-by-rows"));

    TestStep("the search box picks lines as it is typed");
    HWND search = GetDlgItem(rulesWindow, kIdListSearch);
    REQUIRE(search != nullptr);
    SetWindowTextW(search, L"library 123 ");
    CHECK(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1);
    CHECK(PauseForScreenshot("sigma-rules-searched"));
}
