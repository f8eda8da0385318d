// Opening a large session in the real window: the progress window shows how far the read is,
// the main window is disabled and ignores what is posted to it meanwhile, and the progress
// window's Cancel button (pressed by a posted WM_COMMAND, as a person's click arrives) stops the
// read and keeps the rows that were open. Screenshot: session-progress-reading.
#include <string>

#include "app/win32/shell.h" // windows.h first

#include "app/view_changes.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "demo/window_driver.h"
#include "doctest.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "platform/memory.h"
#include "record/recording_info.h"
#include "record/stored_rows.h"

using namespace olv;
using namespace olv::gui;

namespace {

constexpr uint32_t kBigRows = 320000;  // about 1 GB of rows: 16 pieces of 64 MiB, sparse on disk
constexpr uint32_t kCancelAtStep = 4;  // the step during which Cancel is pressed
constexpr UINT kWmWatch = WM_APP + 40; // to the watcher: the progress window has shown a step

std::wstring TempSessionPath(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + L"olv-progress-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           name + L".ols";
}

// A version-2 session whose header promises rowCount rows; the first `written` rows are real
// rows (a Process row each), the rest of the file is left sparse (zero rows).
std::wstring WriteSession(const wchar_t* name, uint32_t rowCount, uint32_t written) {
    RecordingInfo info{};
    info.blockSize = kRecordingInfoSize;
    info.toolVersion = kToolVersion;
    info.windowsMajor = 10;
    info.started = SystemTime{2026, 3, 2, 5, 14, 7, 9, 123};
    info.stopped = SystemTime{2026, 3, 2, 5, 14, 9, 1, 456};
    CopyBounded(info.tool, 64, u"Olvetta");
    const uint32_t header[] = {0x53564C4F, kSessionVersion, kSessionRecordSize, rowCount};
    const std::wstring path = TempSessionPath(name);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE);
    DWORD done = 0;
    bool ok = WriteFile(file, header, sizeof header, &done, nullptr) != FALSE;
    ok = ok && WriteFile(file, &info, sizeof info, &done, nullptr) != FALSE;
    for (uint32_t i = 0; ok && i < written; ++i) {
        EventRow row{};
        row.time = info.started;
        row.category = kCategoryProcess;
        row.pid = 100 + i;
        CopyBounded(row.operation, kOperationChars, u"Process Start");
        CopyBounded(row.path, kPathChars, u"C:\\Windows\\System32\\kept.exe");
        CopyBounded(row.result, kResultChars, u"OK");
        ok = WriteFile(file, &row, sizeof row, &done, nullptr) != FALSE;
    }
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(sizeof header + sizeof info) +
                   static_cast<LONGLONG>(rowCount) * kSessionRecordSize;
    ok = ok && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) != FALSE &&
         SetEndOfFile(file) != FALSE;
    CloseHandle(file);
    REQUIRE(ok);
    return path;
}

// What the watcher saw during the read, on the window thread, between two pieces.
struct Seen {
    HWND main = nullptr;
    HWND progress = nullptr;
    uint32_t steps = 0;
    std::wstring title, text, cancelText;
    int position = -1, rangeHigh = -1;
    bool mainEnabled = true;
    bool cancelPosted = false;
};
Seen gSeen;
WNDPROC gStaticProc = nullptr;

// The progress text's procedure, seen first: every step sets the text once. At the step chosen
// it asks the watcher to look, after the text is in place.
LRESULT CALLBACK WatchText(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
    const LRESULT result = CallWindowProcW(gStaticProc, control, message, wParam, lParam);
    if (message == WM_SETTEXT && ++gSeen.steps == kCancelAtStep) {
        HWND watcher = FindWindowExW(HWND_MESSAGE, nullptr, L"OlvProgressWatcher", nullptr);
        PostMessageW(watcher, kWmWatch, 0, 0);
    }
    return result;
}

// The watcher: a message-only window of the test, reached by the progress window's message pump.
LRESULT CALLBACK WatcherProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kWmWatch) return DefWindowProcW(window, message, wParam, lParam);
    if (wParam == 1) { // the read's first step: watch the progress text from now on
        gSeen.progress = FindTopWindow(GetCurrentProcessId(), L"OlvettaProgressWindow");
        HWND text =
            gSeen.progress != nullptr ? GetDlgItem(gSeen.progress, kIdProgressText) : nullptr;
        if (text != nullptr) {
            gSeen.steps = 1;
            gStaticProc = reinterpret_cast<WNDPROC>(
                SetWindowLongPtrW(text, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WatchText)));
        }
        return 0;
    }
    HWND progress = gSeen.progress;
    gSeen.title = TextOf(progress);
    gSeen.text = TextOf(GetDlgItem(progress, kIdProgressText));
    gSeen.cancelText = TextOf(GetDlgItem(progress, kIdProgressCancel));
    HWND bar = GetDlgItem(progress, kIdProgressBar);
    gSeen.position = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
    gSeen.rangeHigh = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    gSeen.mainEnabled = IsWindowEnabled(gSeen.main) != FALSE;
    SetWindowPos(progress, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    UpdateWindow(progress);
    CHECK(PauseForScreenshot("session-progress-reading"));

    // What a person could still send the main window meanwhile: ignored while it reads.
    PostMessageW(gSeen.main, WM_COMMAND, MAKEWPARAM(kIdClearButton, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(gSeen.main, kIdClearButton)));
    PostMessageW(gSeen.main, WM_COMMAND, MAKEWPARAM(kCmdOpenSession, 0), 0);
    PostMessageW(gSeen.main, WM_CLOSE, 0, 0);
    // Cancel, as a click on it arrives.
    HWND cancel = GetDlgItem(progress, kIdProgressCancel);
    gSeen.cancelPosted =
        PostMessageW(progress, WM_COMMAND, MAKEWPARAM(kIdProgressCancel, BN_CLICKED),
                     reinterpret_cast<LPARAM>(cancel)) != FALSE;
    return 0;
}

