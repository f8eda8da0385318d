// A hostile session in the real windows: names with bidirectional controls and line breaks show
// as marks in the list, the status bar, the process tree and the summary; the filter box takes
// no more than the filter uses. Screenshot: hostile-session-list-summary.
#include <cstring>
#include <string>

#include "app/window_commands.h"
#include "app/win32/shell.h" // windows.h first

#include "app/view_changes.h"
#include "app/window_layout.h"
#include "base/reveal_text.h"
#include "base/text.h"
#include "doctest.h"
#include "demo/window_driver.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "platform/memory.h"
#include "record/recording_info.h"
#include "views/process_tree.h"
#include "views/row_store.h"
#include "report/summary.h"
#include "views/view_texts.h"

using namespace olv;
using namespace olv::gui;

namespace {

EventRow HostileRow(uint32_t category, uint32_t pid, uint32_t parentPid, const char16_t* operation,
                    const char16_t* path, const char16_t* detail = u"",
                    const char16_t* threat = u"", uint32_t severity = 0) {
    EventRow row{};
    row.time = SystemTime{2026, 3, 2, 5, 14, 7, 9, 123};
    row.category = category;
    row.pid = pid;
    row.parentPid = parentPid;
    row.severity = severity;
    CopyBounded(row.operation, kOperationChars, operation);
    CopyBounded(row.path, kPathChars, path);
    CopyBounded(row.detail, kDetailChars, detail);
    CopyBounded(row.threat, kThreatChars, threat);
    CopyBounded(row.result, kResultChars, u"OK");
    CopyBounded(row.process, kProcessChars, pid == 4242 ? u"evil\u202Eexe.txt" : u"child\u202Bx.exe");
    return row;
}

// A version-2 session file of hostile rows, written as a sample's recording would be saved.
std::wstring WriteHostileSession() {
    const EventRow rows[] = {
        HostileRow(kCategoryProcess, 4242, 7, u"Started process", u"C:\\Samples\\evil\u202Eexe.txt"),
        HostileRow(kCategoryFile, 4242, 0, u"Wrote file", u"C:\\Users\\a\\Invoice\u202Efdp.exe",
                   u"Size: 4096 \u2067hidden\u2069", u"Executable written \u202Eot", 3),
        HostileRow(kCategoryRegistry, 4242, 0, u"Set value",
                   u"HKCU\\Software\\Run\r\n[Most touched files]\r\n    999  C:\\forged"),
        HostileRow(kCategoryNetwork, 4242, 0, u"DNS query", u"evil\u200F.tk"),
        HostileRow(kCategoryProcess, 5000, 4242, u"Started child process", u"C:\\child\u202Bx.exe"),
    };
    RecordingInfo info{};
    info.blockSize = kRecordingInfoSize;
    info.toolVersion = kToolVersion;
    info.windowsMajor = 10;
    info.windowsBuildNumber = 19045;
    info.utcBias = -60;
    info.started = SystemTime{2026, 3, 2, 5, 14, 7, 9, 123};
    info.stopped = SystemTime{2026, 3, 2, 5, 14, 9, 1, 456};
    CopyBounded(info.target, 520, u"C:\\Samples\\evil\u202Eexe.txt");
    CopyBounded(info.tool, 64, u"Olvetta");
    const uint32_t header[] = {0x53564C4F, kSessionVersion, kSessionRecordSize,
                               static_cast<uint32_t>(sizeof rows / sizeof rows[0])};

    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + L"olv-hostile-" +
                              std::to_wstring(GetCurrentProcessId()) + L".ols";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE);
    DWORD written = 0;
    bool ok = WriteFile(file, header, sizeof header, &written, nullptr) != FALSE;
    ok = ok && WriteFile(file, &info, sizeof info, &written, nullptr) != FALSE;
    ok = ok && WriteFile(file, rows, sizeof rows, &written, nullptr) != FALSE;
    CloseHandle(file);
    REQUIRE(ok);
    return path;
}

bool HasHiddenChar(const std::wstring& text) {
    for (wchar_t c : text) {
        if (IsHiddenFormatChar(static_cast<uint16_t>(c))) return true;
    }
    return false;
}

struct HostileWindow {
    Recording* app = AllocRecord<Recording>();
    HWND hwnd = nullptr;
    std::wstring session = WriteHostileSession();
    HostileWindow() {
        InitRecording(app);
        REQUIRE(CreateMainWindow(app, GetModuleHandleW(nullptr), SW_SHOWNORMAL, L"Olvetta"));
        hwnd = H(app->window->mainWindow);
        Pump();
    }
    ~HostileWindow() {
        for (const wchar_t* title : {L"Summary", L"Process Tree"}) {
            HWND window = FindTopWindow(GetCurrentProcessId(), L"OlvettaAuxWindow", title);
            if (window != nullptr) DestroyWindow(window);
        }
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
        Pump();
        CleanUpRecording(app);
        FreeBlock(app);
        DeleteFileW(session.c_str());
    }
    HWND Control(int id) const { return GetDlgItem(hwnd, id); }
    int Items() const {
        ApplyWindowViewChanges(app); // as the window draws after each operation
        return static_cast<int>(SendMessageW(Control(kIdEventList), LVM_GETITEMCOUNT, 0, 0));
    }
    std::wstring Cell(int item, int column) const {
        static wchar_t text[kDisplayBufferChars];
        text[0] = 0;
        LVITEMW request{};
        request.iSubItem = column;
        request.pszText = text;
        request.cchTextMax = kDisplayBufferChars;
        SendMessageW(Control(kIdEventList), LVM_GETITEMTEXTW, static_cast<WPARAM>(item),
                     reinterpret_cast<LPARAM>(&request));
        return text;
    }
};

