// Driving the program's windows from outside, as a person would, through window messages:
// bounded waits that pump messages, finding windows of a process, reading texts (also through a
// block in the other process for the common controls), answering message boxes and file
// dialogs, and pausing for a screenshot. Header-only; used by the Windows window suites and by
// olvetta-demo-run.exe.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/ui.h"

namespace olv::gui {

static_assert(sizeof(wchar_t) == 2);

constexpr DWORD kStepMs = 10;

// Dispatches this thread's waiting messages.
inline void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) continue; // a destroyed main window's; not the test's
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// Pumps messages for ms.
inline void PumpFor(DWORD ms) {
    for (DWORD waited = 0; waited < ms; waited += kStepMs) {
        Pump();
        Sleep(kStepMs);
    }
}

// Waits until done() holds, pumping messages, for at most ms; prints what it waited for when it
// gives up.
template <typename Done> bool WaitFor(const char* what, DWORD ms, Done done) {
    for (DWORD waited = 0;; waited += kStepMs) {
        Pump();
        if (done()) return true;
        if (waited >= ms) {
            std::printf("gave up after %lu ms waiting for: %s\n", static_cast<unsigned long>(ms),
                        what);
            return false;
        }
        Sleep(kStepMs);
    }
}

// The text of any window, also of another process's control (WM_GETTEXT crosses processes;
// GetWindowTextW does not read another process's controls).
inline std::wstring TextOf(HWND window) {
    wchar_t buffer[4096] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK,
                        5000, nullptr);
    buffer[4095] = 0;
    return buffer;
}

inline std::wstring ClassOf(HWND window) {
    wchar_t name[128] = {};
    GetClassNameW(window, name, 128);
    return name;
}

// A visible top-level window of process pid (0: any) with this class (and title, when given).
inline HWND FindTopWindow(DWORD pid, const wchar_t* className, const wchar_t* title = nullptr) {
    struct Search {
        DWORD pid;
        const wchar_t* className;
        const wchar_t* title;
        HWND found;
    } search{pid, className, title, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            Search* s = reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (s->pid != 0 && owner != s->pid) return TRUE;
            if (!IsWindowVisible(window) || ClassOf(window) != s->className) return TRUE;
            if (s->title != nullptr) {
                wchar_t text[256] = {};
                GetWindowTextW(window, text, 256);
                if (std::wcscmp(text, s->title) != 0) return TRUE;
            }
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// What a message box said.
struct BoxSeen {
    std::wstring caption;
    std::wstring text;
    bool hadOwner = false;
};

// Waits up to ms for a message box (a "#32770" dialog) of process pid; null when none came.
inline HWND WaitForMessageBox(DWORD pid, DWORD ms) {
    for (DWORD waited = 0; waited <= ms; waited += kStepMs) {
        HWND box = FindTopWindow(pid, L"#32770");
        if (box != nullptr) return box;
        Sleep(kStepMs);
    }
    std::printf("gave up after %lu ms waiting for a message box\n", static_cast<unsigned long>(ms));
    return nullptr;
}

// Records a message box's caption and text and presses answer (IDOK, IDYES, IDNO).
inline void ReadAndAnswer(HWND box, int answer, BoxSeen* seen) {
    wchar_t caption[256] = {};
    GetWindowTextW(box, caption, 256);
    seen->caption = caption;
    HWND text = GetDlgItem(box, 0xFFFF); // the message box's text control
    seen->text = text != nullptr ? TextOf(text) : L"";
    seen->hadOwner = GetWindow(box, GW_OWNER) != nullptr;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
    // Gone before the caller looks for the next box, which must not find this one again.
    for (DWORD waited = 0; IsWindow(box) && waited < 10000; waited += kStepMs)
        Sleep(kStepMs);
}

// Waits up to ms for a message box of process pid, records it and presses answer. False when
// none appeared in time.
inline bool AnswerMessageBox(DWORD pid, int answer, DWORD ms, BoxSeen* seen) {
    HWND box = WaitForMessageBox(pid, ms);
    if (box == nullptr) return false;
    ReadAndAnswer(box, answer, seen);
    return true;
}

// Runs action() on this thread while another thread answers the message box it shows (a box
// blocks the thread that shows it). False when no box appeared within ms.
template <typename Action>
bool WithMessageBoxAnswered(int answer, DWORD ms, BoxSeen* seen, Action action) {
    std::atomic<bool> answered{false};
    std::thread answerer([&] { answered = AnswerMessageBox(GetCurrentProcessId(), answer, ms, seen); });
    action();
    answerer.join();
    return answered;
}

// The text of another process's window whose text may be long (an edit holding a summary).
inline std::wstring LongTextOf(HWND window) {
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_BLOCK, 5000, &length);
    std::wstring text(length + 1, L'\0');
    SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                        SMTO_BLOCK, 5000, nullptr);
    text.resize(std::wcslen(text.c_str()));
    return text;
}

