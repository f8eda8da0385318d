// The one doctest main shared by every test executable, with a watchdog: a suite that has not
// ended after OLV_TEST_WATCHDOG_SECONDS (default 90, below ctest's time-out, so what it prints
// reaches the log) prints the test case and the last step it entered, and ends with status 3.
// A hang then names where it hung instead of being killed without a word.
//
// The watchdog must still speak when the hung thread holds a lock of the C runtime (the stdout
// stream's, the loader's) or when Wine's server answers no more. So it takes no lock it could
// wait on: it polls a clock and sleeps (under Wine neither goes through the server), only tries
// the spin lock guarding the step's text, writes with the system's unbuffered write to stdout's
// handle, and ends the process without the runtime's exit (which takes the loader lock). It stays
// armed until the process is gone, so a hang in the exit after the last test case (a static
// destructor, a thread the runtime waits for) is named too.
#define DOCTEST_CONFIG_IMPLEMENT
#include "doctest.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "support/watchdog.h"

namespace olv {

namespace {

constexpr size_t kTextChars = 512;

// Held by a writer for one bounded copy; the watchdog only tries it.
std::atomic_flag gTextBusy = ATOMIC_FLAG_INIT;
char gTestCase[kTextChars] = "(before the first test case)";
char gStep[kTextChars] = "(none)";
std::atomic<bool> gWatching{false};

void CopyText(char* to, size_t capacity, const char* from) {
    size_t i = 0;
    for (; from != nullptr && from[i] != 0 && i + 1 < capacity; ++i)
        to[i] = from[i];
    to[i] = 0;
}

void SetText(char* to, const char* from) {
    while (gTextBusy.test_and_set(std::memory_order_acquire))
        std::this_thread::yield();
    CopyText(to, kTextChars, from);
    gTextBusy.clear(std::memory_order_release);
}

// A sleep that needs nothing of another thread: under Wine a plain Sleep is the host's own, so
// it ends even when Wine's server no longer answers.
void Nap(unsigned milliseconds) {
#ifdef _WIN32
    Sleep(milliseconds);
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
#endif
}

// Seconds since an arbitrary start, from the performance counter (read from the host's clock
// under Wine, where the tick count is kept by the server).
double NowSeconds() {
#ifdef _WIN32
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
#else
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
#endif
}

void WriteOut(const char* text, size_t length) {
#ifdef _WIN32
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(out, text, static_cast<DWORD>(length), &written, nullptr) || written == 0)
            return;
        text += written;
        length -= written;
    }
#else
    while (length > 0) {
        const ssize_t written = write(1, text, length);
        if (written <= 0) return;
        text += written;
        length -= static_cast<size_t>(written);
    }
#endif
}

#ifdef _WIN32
// The system's own end of a process, found at the start: looking it up takes the loader lock.
using TerminateFunction = LONG(NTAPI*)(HANDLE, LONG);
TerminateFunction gTerminate = nullptr;
#endif

[[noreturn]] void EndProcess(int status) {
#ifdef _WIN32
    // The other threads first, then this one: ended the other way round, Wine gives the process
    // the status of whichever thread ends last, 0 for one it ended, and the hang would pass.
    if (gTerminate != nullptr) gTerminate(nullptr, status);
    if (gTerminate != nullptr) gTerminate(GetCurrentProcess(), status);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
#endif
    _exit(status);
}

void Watch(long seconds) {
    const double deadline = NowSeconds() + static_cast<double>(seconds);
    gWatching.store(true);
    while (NowSeconds() < deadline)
        Nap(100);
    char testCase[kTextChars] = "(unknown: its name was being written)";
    char step[kTextChars] = "(unknown: it was being written)";
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (!gTextBusy.test_and_set(std::memory_order_acquire)) {
            CopyText(testCase, kTextChars, gTestCase);
            CopyText(step, kTextChars, gStep);
            gTextBusy.clear(std::memory_order_release);
            break;
        }
        Nap(5);
    }
    char text[3 * kTextChars];
    const int length = std::snprintf(text, sizeof text,
                                     "\nwatchdog: the suite did not finish within %ld s\n  test "
                                     "case: %s\n  last step: %s\n",
                                     seconds, testCase, step);
    if (length > 0) WriteOut(text, std::strlen(text));
    EndProcess(3);
}

struct StepListener : doctest::IReporter {
    explicit StepListener(const doctest::ContextOptions&) {}
    void report_query(const doctest::QueryData&) override {}
    void test_run_start() override {}
    void test_run_end(const doctest::TestRunStats&) override {}
    void test_case_start(const doctest::TestCaseData& data) override {
        while (gTextBusy.test_and_set(std::memory_order_acquire))
            std::this_thread::yield();
        CopyText(gTestCase, kTextChars, data.m_name);
        CopyText(gStep, kTextChars, "(none)");
        gTextBusy.clear(std::memory_order_release);
    }
    void test_case_reenter(const doctest::TestCaseData&) override {}
    void test_case_end(const doctest::CurrentTestCaseStats&) override {}
    void test_case_exception(const doctest::TestCaseException&) override {}
    void subcase_start(const doctest::SubcaseSignature& signature) override {
        char text[kTextChars] = "subcase: ";
        const size_t prefix = std::strlen(text);
        CopyText(text + prefix, kTextChars - prefix, signature.m_name.c_str());
        SetText(gStep, text);
    }
    void subcase_end() override {}
    void log_assert(const doctest::AssertData&) override {}
    void log_message(const doctest::MessageData&) override {}
    void test_case_skipped(const doctest::TestCaseData&) override {}
};

} // namespace

void TestStep(const char* what) {
    SetText(gStep, what);
}

} // namespace olv

DOCTEST_REGISTER_LISTENER("olv-steps", 1, olv::StepListener);

int main(int argc, char** argv) {
    using namespace olv;
    // Unbuffered: what a suite printed before it hung is in the log even when it is then ended
    // or killed.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
#ifdef _WIN32
    // A write of nothing: Wine opens and keeps stdout's host file now, while its server answers,
    // so the watchdog's write later needs no server.
    DWORD none = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "", 0, &none, nullptr);
    if (HMODULE system = GetModuleHandleW(L"ntdll.dll")) {
        gTerminate = reinterpret_cast<TerminateFunction>(
            reinterpret_cast<void*>(GetProcAddress(system, "NtTerminateProcess")));
    }
#endif
    long seconds = 90;
    if (const char* value = std::getenv("OLV_TEST_WATCHDOG_SECONDS")) seconds = std::atol(value);
    if (seconds > 0) {
        std::thread(Watch, seconds).detach();
        // Running before the first test case: a new thread's start takes the loader lock, which
        // a hung test case may hold.
        for (int i = 0; i < 2000 && !gWatching.load(); ++i)
            Nap(5);
        if (!gWatching.load()) std::printf("note: the watchdog's thread has not started within 10 s\n");
    }
    // The wrapper that runs a suite under Wine tells a hang before this point (Wine's) from one
    // after it by this file.
    if (const char* started = std::getenv("OLV_TEST_STARTED_FILE")) {
        if (std::FILE* file = std::fopen(started, "w")) std::fclose(file);
    }
    doctest::Context context(argc, argv);
    const int status = context.run();
    TestStep("the process ending after the last test case");
    return status;
}