std::wstring TreeItemText(HWND tree, HTREEITEM item) {
    wchar_t text[kProcessTreeItemChars] = {};
    TVITEMW request{};
    request.mask = TVIF_TEXT;
    request.hItem = item;
    request.pszText = text;
    request.cchTextMax = kProcessTreeItemChars;
    SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&request));
    return text;
}

} // namespace

TEST_CASE("a hostile session shows its hidden characters as marks in every window") {
    HostileWindow w;
    REQUIRE(OpenSessionFromPath(w.app, reinterpret_cast<const char16_t*>(w.session.c_str())));
    Pump();
    REQUIRE(w.Items() == 5);

    // The list: marks where the controls were, and no control left in any cell.
    CHECK(w.Cell(1, 2) == L"4242 (evil[U+202E]exe.txt)");
    CHECK(w.Cell(1, 5) == L"C:\\Users\\a\\Invoice[U+202E]fdp.exe | Size: 4096 [U+2067]hidden"
                          L"[U+2069]  \u26A0 Executable written [U+202E]ot");
    CHECK(w.Cell(3, 5) == L"evil[U+200F].tk");
    for (int item = 0; item < 5; ++item) {
        for (int column = 0; column < kListColumnCount; ++column) {
            CAPTURE(item);
            CAPTURE(column);
            CHECK_FALSE(HasHiddenChar(w.Cell(item, column)));
        }
    }
    CHECK_FALSE(HasHiddenChar(TextOf(w.Control(kIdStatusBar))));

    // The filter box takes 255 characters of a 10,000-character paste, and filters by them.
    const std::wstring paste(10000, L'x');
    SendMessageW(w.Control(kIdFilterEdit), EM_REPLACESEL, TRUE,
                 reinterpret_cast<LPARAM>(paste.c_str()));
    CHECK(GetWindowTextLengthW(w.Control(kIdFilterEdit)) == static_cast<int>(kFilterTextChars));
    CHECK(w.Items() == 0);
    SetWindowTextW(w.Control(kIdFilterEdit), L"");
    CHECK(w.Items() == 5);

    // The process tree.
    ShowProcessTreeWindow(w.app);
    HWND treeWindow = FindTopWindow(GetCurrentProcessId(), L"OlvettaAuxWindow");
    REQUIRE(treeWindow != nullptr);
    CHECK(TextOf(treeWindow).rfind(L"Process Tree - session ", 0) == 0); // the session it shows
    HWND tree = GetWindow(treeWindow, GW_CHILD);
    HTREEITEM root =
        reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
    CHECK(TreeItemText(tree, root) == L"evil[U+202E]exe.txt (PID: 4242)");
    HTREEITEM child = reinterpret_cast<HTREEITEM>(
        SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(root)));
    CHECK(TreeItemText(tree, child) == L"child[U+202B]x.exe (PID: 5000)");
    DestroyWindow(treeWindow);

    // The summary: a forged line stays on its own, controls show as marks.
    ShowSummaryWindow(w.app);
    HWND summary = FindTopWindow(GetCurrentProcessId(), L"OlvettaAuxWindow");
    REQUIRE(summary != nullptr);
    CHECK(TextOf(summary).rfind(L"Summary - session ", 0) == 0);
    const std::wstring text = LongTextOf(GetWindow(summary, GW_CHILD));
    CHECK(text.find(L"[Most touched files]\r\n      1  C:\\Users\\a\\Invoice[U+202E]fdp.exe\r\n") !=
          std::wstring::npos);
    CHECK(text.find(L"      1  HKCU\\Software\\Run  [Most touched files]      999  C:\\forged\r\n") !=
          std::wstring::npos);
    CHECK(text.find(L"Program examined: C:\\Samples\\evil[U+202E]exe.txt\r\n") != std::wstring::npos);
    CHECK_FALSE(HasHiddenChar(text));

    // Both side by side for the screenshot: the list left, the summary right.
    SetWindowPos(w.hwnd, nullptr, 0, 0, 900, 560, SWP_NOZORDER);
    SetWindowPos(summary, HWND_TOP, 540, 300, 720, 640, 0);
    ListView_SetColumnWidth(w.Control(kIdEventList), kPathColumn, 520);
    CHECK(PauseForScreenshot("hostile-session-list-summary"));
}
