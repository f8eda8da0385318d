// The launcher with the system's processes and job objects: a helper program started suspended
// in its job, resumed, and ended together with the child it starts; a file that is no program.
#include <windows.h>

#include <tlhelp32.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "base/format.h"
#include "base/text.h"
#include "doctest.h"
#include "launcher/target_launcher.h"
#include "platform/error_message.h"
#include "support/text_check.h"
#include "support/watchdog.h"

namespace olv {

namespace {

static_assert(sizeof(wchar_t) == 2, "UTF-16 text is passed to the system as wchar_t");

const wchar_t* W(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

constexpr int kPollSteps = 1000; // of 10 ms: every wait gives up after 10 seconds

// A file beside this test's executable.
bool BesideTest(const char16_t* name, char16_t* out, size_t capacity) {
    wchar_t self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    CopyBounded(out, capacity, reinterpret_cast<const char16_t*>(self));
    out[PathFileName(out) - out] = 0;
    AppendBounded(out, capacity, name);
    return TextLength(out) < capacity - 1;
}

// A window of this thread that only receives messages, for the watcher to post to.
struct MessageWindow {
    HWND hwnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    ~MessageWindow() {
        if (hwnd != nullptr) DestroyWindow(hwnd);
    }
    // Takes a posted WM_APP_TARGET_EXITED; waits up to 10 seconds when wait is set.
    bool TakeExited(WPARAM* exitCode, bool wait) const {
        for (int i = 0; i < kPollSteps; ++i) {
            MSG msg;
            if (PeekMessageW(&msg, hwnd, WM_APP_TARGET_EXITED, WM_APP_TARGET_EXITED, PM_REMOVE)) {
                *exitCode = msg.wParam;
                return true;
            }
            if (!wait) return false;
            Sleep(10);
        }
        return false;
    }
};

// The ids of the processes in the job; -1 when the system cannot list them.
int JobProcessIds(void* job, ULONG_PTR* ids, int capacity) {
    // The list's header (two 32-bit counts), then its ids.
    static_assert(offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList) == sizeof(ULONG_PTR));
    ULONG_PTR buffer[1 + 16] = {};
    if (!QueryInformationJobObject(static_cast<HANDLE>(job), JobObjectBasicProcessIdList, buffer,
                                   sizeof buffer, nullptr)) {
        return -1;
    }
    DWORD counts[2];
    std::memcpy(counts, buffer, sizeof counts);
    const int count = static_cast<int>(counts[1]); // NumberOfProcessIdsInList
    for (int i = 0; i < count && i < capacity && i < 16; ++i)
        ids[i] = buffer[1 + i];
    return count;
}

// Whether any process runs from an executable of this file name.
bool ProcessNamed(const char16_t* fileName) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        found = EqualsFolded(reinterpret_cast<const char16_t*>(entry.szExeFile), fileName);
    }
    CloseHandle(snapshot);
    return found;
}

// Ended, or gone altogether, within 10 seconds.
bool Ends(HANDLE process) {
    if (WaitForSingleObject(process, kPollSteps * 10) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    return GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
}

struct RealFixture {
    TargetLauncher tl;
    MessageWindow window;
    char16_t helper[MAX_PATH] = {};
    RealFixture() {
        InitLauncher(&tl);
        REQUIRE(BesideTest(u"olv_launcher_helper.exe", helper, MAX_PATH));
        REQUIRE(window.hwnd != nullptr);
    }
    ~RealFixture() {
        TestStep("EndTarget at the end of the test case");
        EndTarget(&tl);
    }
};

} // namespace

