// The recording's operations called as a front end without a window calls them: inputs given,
// outcomes returned, and no message box shown by any of them.
#include "doctest.h"

#include <string>

#include "app/recording_setup.h"
#include "app/lifecycle.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "record/stored_rows.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/sim_process.h"
#include "platform/sim/sim_trace_service.h"
#include "platform/thread.h"
#include "platform/time.h"

using namespace olv;

namespace {

// A text of stored row i.
std::u16string StoredString(const Recording* app, int32_t i, RowText which) {
    char16_t text[kPathChars + 1];
    CopyStoredText(app, i, which, text, kPathChars + 1);
    return text;
}


constexpr const char16_t* kKernel = u"NT Kernel Logger";
constexpr const char16_t* kPath = u"C:\\Samples\\a.exe";
constexpr uint32_t kPid = 5100;

struct Operations {
    Recording* app = AllocRecord<Recording>();
    std::u16string question; // what the take-over answer was asked
    bool answer = false;

    Operations() {
        ResetHeadlessUi();
        ResetSimProcesses();
        SimTraceReset();
        SetVersionOverride(10, 0, 19045);
        SetClockOverride(133480000000000000);
        SetSimulatedFileAttributes(kPath, false);
        SetSimNextProcessId(kPid);
        InitRecording(app); // no window and no controls: the operations need none
    }
    ~Operations() {
        CleanUpRecording(app);
        FreeBlock(app);
        SetSimulatedFileAttributes(nullptr, false);
        ClearClockOverride();
        ClearVersionOverride();
        SimTraceReset();
        ResetSimProcesses();
    }
    static bool Answer(void* context, const char16_t* q) {
        auto* self = static_cast<Operations*>(context);
        self->question = q;
        return self->answer;
    }
    Outcome Start(const char16_t* path = kPath, const char16_t* arguments = nullptr) {
        StartRequest request{};
        request.path = path;
        request.arguments = arguments;
        request.takeOver = Answer;
        request.takeOverContext = this;
        return StartRecording(app, request);
    }
    static uint32_t Boxes() { return HeadlessModel()->messageBoxCount; }
};

std::u16string Text(const Outcome& o) {
    return o.text;
}

} // namespace

TEST_CASE("Start and Stop take their inputs and return outcomes; nothing is shown") {
    Operations op;
    SUBCASE("a start with arguments, a second start refused as busy, a stop") {
        const Outcome started = op.Start(kPath, u"-x \"y z\"");
        CHECK(started.code == OutcomeCode::kOk);
        CHECK_FALSE(OutcomeHasMessage(started));
        REQUIRE(op.app->recording == 1);
        REQUIRE(op.app->rowCount >= 1);
        CHECK(StoredString(op.app, 0, kTextPath) == u"\"C:\\Samples\\a.exe\" -x \"y z\"");

        const Outcome again = op.Start();
        CHECK(again.code == OutcomeCode::kBusy);
        CHECK_FALSE(OutcomeHasMessage(again));

        const Outcome stopped = StopRecording(op.app);
        CHECK(stopped.code == OutcomeCode::kOk);
        CHECK(op.app->recording == 0);
        CHECK(StopRecording(op.app).code == OutcomeCode::kOk); // nothing runs: nothing to do
    }
    SUBCASE("inputs refused before anything starts keep the rows there") {
        struct Case {
            const char16_t* path;
            MessageIcon icon;
            const char16_t* start;
        };
        const std::u16string tooLong = u"C:\\" + std::u16string(300, u'a') + u".exe";
        const Case cases[] = {
            {u"", kIconWarning, u"Choose the EXE file to run first."},
            {u"C:\\nowhere.exe", kIconError, u"File not found."},
            {tooLong.c_str(), kIconError, u"The path is longer than 259 characters."},
        };
        REQUIRE(op.Start().code == OutcomeCode::kOk);
        StopRecording(op.app);
        const int32_t rows = op.app->rowCount;
        for (const Case& c : cases) {
            const Outcome o = op.Start(c.path);
            CHECK(o.code == OutcomeCode::kBadInput);
            CHECK(o.icon == c.icon);
            CHECK(Text(o).rfind(c.start, 0) == 0);
            CHECK(std::u16string(o.caption) == u"Olvetta");
            CHECK(op.app->recording == 0);
            CHECK(op.app->rowCount == rows);
        }
    }
    SUBCASE("the program that cannot be ended is a warning of its own") {
        REQUIRE(op.Start().code == OutcomeCode::kOk);
        FailSimTermination();
        const Outcome stopped = StopRecording(op.app);
        CHECK(stopped.code == OutcomeCode::kProgramLeftRunning);
        CHECK(stopped.icon == kIconWarning);
        CHECK(Text(stopped).find(u"may still be running") != std::u16string::npos);
        CHECK(op.app->recording == 0);
    }
    CHECK(Operations::Boxes() == 0);
}

