// Loading a Sigma rule folder in the real window: the folder is read on a worker while the
// progress window shows how far it is, the main window is disabled and ignores what is posted to
// it, the status bar says a load runs; Cancel (a posted click) keeps the rules loaded before.
// Screenshot: sigma-load-progress.
#include <string>

#include "app/win32/shell.h" // windows.h first

#include "app/recording_setup.h"
#include "app/sigma_commands.h"
#include "app/window_layout.h"
#include "demo/window_driver.h"
#include "doctest.h"
#include "platform/memory.h"
#include "sigma/sigma.h"
#include "views/sigma_rows.h"

using namespace olv;
using namespace olv::gui;

namespace {

constexpr UINT kWmWatch = WM_APP + 41; // to the watcher: the load's first step is under way

const char kRule[] = "title: Executable written into Temp\nlevel: high\n"
                     "logsource: {product: windows, category: file_event}\n"
                     "detection:\n    sel:\n        TargetFilename|contains: '\\Temp\\'\n"
                     "    condition: sel\n";

// A folder of count copies of one rule file, in the temporary folder.
std::wstring MakeRuleFolder(const wchar_t* name, int count) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"olv-sigma-load-" + name + L"-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(path.c_str(), nullptr);
    for (int i = 0; i < count; ++i) {
        HANDLE file = CreateFileW((path + L"\\r" + std::to_wstring(i) + L".yml").c_str(), GENERIC_WRITE, 0,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, kRule, sizeof kRule - 1, &written, nullptr);
        CloseHandle(file);
    }
    return path;
}

void RemoveRuleFolder(const std::wstring& path, int count) {
    for (int i = 0; i < count; ++i)
        DeleteFileW((path + L"\\r" + std::to_wstring(i) + L".yml").c_str());
    RemoveDirectoryW(path.c_str());
}

// What the watcher saw in the load's first step, on the window thread.
struct Seen {
    HWND main = nullptr;
    bool found = false;
    std::wstring title, text, cancelText, status;
    bool mainEnabled = true;
    int rangeHigh = -1;
};
Seen gSeen;

LRESULT CALLBACK WatcherProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kWmWatch) return DefWindowProcW(window, message, wParam, lParam);
    HWND progress = FindTopWindow(GetCurrentProcessId(), L"OlvettaProgressWindow");
    gSeen.found = progress != nullptr;
    if (progress == nullptr) return 0;
    gSeen.title = TextOf(progress);
    gSeen.text = TextOf(GetDlgItem(progress, kIdProgressText));
    gSeen.cancelText = TextOf(GetDlgItem(progress, kIdProgressCancel));
    gSeen.rangeHigh = static_cast<int>(SendMessageW(GetDlgItem(progress, kIdProgressBar), PBM_GETRANGE, FALSE, 0));
    gSeen.status = TextOf(GetDlgItem(gSeen.main, kIdStatusBar));
    gSeen.mainEnabled = IsWindowEnabled(gSeen.main) != FALSE;
    SetWindowPos(progress, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    UpdateWindow(progress);
    CHECK(PauseForScreenshot("sigma-load-progress"));
    // What a person could still send the main window meanwhile: ignored while it loads.
    PostMessageW(gSeen.main, WM_COMMAND, MAKEWPARAM(kIdClearButton, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(gSeen.main, kIdClearButton)));
    PostMessageW(gSeen.main, WM_COMMAND, MAKEWPARAM(kCmdLoadSigmaRules, 0), 0);
    PostMessageW(gSeen.main, WM_CLOSE, 0, 0);
    PostMessageW(progress, WM_COMMAND, MAKEWPARAM(kIdProgressCancel, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(progress, kIdProgressCancel)));
    return 0;
}

struct LoadWindow {
    Recording* app = AllocRecord<Recording>();
    HWND hwnd = nullptr;
    HWND watcher = nullptr;
    LoadWindow() {
        InitRecording(app);
        REQUIRE(CreateMainWindow(app, GetModuleHandleW(nullptr), SW_SHOWNORMAL, L"Olvetta"));
        hwnd = H(app->window->mainWindow);
        WNDCLASSW wc{};
        wc.lpfnWndProc = WatcherProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"OlvSigmaLoadWatcher";
        RegisterClassW(&wc); // a class left by an earlier case is the same class
        watcher = CreateWindowExW(0, L"OlvSigmaLoadWatcher", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, wc.hInstance, nullptr);
        REQUIRE(watcher != nullptr);
        Pump();
        gSeen = Seen{};
        gSeen.main = hwnd;
    }
    ~LoadWindow() {
        DestroyWindow(watcher);
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
        Pump();
        CleanUpRecording(app);
        FreeBlock(app);
    }
    std::wstring Status() const { return TextOf(GetDlgItem(hwnd, kIdStatusBar)); }
};

bool Has(const std::wstring& text, const std::wstring& piece) {
    return text.find(piece) != std::wstring::npos;
}

} // namespace

TEST_CASE("a Sigma load on a worker: its progress window, and Cancel keeps the rules loaded before") {
    LoadWindow w;
    const std::wstring first = MakeRuleFolder(L"first", 3);
    const std::wstring second = MakeRuleFolder(L"second", 200);
    auto text = [](const std::wstring& path) { return reinterpret_cast<const char16_t*>(path.c_str()); };
    REQUIRE(LoadSigmaRulesFromFolder(w.app, text(first), true));
    Pump();
    CHECK(Has(w.Status(), L"| 3 Sigma rules, 0 files refused"));

    // The watcher looks in the first step, posts a clear, a second load and a close to the main
    // window, then presses Cancel.
    PostMessageW(w.watcher, kWmWatch, 0, 0);
    BoxSeen box;
    bool loaded = true;
    REQUIRE(WithMessageBoxAnswered(IDOK, kWaitMs, &box, [&] {
        loaded = LoadSigmaRulesFromFolder(w.app, text(second), false);
    }));
    Pump();
    CHECK_FALSE(loaded);
    CHECK(gSeen.found);
    CHECK(gSeen.title == L"Loading Sigma rules");
    CHECK(gSeen.text.rfind(L"Read", 0) == 0);
    CHECK(gSeen.rangeHigh == 1000);
    CHECK(gSeen.cancelText == L"Cancel");
    CHECK_FALSE(gSeen.mainEnabled);
    CHECK(Has(gSeen.status, L"| 3 Sigma rules, 0 files refused, 0 rows raised | Loading Sigma rules: Read"));
    CHECK(box.text == L"Loading the Sigma rules was cancelled. The rules loaded before are unchanged.");
    CHECK(box.hadOwner);
    CHECK(SigmaRuleCount(LoadedSigmaRules(w.app)) == 3);
    CHECK(Has(w.Status(), L"| 3 Sigma rules, 0 files refused"));
    CHECK_FALSE(Has(w.Status(), L"Loading"));
    CHECK(IsWindow(w.hwnd)); // the close posted meanwhile was ignored
    CHECK(IsWindowEnabled(w.hwnd));
    CHECK(FindTopWindow(GetCurrentProcessId(), L"OlvettaProgressWindow") == nullptr);
    RemoveRuleFolder(first, 3);
    RemoveRuleFolder(second, 200);
}