TEST_CASE_FIXTURE(RealFixture, "the program starts suspended in its job and Stop ends it and its "
                               "child") {
    // The child sets this event once it runs (it and the helper inherit this environment).
    wchar_t runningName[64];
    std::swprintf(runningName, 64, L"olv-launcher-child-running-%lu", GetCurrentProcessId());
    HANDLE childRunning = CreateEventW(nullptr, TRUE, FALSE, runningName);
    REQUIRE(childRunning != nullptr);
    REQUIRE(SetEnvironmentVariableW(L"OLV_HELPER_RUNNING_EVENT", runningName));
    INFO("errorText: ", U8(tl.errorText));
    TestStep("LaunchTarget of the helper");
    const bool launched = LaunchTarget(&tl, helper, window.hwnd);
    SetEnvironmentVariableW(L"OLV_HELPER_RUNNING_EVENT", nullptr);
    REQUIRE(launched);
    REQUIRE(tl.job != nullptr);
    const DWORD pid = tl.processInfo.processId;
    HANDLE main = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    REQUIRE(main != nullptr);

    // Suspended: its main thread's suspend count is 1, and it has started nothing.
    HANDLE thread = static_cast<HANDLE>(tl.processInfo.thread);
    CHECK(SuspendThread(thread) == 1);
    CHECK(ResumeThread(thread) == 2);
    Sleep(100);
    ULONG_PTR ids[16] = {};
    CHECK(JobProcessIds(tl.job, ids, 16) == 1);
    CHECK(ids[0] == pid);

    TestStep("ResumeTarget, then the child appearing in the job");
    REQUIRE(ResumeTarget(&tl));
    DWORD child = 0;
    for (int i = 0; i < kPollSteps && child == 0; ++i) {
        const int count = JobProcessIds(tl.job, ids, 16);
        for (int k = 0; k < count && k < 16; ++k) {
            if (ids[k] != pid) child = static_cast<DWORD>(ids[k]);
        }
        if (child == 0) Sleep(10);
    }
    REQUIRE(child != 0);
    // Stop is tested on a program and a child that both run, not on a child still starting.
    TestStep("waiting for the child to run");
    REQUIRE_MESSAGE(WaitForSingleObject(childRunning, kPollSteps * 10) == WAIT_OBJECT_0,
                    "the helper's child did not say it runs within 10 s");
    CloseHandle(childRunning);
    HANDLE childProcess =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, child);
    REQUIRE(childProcess != nullptr);
    DWORD code = 0;
    CHECK((GetExitCodeProcess(childProcess, &code) && code == STILL_ACTIVE));

    TestStep("EndTarget of the helper and its child");
    EndTarget(&tl);
    CHECK(tl.notEnded == 0);
    TestStep("waiting for the helper and its child to end");
    CHECK(Ends(main));
    CHECK(Ends(childProcess));
    CHECK((GetExitCodeProcess(main, &code) && code == 1));
    CHECK(tl.processInfo.process == nullptr);
    CHECK(tl.job == nullptr);
    CHECK(tl.watcherThread == nullptr);
    CloseHandle(childProcess);
    CloseHandle(main);

    EndTarget(&tl);
    CHECK(tl.notEnded == 0);
}

TEST_CASE_FIXTURE(RealFixture, "a program that ends by itself is reported with its exit code") {
    REQUIRE(SetEnvironmentVariableW(L"OLV_HELPER_EXIT_CODE", L"7"));
    TestStep("LaunchTarget of a helper that ends with 7");
    const bool launched = LaunchTarget(&tl, helper, window.hwnd);
    SetEnvironmentVariableW(L"OLV_HELPER_EXIT_CODE", nullptr);
    INFO("errorText: ", U8(tl.errorText));
    REQUIRE(launched);
    REQUIRE(ResumeTarget(&tl));

    WPARAM exitCode = 0;
    TestStep("waiting for the watcher's WM_APP_TARGET_EXITED");
    REQUIRE(window.TakeExited(&exitCode, true));
    CHECK(exitCode == 7);
    TestStep("TargetExited");
    TargetExited(&tl);
    CHECK(tl.processInfo.process == nullptr);
    CHECK(tl.processHeld == 0);
    CHECK(tl.job != nullptr);
    EndTarget(&tl);
    CHECK(tl.notEnded == 0);
    CHECK_FALSE(window.TakeExited(&exitCode, false));
}