TEST_CASE("the kernel session held by another program: the caller's answer decides") {
    Operations op;
    SimTraceAddForeignSession(kKernel);
    SUBCASE("No: a trace session error, everything undone") {
        op.answer = false;
        const Outcome o = op.Start();
        CHECK(o.code == OutcomeCode::kTraceError);
        CHECK(o.icon == kIconError);
        CHECK(Text(o) == u"ETW: The Windows kernel trace session is in use by another program.");
        CHECK(op.question.find(u"Stop the existing session and continue?") != std::u16string::npos);
        CHECK((op.app->recording == 0 && op.app->trace == nullptr && op.app->launcher == nullptr));
        CHECK(op.app->rowCount == 0);
    }
    SUBCASE("Yes: the other session is stopped and the recording runs") {
        op.answer = true;
        CHECK(op.Start().code == OutcomeCode::kOk);
        CHECK(op.app->recording == 1);
        CHECK((op.app->recordingInfo.flags & foreignKernelSessionStopped) != 0);
        StopRecording(op.app);
    }
    SUBCASE("no answer given: the other session is left alone and no box asks") {
        StartRequest request{};
        request.path = kPath;
        const Outcome o = StartRecording(op.app, request);
        CHECK(o.code == OutcomeCode::kTraceError);
        CHECK(Text(o) == u"ETW: The Windows kernel trace session is in use by another program.");
        CHECK(op.app->recording == 0);
    }
    CHECK(Operations::Boxes() == 0);
}

// Takes the threads' notices until want says the one awaited came; false after 10 s.
template <typename Want> bool TakeNoticesUntil(Recording* app, Outcome* last, Want want) {
    const int64_t deadline = NowTicks() + 10 * kTicksPerSecond;
    for (;;) {
        *last = TakeThreadNotices(app);
        if (want()) return true;
        if (NowTicks() > deadline) return false;
        SleepMilliseconds(1);
    }
}

TEST_CASE("without a window the threads' notices are taken by code: the program's end, the "
          "trace session's end") {
    Operations op;
    ClearClockOverride(); // the wait below reads the clock
    SimTraceSetEvents(
        kKernel, [](void*, uint32_t, SimEvent*, bool*) { return false; }, nullptr);
    REQUIRE(op.Start().code == OutcomeCode::kOk);
    Outcome last{};

    // The program ends by itself: its row, and the recording goes on.
    const int32_t rows = op.app->rowCount;
    REQUIRE(EndSimulatedProcess(7));
    REQUIRE_MESSAGE(TakeNoticesUntil(op.app, &last, [&] { return op.app->rowCount > rows; }),
                    "waited 10 s for the program's end");
    CHECK(last.code == OutcomeCode::kOk);
    CHECK(StoredString(op.app, rows, kTextOperation) == u"Target process exited");
    CHECK(op.app->recording == 1);

    // The kernel session ends by itself: an outcome and a state.
    CHECK(op.app->traceEndedEarly == 0);
    REQUIRE(SimTraceEndSession(kKernel, 0));
    REQUIRE_MESSAGE(TakeNoticesUntil(op.app, &last, [&] { return last.code != OutcomeCode::kOk; }),
                    "waited 10 s for the kernel session's end");
    CHECK(last.code == OutcomeCode::kTraceError);
    CHECK(last.icon == kIconError);
    CHECK(std::u16string(last.caption) == u"ETW Error");
    CHECK(OutcomeHasMessage(last));
    CHECK(op.app->traceEndedEarly == 1);
    CHECK(TakeThreadNotices(op.app).code == OutcomeCode::kOk); // taken once
    CHECK(StopRecording(op.app).code == OutcomeCode::kOk);
    CHECK(op.app->traceEndedEarly == 1); // stays with the recording it describes

    // The next recording starts without it.
    SimTraceReset();
    REQUIRE(op.Start().code == OutcomeCode::kOk);
    CHECK(op.app->traceEndedEarly == 0);
    StopRecording(op.app);
    CHECK(Operations::Boxes() == 0);
    CHECK(HeadlessPostedCount() == 0);
}

TEST_CASE("Clear counts the rows as cleared and removes them without asking") {
    Operations op;
    REQUIRE(op.Start().code == OutcomeCode::kOk);
    StopRecording(op.app);
    const int32_t rows = op.app->rowCount;
    REQUIRE(rows > 0);
    CHECK(ClearRecording(op.app).code == OutcomeCode::kOk);
    CHECK(op.app->rowCount == 0);
    CHECK(op.app->cleared.rows == static_cast<uint32_t>(rows));
    CHECK(Operations::Boxes() == 0);
}