struct ProgressWindowTest {
    Recording* app = AllocRecord<Recording>();
    HWND hwnd = nullptr;
    HWND watcher = nullptr;
    std::wstring kept = WriteSession(L"kept", 3, 3);
    std::wstring big;
    ProgressWindowTest() {
        InitRecording(app);
        REQUIRE(CreateMainWindow(app, GetModuleHandleW(nullptr), SW_SHOWNORMAL, L"Olvetta"));
        hwnd = H(app->window->mainWindow);
        WNDCLASSW wc{};
        wc.lpfnWndProc = WatcherProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"OlvProgressWatcher";
        RegisterClassW(&wc); // a class left by an earlier case is the same class
        watcher = CreateWindowExW(0, L"OlvProgressWatcher", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, wc.hInstance, nullptr);
        REQUIRE(watcher != nullptr);
        Pump();
        gSeen = Seen{};
        gSeen.main = hwnd;
    }
    ~ProgressWindowTest() {
        SetAvailableMemoryOverride(0);
        SetSessionReadPieceRows(0);
        DestroyWindow(watcher);
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
        Pump();
        CleanUpRecording(app);
        FreeBlock(app);
        DeleteFileW(kept.c_str());
        if (!big.empty()) DeleteFileW(big.c_str());
    }
    HWND Control(int id) const { return GetDlgItem(hwnd, id); }
    int Items() const {
        ApplyWindowViewChanges(app); // as the window draws after each operation
        return static_cast<int>(SendMessageW(Control(kIdEventList), LVM_GETITEMCOUNT, 0, 0));
    }
    bool Open(const std::wstring& path) {
        return OpenSessionFromPath(app, reinterpret_cast<const char16_t*>(path.c_str()));
    }
};

} // namespace

TEST_CASE("the progress window's Cancel stops a large read and keeps the rows that were open") {
    ProgressWindowTest t;
    REQUIRE(t.Open(t.kept));
    Pump();
    REQUIRE(t.Items() == 3);
    const std::wstring statusBefore = TextOf(t.Control(kIdStatusBar));

    t.big = WriteSession(L"big", kBigRows, 0);
    SetAvailableMemoryOverride(64ull * 1024 * 1024 * 1024); // whatever this machine has free
    const int64_t liveBefore = LiveAllocationCount();
    PostMessageW(t.watcher, kWmWatch, 1, 0); // reaches the watcher in the read's first step
    BoxSeen box;
    bool opened = true;
    REQUIRE(WithMessageBoxAnswered(IDOK, kWaitMs, &box, [&] { opened = t.Open(t.big); }));

    // What the progress window showed at the fourth of sixteen pieces.
    CHECK(gSeen.steps == kCancelAtStep);
    CHECK(gSeen.title == L"Opening session");
    CHECK(gSeen.text == L"Reading session: 82,440 of 320,000 rows");
    CHECK(gSeen.position == 82440);
    CHECK(gSeen.rangeHigh == static_cast<int>(kBigRows));
    CHECK(gSeen.cancelText == L"Cancel");
    CHECK_FALSE(gSeen.mainEnabled);
    CHECK(gSeen.cancelPosted);

    // Cancelled: nothing of the big session, the three rows as they were, the window usable.
    CHECK_FALSE(opened);
    CHECK(box.text == L"Opening the session was cancelled after 82,440 of 320,000 rows had been "
                      L"read. Nothing of it was kept; what was already open has been left as it "
                      L"was.\n\nFile: " +
                          t.big);
    CHECK(LiveAllocationCount() == liveBefore);
    CHECK(IsWindow(t.hwnd)); // the posted WM_CLOSE was ignored
    CHECK(IsWindowEnabled(t.hwnd));
    CHECK_FALSE(IsWindow(gSeen.progress));
    CHECK(t.app->sessionReading == 0);
    Pump();
    CHECK(t.Items() == 3);
    CHECK(t.app->rowCount == 3);
    CHECK(StoredPid(t.app, 2) == 102);
    CHECK(TextOf(t.Control(kIdStatusBar)) == statusBefore);
}

TEST_CASE("a session of several pieces read to its end through the progress window opens whole") {
    ProgressWindowTest t;
    REQUIRE(t.Open(t.kept));
    t.big = WriteSession(L"whole", 5000, 5000);
    SetSessionReadPieceRows(1000); // five pieces of a small file
    REQUIRE(t.Open(t.big));
    Pump();
    CHECK(t.Items() == 5000);
    CHECK(StoredPid(t.app, 4999) == 5099);
    CHECK(IsWindowEnabled(t.hwnd));
    CHECK(FindTopWindow(GetCurrentProcessId(), L"OlvettaProgressWindow") == nullptr);
}