// A block in another process, for the common-control messages that take a pointer (the system
// copies none of them between processes): a request structure followed by a text buffer.
class RemoteBlock {
public:
    RemoteBlock(DWORD pid, size_t bytes) : bytes_(bytes) {
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_ != nullptr) {
            address_ = static_cast<char*>(
                VirtualAllocEx(process_, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        }
    }
    ~RemoteBlock() {
        if (address_ != nullptr) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
        if (process_ != nullptr) CloseHandle(process_);
    }
    RemoteBlock(const RemoteBlock&) = delete;
    RemoteBlock& operator=(const RemoteBlock&) = delete;
    bool Ok() const { return address_ != nullptr; }
    char* At(size_t offset) const { return address_ + offset; }
    bool Write(size_t offset, const void* data, size_t size) const {
        return offset + size <= bytes_ &&
               WriteProcessMemory(process_, address_ + offset, data, size, nullptr) != FALSE;
    }
    bool Read(size_t offset, void* data, size_t size) const {
        return offset + size <= bytes_ &&
               ReadProcessMemory(process_, address_ + offset, data, size, nullptr) != FALSE;
    }

private:
    HANDLE process_ = nullptr;
    char* address_ = nullptr;
    size_t bytes_;
};

constexpr int kRemoteTextChars = 2048;

// A cell of another process's list view (LVM_GETITEMTEXTW through a remote block).
inline std::wstring RemoteListCell(DWORD pid, HWND list, int item, int column) {
    RemoteBlock block(pid, sizeof(LVITEMW) + kRemoteTextChars * sizeof(wchar_t));
    if (!block.Ok()) return L"<no remote block>";
    LVITEMW request{};
    request.iSubItem = column;
    request.pszText = reinterpret_cast<wchar_t*>(block.At(sizeof(LVITEMW)));
    request.cchTextMax = kRemoteTextChars;
    block.Write(0, &request, sizeof request);
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(item),
                 reinterpret_cast<LPARAM>(block.At(0)));
    wchar_t text[kRemoteTextChars] = {};
    block.Read(sizeof(LVITEMW), text, sizeof text - sizeof(wchar_t));
    return text;
}

// The text of an item of another process's tree view.
inline std::wstring RemoteTreeItemText(DWORD pid, HWND tree, HTREEITEM item) {
    RemoteBlock block(pid, sizeof(TVITEMW) + kRemoteTextChars * sizeof(wchar_t));
    if (!block.Ok()) return L"<no remote block>";
    TVITEMW request{};
    request.mask = TVIF_TEXT;
    request.hItem = item;
    request.pszText = reinterpret_cast<wchar_t*>(block.At(sizeof(TVITEMW)));
    request.cchTextMax = kRemoteTextChars;
    block.Write(0, &request, sizeof request);
    SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(block.At(0)));
    wchar_t text[kRemoteTextChars] = {};
    block.Read(sizeof(TVITEMW), text, sizeof text - sizeof(wchar_t));
    return text;
}

// The format bits (HDF_*) of a column heading of another process's header (HDM_GETITEMW
// through a remote block); -1 when it cannot be read.
inline int RemoteHeaderFormat(DWORD pid, HWND header, int column) {
    RemoteBlock block(pid, sizeof(HDITEMW));
    if (!block.Ok()) return -1;
    HDITEMW request{};
    request.mask = HDI_FORMAT;
    block.Write(0, &request, sizeof request);
    if (!SendMessageW(header, HDM_GETITEMW, static_cast<WPARAM>(column),
                      reinterpret_cast<LPARAM>(block.At(0)))) {
        return -1;
    }
    block.Read(0, &request, sizeof request);
    return request.fmt;
}

