// The Windows console of olvetta-cli and its demonstration twin: the wide command line, lines to
// a console (as UTF-16) or to a pipe or file (as UTF-8), and Ctrl+C, Ctrl+Break, the closing of
// the console and the end of the session turned into the front end's stop requests.
#include <windows.h>

#include <shellapi.h>

#include "base/text.h"
#include "cli/cli_console.h"
#include "cli/cli_text.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t));

namespace olv {

namespace {

constexpr DWORD kModulePathChars = 32768;
// The system ends the process about five seconds after a close event reaches the handler; the
// handler waits a little less for the files to be written.
constexpr DWORD kCloseWaitMs = 4500;

const wchar_t* W(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

void WriteLine(void*, int stream, const char16_t* text) {
    HANDLE out = GetStdHandle(stream == kCliStdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    const DWORD length = static_cast<DWORD>(TextLength(text));
    DWORD mode = 0, done = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, W(text), length, &done, nullptr);
        WriteConsoleW(out, L"\r\n", 2, &done, nullptr);
        return;
    }
    // A pipe or a file: UTF-8, which every reader of a pipeline takes.
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, W(text), static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    char* utf8 =
        bytes > 0 ? static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, bytes + 2)) : nullptr;
    if (utf8 != nullptr) {
        WideCharToMultiByte(CP_UTF8, 0, W(text), static_cast<int>(length), utf8, bytes, nullptr,
                            nullptr);
        utf8[bytes] = '\r';
        utf8[bytes + 1] = '\n';
        WriteFile(out, utf8, static_cast<DWORD>(bytes + 2), &done, nullptr);
        HeapFree(GetProcessHeap(), 0, utf8);
    } else {
        WriteFile(out, "\r\n", 2, &done, nullptr);
    }
}

// Runs on a thread the system makes for each event.
BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        RequestCliStop();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The process ends when this returns: stop cleanly and wait for the files.
        EndCliBeforeExit(kCloseWaitMs, kCloseWaitMs);
        return TRUE;
    default:
        return FALSE;
    }
}

// Log-off and shut-down. A console program that loads user32 (this one does) is sent no
// CTRL_LOGOFF_EVENT or CTRL_SHUTDOWN_EVENT: the session's end comes as WM_QUERYENDSESSION and
// WM_ENDSESSION, to top-level windows only (a message-only window gets neither). A hidden
// top-level window on a thread of its own takes them as a Ctrl+C: the first stops the recording
// cleanly; the second, when the session really ends, holds the end until the record is written
// (the system shows the reason meanwhile) and then lets the exports go on while time remains,
// since the process may be ended as soon as it returns.
const wchar_t kSessionWindowClass[] = L"OlvettaCliSessionEnd";
constexpr DWORD kRecordWaitMs = 20000;

LRESULT CALLBACK SessionWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_QUERYENDSESSION:
        RequestCliEnd();
        return TRUE;
    case WM_ENDSESSION:
        if (wParam != FALSE) {
            const bool reason =
                ShutdownBlockReasonCreate(hwnd, L"Olvetta is saving the recording.") != FALSE;
            EndCliBeforeExit(kRecordWaitMs, kCloseWaitMs);
            if (reason) ShutdownBlockReasonDestroy(hwnd);
        }
        return 0;
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

DWORD WINAPI SessionWindowThread(void*) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = SessionWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kSessionWindowClass;
    if (RegisterClassExW(&wc) == 0) return 0;
    // Top-level, never shown, off the task bar.
    HWND hwnd = CreateWindowExW(WS_EX_TOOLWINDOW, kSessionWindowClass, L"olvetta-cli", WS_POPUP, 0,
                                0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    if (hwnd == nullptr) return 0;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}

// Only a recording needs the window: analyze writes each file whole or not at all and can be
// run again, and the hidden helper verbs, --help, --version and usage errors write nothing.
void WatchSessionEnd(int argc, wchar_t** argv) {
    bool records = false;
    for (int i = 1; i < argc && !records; ++i)
        records = lstrcmpW(argv[i], L"record") == 0 || lstrcmpW(argv[i], L"selftest") == 0;
    if (!records || lstrcmpW(argv[1], L"--selftest-helper") == 0) return;
    HANDLE thread = CreateThread(nullptr, 0, SessionWindowThread, nullptr, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread); // it lives as long as the process
}

} // namespace

int RunConsoleProgram(int, char**, CliPlatform* platform) {
    static wchar_t executable[kModulePathChars];
    static wchar_t folder[kModulePathChars];
    static wchar_t temp[kModulePathChars];
    const DWORD n = GetModuleFileNameW(nullptr, executable, kModulePathChars);
    if (n == 0 || n >= kModulePathChars) executable[0] = 0;
    lstrcpynW(folder, executable, kModulePathChars);
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (slash != nullptr) *slash = 0;
    const DWORD t = GetTempPathW(kModulePathChars, temp);
    if (t == 0 || t >= kModulePathChars) lstrcpynW(temp, L".", kModulePathChars);
    // The short form of the temporary folder (ADMINI~1) is written out, as the trace names it.
    static wchar_t longTemp[kModulePathChars];
    const DWORD l = GetLongPathNameW(temp, longTemp, kModulePathChars);
    if (l > 0 && l < kModulePathChars) lstrcpynW(temp, longTemp, kModulePathChars);

    platform->writeLine = WriteLine;
    platform->pathSeparator = u'\\';
    platform->executablePath = reinterpret_cast<const char16_t*>(executable);
    platform->executableFolder = reinterpret_cast<const char16_t*>(folder);
    platform->tempFolder = reinterpret_cast<const char16_t*>(temp);

    // Started in a new process group, Ctrl+C is off until a process turns it on again.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) {
        WriteLine(nullptr, kCliStderr, u"olvetta: the command line could not be read");
        return kCliExitUsage;
    }
    WatchSessionEnd(argc, argv);
    const int status = RunCli(argc, reinterpret_cast<const char16_t* const*>(argv), platform);
    LocalFree(argv);
    return status;
}

} // namespace olv