TEST_CASE_FIXTURE(RealFixture, "a file that is no program gives the system's text and leaves "
                               "nothing running") {
    char16_t name[64];
    FormatText(name, 64, u"olv_not_a_program_%lu.exe",
               static_cast<uint32_t>(GetCurrentProcessId()));
    char16_t path[MAX_PATH];
    REQUIRE(BesideTest(name, path, MAX_PATH));
    HANDLE file = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE);
    const char text[] = "This is a text file, not a program.\r\n";
    DWORD written = 0;
    CHECK(WriteFile(file, text, sizeof text - 1, &written, nullptr));
    CloseHandle(file);

    TestStep("LaunchTarget of a text file");
    CHECK_FALSE(LaunchTarget(&tl, path, window.hwnd));
    // The system's text for one of the errors that name a file that cannot be run.
    const DWORD notRunnable[] = {ERROR_BAD_EXE_FORMAT, ERROR_BAD_FORMAT,
                                 ERROR_EXE_MACHINE_TYPE_MISMATCH, ERROR_INVALID_EXE_SIGNATURE};
    char16_t expected[256];
    bool matched = false;
    for (DWORD error : notRunnable) {
        SystemErrorMessage(error, expected, 256);
        matched = matched || TextEquals(tl.errorText, expected);
    }
    INFO("errorText: ", U8(tl.errorText));
    CHECK(matched);
    CHECK_FALSE(TextStartsWith(tl.errorText, u"Error "));
    CHECK(tl.processInfo.process == nullptr);
    CHECK(tl.processHeld == 0);
    CHECK(tl.job == nullptr);
    CHECK(tl.watcherThread == nullptr);
    CHECK(tl.stopEvent == nullptr);
    CHECK_FALSE(ProcessNamed(name));
    DeleteFileW(W(path));

    // A file that does not exist.
    AppendBounded(path, MAX_PATH, u".missing.exe");
    CHECK_FALSE(LaunchTarget(&tl, path, window.hwnd));
    SystemErrorMessage(ERROR_FILE_NOT_FOUND, expected, 256);
    CHECK(U8(tl.errorText) == U8(expected));
    CHECK(TextEndsWith(tl.errorText, u" (2)"));
}

namespace {

std::atomic<int> gInterrupts{0};

BOOL WINAPI CountInterrupt(DWORD type) {
    if (type != CTRL_C_EVENT) return FALSE;
    gInterrupts.fetch_add(1);
    return TRUE;
}

} // namespace

// Run by the launcher_interrupt test (cmake/launcher-interrupt.sh), which presses Ctrl+C the
// terminal's way once this prints "ready": SIGINT to the recorder's whole process group, which
// Wine turns into CTRL_C_EVENT in every process of the group. A program sharing the recorder's
// console is in that group; one with a console of its own is not.
TEST_CASE_FIXTURE(RealFixture, "a console program keeps running through the recorder's Ctrl+C "
                               "until Stop ends it") {
    wchar_t asked[8] = {};
    if (GetEnvironmentVariableW(L"OLV_TERMINAL_INTERRUPT", asked, 8) == 0) {
        MESSAGE("left to the launcher_interrupt test, which presses Ctrl+C");
        return;
    }
    REQUIRE(SetConsoleCtrlHandler(CountInterrupt, TRUE));
    TestStep("LaunchTarget of the helper, a console program");
    INFO("errorText: ", U8(tl.errorText));
    REQUIRE(LaunchTarget(&tl, helper, window.hwnd));
    REQUIRE(ResumeTarget(&tl));
    std::printf("ready\n");
    std::fflush(stdout);

    TestStep("waiting for the terminal's Ctrl+C");
    for (int i = 0; i < 3 * kPollSteps && gInterrupts.load() == 0; ++i)
        Sleep(10);
    REQUIRE_MESSAGE(gInterrupts.load() > 0, "no Ctrl+C reached the recorder within 30 s");
    // Sharing the console, the program would end at once (0xC000013A, the interrupt's exit
    // code); it is given two seconds to show that it does not.
    TestStep("watching the program for two seconds after the Ctrl+C");
    HANDLE process = static_cast<HANDLE>(tl.processInfo.process);
    const DWORD outcome = WaitForSingleObject(process, 2000);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CHECK_MESSAGE(outcome == WAIT_TIMEOUT, "the program ended with exit code " << code);

    TestStep("Stop: EndTarget");
    EndTarget(&tl);
    CHECK(tl.notEnded == 0);
    WPARAM exitCode = 0;
    REQUIRE(window.TakeExited(&exitCode, true));
    CHECK(exitCode == 1); // ended by Stop's job termination
    SetConsoleCtrlHandler(CountInterrupt, FALSE);
}

TEST_CASE("the system's error texts carry no line break and fall back to the number") {
    char16_t text[256];
    SystemErrorText(ERROR_ACCESS_DENIED, text, 256);
    CHECK_FALSE(TextIsEmpty(text));
    CHECK_FALSE(TextStartsWith(text, u"Error "));
    const size_t length = TextLength(text);
    CHECK(text[length - 1] != u'\n');
    CHECK(text[length - 1] != u'\r');
    SystemErrorText(0x2FFFFFFFu, text, 256);
    CHECK(U8(text) == "Error 805306367");
    char16_t tiny[4];
    SystemErrorText(ERROR_ACCESS_DENIED, tiny, 4);
    CHECK(TextLength(tiny) <= 3);
}

} // namespace olv