// A left click in the middle of a column heading of another process's header, as posted mouse
// messages (the heading's rectangle read through a remote block).
inline bool ClickHeaderColumn(DWORD pid, HWND header, int column) {
    RemoteBlock block(pid, sizeof(RECT));
    if (!block.Ok()) return false;
    if (!SendMessageW(header, HDM_GETITEMRECT, static_cast<WPARAM>(column),
                      reinterpret_cast<LPARAM>(block.At(0)))) {
        return false;
    }
    RECT box{};
    block.Read(0, &box, sizeof box);
    const LPARAM at = MAKELPARAM((box.left + box.right) / 2, (box.top + box.bottom) / 2);
    PostMessageW(header, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(header, WM_LBUTTONUP, 0, at);
    return true;
}

// With OLV_SCREENSHOTS set (cmake/gui-screenshots.sh sets it), asks for a screenshot of the
// screen named name: writes <dir>/<name>.ready and waits (pumping) until the script has taken it
// and written <dir>/<name>.done. Without it, does nothing.
inline bool PauseForScreenshot(const char* name) {
    char dir[MAX_PATH] = {};
    if (GetEnvironmentVariableA("OLV_SCREENSHOTS", dir, MAX_PATH) == 0) return true;
    char ready[MAX_PATH + 64], done[MAX_PATH + 64];
    std::snprintf(ready, sizeof ready, "%s\\%s.ready", dir, name);
    std::snprintf(done, sizeof done, "%s\\%s.done", dir, name);
    PumpFor(500); // let the windows finish painting
    FILE* f = std::fopen(ready, "w");
    if (f == nullptr) return false;
    std::fclose(f);
    const bool taken = WaitFor("the screenshot script", 30000,
                               [&] { return GetFileAttributesA(done) != INVALID_FILE_ATTRIBUTES; });
    DeleteFileA(done);
    return taken;
}

constexpr DWORD kWaitMs = 30000;

// A file beside this executable.
inline std::wstring BesideThisProgram(const wchar_t* name) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

// A started program, ended at the latest when this record goes.
struct Process {
    PROCESS_INFORMATION pi{};
    bool started = false;

    explicit Process(std::wstring commandLine) {
        STARTUPINFOW si{};
        si.cb = sizeof si;
        // Wine under load now and then fails a start with ERROR_INTERNAL_ERROR that a second
        // try does not meet: a few tries, a little apart; any other error is final.
        for (int attempt = 1; attempt <= 5 && !started; ++attempt) {
            started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                     nullptr, nullptr, &si, &pi) != FALSE;
            if (started) break;
            const DWORD error = GetLastError();
            std::printf("CreateProcessW failed: %lu (try %d)\n", error, attempt);
            if (error != ERROR_INTERNAL_ERROR) break;
            Sleep(200);
        }
    }
    ~Process() {
        if (!started) return;
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, kWaitMs);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    bool Exited(const char* what, DWORD* code) const {
        if (WaitForSingleObject(pi.hProcess, kWaitMs) != WAIT_OBJECT_0) {
            std::printf("gave up after %lu ms waiting for %s to exit\n",
                        static_cast<unsigned long>(kWaitMs), what);
            return false;
        }
        GetExitCodeProcess(pi.hProcess, code);
        return true;
    }
    DWORD Id() const { return pi.dwProcessId; }
};

// olvetta-demo.exe with a scenario, and its main window.
struct Demo {
    Process process;
    HWND window = nullptr;

    explicit Demo(const std::wstring& scenario)
        : process(L"\"" + BesideThisProgram(L"olvetta-demo.exe") + L"\" \"" + scenario + L"\"") {}
    bool Found() {
        return process.started &&
               WaitFor("the demonstration's main window", kWaitMs, [&] {
                   window = FindTopWindow(process.Id(), L"OlvettaWindow");
                   return window != nullptr;
               });
    }
    HWND Control(int id) const { return GetDlgItem(window, id); }
    void Command(int id) const {
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(Control(id)));
    }
    int Items() const {
        return static_cast<int>(SendMessageW(Control(kIdEventList), LVM_GETITEMCOUNT, 0, 0));
    }
    std::wstring Status() const { return TextOf(Control(kIdStatusBar)); }
    bool Idle() const {
        return IsWindowEnabled(Control(kIdStartButton)) && !IsWindowEnabled(Control(kIdStopButton));
    }
    // An auxiliary window of the demonstration opened by a View command.
    HWND Open(int command, const wchar_t* title) const {
        Command(command);
        HWND found = nullptr;
        WaitFor("a window of the View menu", kWaitMs, [&] {
            found = FindTopWindow(process.Id(), L"OlvettaAuxWindow", title);
            return found != nullptr;
        });
        return found;
    }
    // Fills the real file dialog that command opens with path and presses OK.
    bool FillFileDialog(int command, const std::wstring& path) const {
        Command(command);
        // The file name box: an edit inside combo box 0x47C, or edit 0x480.
        HWND dialog = nullptr, name = nullptr;
        const bool found = WaitFor("the file dialog", kWaitMs, [&] {
            dialog = FindTopWindow(process.Id(), L"#32770");
            if (dialog == nullptr) return false;
            HWND combo = GetDlgItem(dialog, 0x47C);
            HWND edit = combo != nullptr ? FindWindowExW(combo, nullptr, L"Edit", nullptr) : nullptr;
            name = edit != nullptr ? edit : combo != nullptr ? combo : GetDlgItem(dialog, 0x480);
            return name != nullptr;
        });
        if (!found) return false;
        SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
        return WaitFor("the file dialog to close", kWaitMs, [&] { return !IsWindow(dialog); });
    }
    // Through the file dialog, then the message box that reports the outcome: its text.
    std::wstring ThroughFileDialog(int command, const std::wstring& path) const {
        if (!FillFileDialog(command, path)) return L"<file dialog not answered>";
        BoxSeen seen;
        if (!AnswerMessageBox(process.Id(), IDOK, kWaitMs, &seen)) return L"<no message>";
        return seen.text;
    }
};


} // namespace olv::gui
