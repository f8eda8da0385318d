// The TargetLauncher against the simulated launched program and the headless UI.
#include "launcher/target_launcher.h"

#include <string>

#include "base/text.h"
#include "doctest.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/sim_process.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "support/text_check.h"

namespace olv {

namespace {

const char16_t kPath[] = u"C:\\Samples\\dropper.exe";
const char kWatcherText[] = "The thread that watches for the program ending could not be created, "
                            "so the program was not started.";

struct LauncherFixture {
    TargetLauncher tl;

    LauncherFixture() {
        ResetSimProcesses();
        ResetHeadlessUi();
        RefuseNthThreadStart(0);
        InitLauncher(&tl);
    }
    ~LauncherFixture() {
        EndTarget(&tl); // joins a watcher a failed check left behind
        RefuseNthThreadStart(0);
        ResetSimProcesses();
        ResetHeadlessUi();
    }

    static UiHandle Main() { return HeadlessControlById(0); }
    static SimProcessLog Log() {
        SimProcessLog log;
        QuerySimProcessLog(&log);
        return log;
    }
    static SimProcessStatus Status(uint32_t processId) {
        SimProcessStatus status;
        QuerySimProcess(processId, &status);
        return status;
    }
    // Nothing held, nothing open, no handle misused.
    void CheckReleased() const {
        CHECK((tl.processInfo.process == nullptr && tl.processInfo.thread == nullptr));
        CHECK((tl.watcherThread == nullptr && tl.stopEvent == nullptr && tl.processHeld == 0));
        CHECK(tl.job == nullptr);
        const SimProcessLog log = Log();
        CHECK((log.openHandles == 0 && log.badHandles == 0 && log.closedWhileWaited == 0));
    }
    // The next message the watcher posted, as "message wParam lParam"; "none" if there is none.
    static std::string TakePosted() {
        HeadlessPostedMessage m;
        if (!HeadlessTakePostedMessage(&m)) return "none";
        return std::to_string(m.message) + " " + std::to_string(m.wParam) + " " +
               std::to_string(m.lParam);
    }
};

const std::string kExited = std::to_string(WM_APP_TARGET_EXITED);

// The watcher posts from its own thread; a bounded wait for it.
bool WaitPosted(uint32_t count) {
    for (int i = 0; i < 10000; ++i) {
        if (HeadlessPostedCount() >= count) return true;
        SleepMilliseconds(1);
    }
    return false;
}

} // namespace

TEST_CASE_FIXTURE(LauncherFixture, "the program starts suspended in a kill-on-close job and Stop "
                                   "ends it with the job") {
    SetSimNextProcessId(7000);
    REQUIRE(LaunchTarget(&tl, kPath, Main()));
    CHECK(U8(tl.errorText).empty());
    CHECK((tl.processInfo.processId == 7000 && tl.processInfo.threadId == 7004));
    CHECK((tl.job != nullptr && tl.processHeld == 1 && tl.notifyWindow == Main()));
    SimProcessLog log = Log();
    CHECK(U8(log.applicationName) + " " + U8(log.commandLine) + " " + U8(log.workingFolder) ==
          "C:\\Samples\\dropper.exe \"C:\\Samples\\dropper.exe\" C:\\Samples");
    CHECK((log.jobsLimited == 1 && log.assignsOk == 1));
    // A console of its own: the recorder's Ctrl+C, Ctrl+Break and console close are not its.
    CHECK(log.launchFlags == kLaunchOwnConsole);
    CHECK((Status(7000).state == kSimProcessSuspended && Status(7000).inJob == 1));
    REQUIRE(WaitSimWaiters(1));

    REQUIRE(ResumeTarget(&tl));
    CHECK(Status(7000).state == kSimProcessRunning);

    EndTarget(&tl);
    CHECK(tl.notEnded == 0);
    CHECK((Status(7000).endCause == kSimEndedByJobTermination && Status(7000).exitCode == 1));
    CheckReleased();
    // The watcher saw the end that Stop caused (the window ignores that message after Stop).
    CHECK(TakePosted() == kExited + " 1 0");
    CHECK(TakePosted() == "none");

    EndTarget(&tl);
    CHECK(tl.notEnded == 0);
    log = Log();
    CHECK(
        (log.jobTerminations == 1 && log.processTerminations == 0 && log.terminationsFailed == 0));
    CHECK_FALSE(ResumeTarget(&tl));
}

TEST_CASE_FIXTURE(LauncherFixture, "the launch time is the trace clock just before the program is "
                                   "created, while creating it takes time") {
    SetClockOverride(5000);
    SetSimProcessCreateHook([](void*) { AdvanceClockOverride(700); }, nullptr);
    REQUIRE(LaunchTarget(&tl, kPath, Main()));
    CHECK(tl.launchedAt == 5000);
    CHECK(TraceClockNow() == 5700);
    SetSimProcessCreateHook(nullptr, nullptr);
    ClearClockOverride();
}

TEST_CASE_FIXTURE(LauncherFixture, "the program's command line is its quoted path and it starts in "
                                   "its own folder") {
    struct Row {
        const char16_t* path;
        const char* folder; // null: no folder given, the current one
    };
    const Row rows[] = {
        {u"C:\\Samples\\tool.exe", "C:\\Samples"},
        {u"C:/Samples/tool.exe", "C:/Samples"},
        {u"C:\\a/b\\tool.exe", "C:\\a/b"},
        {u"\\\\server\\share\\tool.exe", "\\\\server\\share"},
        {u"C:\\tool.exe", "C:\\"}, // "C:" alone would be drive C's current folder
        {u"\\tool.exe", "\\"},
        {u"tool.exe", nullptr},
        {u"C:tool.exe", nullptr},
    };
    for (const Row& row : rows) {
        CAPTURE(U8(row.path));
        InitLauncher(&tl);
        REQUIRE(LaunchTarget(&tl, row.path, Main()));
        const SimProcessLog log = Log();
        CHECK(U8(log.commandLine) == "\"" + U8(row.path) + "\"");
        CHECK(log.workingFolderGiven == (row.folder != nullptr ? 1 : 0));
        if (row.folder != nullptr) CHECK(U8(log.workingFolder) == row.folder);
        EndTarget(&tl);
        CheckReleased();
    }
}

TEST_CASE_FIXTURE(LauncherFixture, "arguments follow the quoted path as given; a command line the "
                                   "system would refuse is refused whole") {
    REQUIRE(LaunchTargetWithArguments(&tl, kPath, u"-x \"two words\" \"C:\\dir\\\\\"", Main()));
    CHECK(U8(Log().commandLine) ==
          "\"C:\\Samples\\dropper.exe\" -x \"two words\" \"C:\\dir\\\\\"");
    EndTarget(&tl);
    CheckReleased();

    // Empty arguments are none.
    InitLauncher(&tl);
    REQUIRE(LaunchTargetWithArguments(&tl, kPath, u"", Main()));
    CHECK(U8(Log().commandLine) == "\"C:\\Samples\\dropper.exe\"");
    EndTarget(&tl);
    CheckReleased();

    // Path, quotes, blank and arguments must fit 32767 characters with the terminator.
    const size_t pathChars = TextLength(kPath);
    std::u16string fits(kLauncherCommandLineChars - 1 - pathChars - 3, u'a');
    InitLauncher(&tl);
    REQUIRE(LaunchTargetWithArguments(&tl, kPath, fits.c_str(), Main()));
    EndTarget(&tl);
    CheckReleased();
    const uint32_t creates = Log().createCalls;
    fits += u'a';
    InitLauncher(&tl);
    CHECK_FALSE(LaunchTargetWithArguments(&tl, kPath, fits.c_str(), Main()));
    CHECK(Log().createCalls == creates);
    CHECK_FALSE(U8(tl.errorText).empty());
    CheckReleased();
}

TEST_CASE_FIXTURE(LauncherFixture, "a path of 259 characters is taken whole, a longer one not at "
                                   "all") {
    char16_t path[262] = u"C:\\";
    for (size_t i = 3; i < 255; ++i)
        path[i] = u'a';
    CopyBounded(path + 255, 5, u".exe");
    REQUIRE(TextLength(path) == 259);
    REQUIRE(LaunchTarget(&tl, path, Main()));
    CHECK(U8(Log().commandLine) == "\"" + U8(path) + "\"");
    EndTarget(&tl);

    path[259] = u'x';
    path[260] = 0;
    InitLauncher(&tl);
    CHECK_FALSE(LaunchTarget(&tl, path, Main()));
    CHECK(U8(tl.errorText) == "The filename or extension is too long. (206)");
    CHECK(Log().createCalls == 1);
    CheckReleased();
}

TEST_CASE_FIXTURE(LauncherFixture, "a launch that fails leaves nothing behind") {
    std::string expected;
    uint32_t processesEnded = 0;
    SUBCASE("the program cannot be created") {
        FailSimProcessCreate(2);
        expected = "The system cannot find the file specified. (2)";
    }
    SUBCASE("the stop event cannot be made") {
        FailSimEventCreate();
        expected = kWatcherText;
        processesEnded = 1;
    }
    SUBCASE("the watcher thread cannot be started") {
        RefuseNthThreadStart(1);
        expected = kWatcherText;
        processesEnded = 1;
    }
    CHECK_FALSE(LaunchTarget(&tl, kPath, Main()));
    CHECK(U8(tl.errorText) == expected);
    CHECK(tl.processInfo.processId == 0);
    CheckReleased();
    const SimProcessLog log = Log();
    CHECK(log.processTerminations == processesEnded);
    if (processesEnded != 0) { // the suspended program was ended before its handles were closed
        CHECK((Status(SimLastProcessId()).endCause == kSimEndedByTermination &&
               Status(SimLastProcessId()).exitCode == 1));
    }
    CHECK(HeadlessPostedCount() == 0);
}

TEST_CASE_FIXTURE(LauncherFixture, "without a job the recording goes on and Stop ends only the "
                                   "main process") {
    const SimJobStep steps[] = {kSimJobCreate, kSimJobLimit, kSimJobAssign};
    for (SimJobStep step : steps) {
        CAPTURE(step);
        InitLauncher(&tl);
        RefuseSimJob(step);
        REQUIRE(LaunchTarget(&tl, kPath, Main()));
        CHECK(tl.job == nullptr);
        CHECK(U8(tl.errorText).empty());
        CHECK(Log().openHandles == 3); // process, thread, stop event
        REQUIRE(ResumeTarget(&tl));
        const uint32_t pid = tl.processInfo.processId;
        const uint32_t child = StartSimChildProcess(pid);
        REQUIRE(child != 0);

        EndTarget(&tl);
        CHECK(tl.notEnded == 0);
        CHECK(Status(pid).endCause == kSimEndedByTermination);
        CHECK(Status(child).state == kSimProcessRunning);
        CheckReleased();
    }
}

TEST_CASE_FIXTURE(LauncherFixture, "a main thread that cannot be resumed") {
    CHECK_FALSE(ResumeTarget(&tl)); // nothing launched
    FailSimResume();
    REQUIRE(LaunchTarget(&tl, kPath, Main()));
    CHECK_FALSE(ResumeTarget(&tl));
    CHECK(Status(tl.processInfo.processId).state == kSimProcessSuspended);
    const uint32_t pid = tl.processInfo.processId;
    EndTarget(&tl);
    CHECK(Status(pid).state == kSimProcessEnded);
    CHECK(tl.notEnded == 0);
    CheckReleased();
    CHECK_FALSE(ResumeTarget(&tl));
}

TEST_CASE_FIXTURE(LauncherFixture, "notEnded says exactly when the program may still run") {
    bool withJob = true;
    bool endsFirst = false;
    uint8_t notEnded = 1;
    SUBCASE("the job cannot be terminated") {}
    SUBCASE("without a job the termination fails and the program runs on") {
        withJob = false;
    }
    SUBCASE("without a job neither termination nor the exit code works") {
        withJob = false;
        FailSimExitCodeReads(1);
    }
    SUBCASE("without a job the program had already ended") {
        withJob = false;
        endsFirst = true;
        notEnded = 0;
    }
    if (!withJob) RefuseSimJob(kSimJobCreate);
    REQUIRE(LaunchTarget(&tl, kPath, Main()));
    REQUIRE(ResumeTarget(&tl));
    const uint32_t pid = tl.processInfo.processId;
    if (endsFirst) {
        REQUIRE(EndSimulatedProcess(3));
        REQUIRE(WaitPosted(1));
    } else {
        FailSimTermination();
    }

    EndTarget(&tl);
    CHECK(tl.notEnded == notEnded);
    CHECK(Log().terminationsFailed == 1);
    CheckReleased();
    if (!endsFirst) {
        // The watcher was released by the stop event: nothing was posted.
        CHECK(HeadlessPostedCount() == 0);
        CHECK(Log().waitsByEvent == 1);
        // Closing the kill-on-close job still took the program.
        CHECK(Status(pid).state == (withJob ? kSimProcessEnded : kSimProcessRunning));
    }
    EndTarget(&tl);
    CHECK(tl.notEnded == 0);
}

TEST_CASE_FIXTURE(LauncherFixture, "the program ending by itself posts one message and its job "
                                   "outlives it for its children") {
    REQUIRE(LaunchTarget(&tl, kPath, Main()));
    REQUIRE(ResumeTarget(&tl));
    const uint32_t pid = tl.processInfo.processId;
    const uint32_t child = StartSimChildProcess(pid);
    REQUIRE(child != 0);
    CHECK(Status(child).inJob == 1);
    REQUIRE(WaitSimWaiters(1));

    REQUIRE(EndSimulatedProcess(42));
    REQUIRE(WaitPosted(1));
    CHECK(TakePosted() == kExited + " 42 0");

    TargetExited(&tl);
    CHECK((tl.processInfo.process == nullptr && tl.processInfo.thread == nullptr));
    CHECK((tl.watcherThread == nullptr && tl.stopEvent == nullptr && tl.processHeld == 0));
    CHECK(tl.job != nullptr);
    CHECK(Status(child).state == kSimProcessRunning);
    CHECK(HeadlessPostedCount() == 0);

    EndTarget(&tl);
    CHECK(tl.notEnded == 0);
    CHECK((Status(child).endCause == kSimEndedByJobTermination && Status(pid).exitCode == 42));
    CHECK(HeadlessPostedCount() == 0);
    CheckReleased();
}

TEST_CASE_FIXTURE(LauncherFixture, "no message is posted to a window that is gone; without one "
                                   "the end is a notice taken once") {
    UiHandle window = Main();
    SUBCASE("no window was given") {
        window = nullptr;
    }
    SUBCASE("the window was destroyed") {}
    REQUIRE(LaunchTarget(&tl, kPath, window));
    REQUIRE(ResumeTarget(&tl));
    if (window != nullptr) UiDestroyWindow(window);
    REQUIRE(EndSimulatedProcess(7));
    TargetExited(&tl); // joins the watcher, which has seen the end
    CHECK(Log().waitsByProcess == 1);
    CHECK(HeadlessPostedCount() == 0);
    CHECK(HeadlessPostsRefused() == 0);
    uint32_t code = 0;
    // A window that was there and is gone gets nothing; a front end without one is told.
    CHECK(TakeExitNotice(&tl, &code) == (window == nullptr));
    if (window == nullptr) CHECK(code == 7);
    CHECK_FALSE(TakeExitNotice(&tl, &code));
    EndTarget(&tl);
    CheckReleased();
}

} // namespace olv
