// The kernel trace session against the simulated trace service: the start and its failures,
// taking the session over, events into the queue, the end by itself, the ordered stop and the
// loss figures.
#include "capture_fixture.h"

using namespace olv;

namespace {

constexpr const char16_t* kTakeOverQuestion =
    u"Another program is already using the Windows kernel trace session.\n\nWindows only has "
    u"one of these, so monitoring cannot start until it is free. Taking it stops whatever that "
    u"other program is recording.\n\nStop the existing session and continue?";
constexpr const char16_t* kInUseText =
    u"The Windows kernel trace session is in use by another program.";

bool SameGuid(const Guid& a, const Guid& b) {
    return a == b;
}

} // namespace

TEST_CASE_FIXTURE(CaptureFixture, "the kernel session starts with its real-time properties "
                                  "block and stops in order, any number of times") {
    REQUIRE(Start());
    CHECK(activeTraceController == tc);
    CHECK(AtomicLoad(tc->kernelRunning) == 1);
    CHECK(tc->kernelSession != kNoSession);
    CHECK(tc->kernelTrace != kNoSession);
    CHECK(tc->kernelThread != nullptr);
    CHECK(TextIsEmpty(tc->errorText));
    CHECK(HeadlessModel()->messageBoxCount == 0);

    const SimSessionInfo started = Session(kKernelName);
    const TraceProperties& p = started.lastStart;
    CHECK(p.wnode.bufferSize == 1160);
    CHECK(SameGuid(
        p.wnode.guid,
        Guid{0x9e814aad, 0x3204, 0x11d2, {0x9a, 0x82, 0x00, 0x60, 0x08, 0xa8, 0x69, 0x39}}));
    CHECK(p.wnode.clientContext == 1);
    CHECK(p.wnode.flags == 0x20000);
    CHECK(p.bufferSize == 64);
    CHECK(p.minimumBuffers == 0);
    CHECK(p.maximumBuffers == 64);
    CHECK(p.logFileMode == 0x100);
    CHECK(p.flushTimer == 1);
    CHECK(p.enableFlags == 0x06030005);
    CHECK(p.logFileNameOffset == 0);
    CHECK(p.loggerNameOffset == 120);
    CHECK(U8(p.loggerName) == "NT Kernel Logger");
    CHECK(p.maximumFileSize == 0);
    CHECK(p.ageLimit == 0);
    CHECK(p.wnode.historicalContext == 0);

    StopTraceSessions(tc);
    CHECK(tc->kernelSession == kNoSession);
    CHECK(tc->kernelTrace == kNoSession);
    CHECK(tc->kernelThread == nullptr);
    CHECK(AtomicLoad(tc->kernelRunning) == 0);
    CHECK(activeTraceController == nullptr);
    const SimSessionInfo stopped = Session(kKernelName);
    CHECK(stopped.running == 0);
    CHECK(stopped.consumerOpen == 0);
    CHECK(stopped.stopsOk == 1);
    CHECK(stopped.lastProcessStatus == 0);
    // The stop block carries only its size and the two name offsets.
    CHECK(stopped.lastControl.wnode.bufferSize == 1160);
    CHECK(stopped.lastControl.loggerNameOffset == 120);
    CHECK(stopped.lastControl.logFileNameOffset == 640);
    CHECK(stopped.lastControl.enableFlags == 0);
    CHECK(stopped.lastControl.logFileMode == 0);

    StopTraceSessions(tc);
    ReleaseTraceController(tc);
    CHECK(Session(kKernelName).stopsOk == 1);
    CHECK(HeadlessPostedCount() == 0);
}

TEST_CASE_FIXTURE(CaptureFixture, "every failure of the start leaves its exact text and nothing "
                                  "running") {
    struct Case {
        const char* name;
        void (*arrange)();
        int answer; // queued for the question; 0 = none asked
        const char* text;
        bool foreignLeftRunning;
        uint32_t startCalls;
    };
    const Case cases[] = {
        {"properties block refused", [] { RefuseNthAllocation(1); }, 0, "Memory allocation failed",
         false, 0},
        {"no administrator rights", [] { SimTraceSetAdmin(false); }, 0,
         "StartTrace failed: 5 (Admin required)", false, 1},
        {"start fails otherwise", [] { SimTraceFailStep(kKernelName, kSimStepStart, 1450, 1); }, 0,
         "StartTrace failed: 1450", false, 1},
        {"session in use, answer No", [] { SimTraceAddForeignSession(kKernelName); }, kAnswerNo,
         "The Windows kernel trace session is in use by another program.", true, 1},
        {"session in use, Yes, but the other session cannot be stopped",
         [] {
             SimTraceAddForeignSession(kKernelName);
             SimTraceFailStep(kKernelName, kSimStepStop, 5, 1);
         },
         kAnswerYes, "StartTrace failed: 183", true, 2},
        {"consumer cannot be opened", [] { SimTraceFailStep(kKernelName, kSimStepOpen, 161, 1); },
         0, "OpenTrace failed: 161", false, 1},
        {"thread cannot be made", [] { RefuseNthThreadStart(1); }, 0, "CreateThread failed: 8",
         false, 1},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        ReleaseTraceController(tc);
        ResetTraceController(tc);
        SimTraceReset();
        ResetHeadlessUi();
        ResetAllocationFaults();
        RefuseNthThreadStart(0);
        const int64_t live = LiveAllocationCount();
        c.arrange();
        if (c.answer != 0) HeadlessQueueAnswer(c.answer);

        CHECK_FALSE(Start());
        ResetAllocationFaults();
        RefuseNthThreadStart(0);
        CHECK(U8(tc->errorText) == c.text);
        CHECK(tc->dnsOn == 0);
        CHECK(tc->foreignSessionStopped == 0);

        // The question was asked exactly when the session was in use.
        CHECK(HeadlessModel()->messageBoxCount == (c.answer != 0 ? 1u : 0u));
        if (c.answer != 0) {
            const HeadlessMessageBox* box = HeadlessLastMessageBox();
            REQUIRE(box != nullptr);
            CHECK(U8(box->text) == U8(kTakeOverQuestion));
            CHECK(U8(box->caption) == "Olvetta");
            CHECK(box->icon == kIconWarning);
            CHECK(box->buttons == kButtonsYesNoDefaultNo);
            CHECK(box->owned == 1);
        }
        const SimSessionInfo info = Session(kKernelName);
        CHECK(info.foreign == (c.foreignLeftRunning ? 1 : 0));
        CHECK(info.startCalls == c.startCalls);

        // What the failed-start reset does: nothing left running, nothing leaked, repeatable.
        StopTraceSessions(tc);
        StopTraceSessions(tc);
        ReleaseTraceController(tc);
        CHECK(Session(kKernelName).running == 0);
        CHECK(Session(kKernelName).consumerOpen == 0);
        CHECK(tc->kernelSession == kNoSession);
        CHECK(tc->kernelTrace == kNoSession);
        CHECK(tc->kernelThread == nullptr);
        CHECK(activeTraceController == nullptr);
        CHECK(HeadlessPostedCount() == 0);
        CHECK(LiveAllocationCount() == live);
    }
}

TEST_CASE_FIXTURE(CaptureFixture, "answering Yes stops the other program's session and starts "
                                  "this one") {
    SimTraceAddForeignSession(kKernelName);
    HeadlessQueueAnswer(kAnswerYes);
    REQUIRE(Start());
    CHECK(tc->foreignSessionStopped == 1);
    CHECK(TextIsEmpty(tc->errorText));
    const SimSessionInfo info = Session(kKernelName);
    CHECK(info.foreign == 0);
    CHECK(info.running == 1);
    CHECK(info.startCalls == 2);
    CHECK(info.startsOk == 1);
    // The other session was stopped by name with a stop block.
    CHECK(info.lastControl.wnode.bufferSize == 1160);
    CHECK(info.lastControl.loggerNameOffset == 120);
    CHECK(info.lastControl.logFileNameOffset == 640);
    CHECK(HeadlessModel()->messageBoxCount == 1);
    CHECK(HeadlessLastMessageBox()->answer == kAnswerYes);
    StopTraceSessions(tc);
    CHECK(tc->foreignSessionStopped == 1);
}

TEST_CASE_FIXTURE(CaptureFixture, "events reach the queue in order while the recording runs, "
                                  "released by the test a few at a time") {
    Script script{kImageLoads, 5};
    SimTraceSetEvents(kKernelName, Script::Produce, &script);
    SimTraceGateEvents(kKernelName, 2);
    REQUIRE(Start());

    REQUIRE(SimTraceWaitIdle(kKernelName));
    CHECK(Session(kKernelName).delivered == 2);
    REQUIRE(Queued() == 2);
    CHECK(U8(QueuedRow(0).operation) == "Loaded DLL");
    CHECK(U8(QueuedRow(0).path) == "C:\\lib\\0.dll");
    CHECK(U8(QueuedRow(1).path) == "C:\\lib\\1.dll");
    CHECK(QueuedRow(1).pid == kTargetPid);
    CHECK(U8(QueuedRow(1).process) == "sample.exe");

    SimTraceGateEvents(kKernelName, kSimNoGate);
    REQUIRE(SimTraceWaitDelivered(kKernelName, 5));
    REQUIRE(Queued() == 5);
    for (uint32_t i = 0; i < 5; ++i)
        CHECK(QueuedRow(i).timestamp == uint64_t(kScriptStart + i));
    StopTraceSessions(tc);
    CHECK(Queued() == 5);
    CHECK(app->droppedHere == 0);
    CHECK(ReadLossFigures(tc).unreadableRecords == 0);
}

TEST_CASE_FIXTURE(CaptureFixture, "a record whose decoding faults is counted as unreadable and "
                                  "the next one decodes normally") {
    Script script{kImageLoads, 4};
    script.faultAt = 1;
    SimTraceSetEvents(kKernelName, Script::Produce, &script);
    REQUIRE(Start());
    REQUIRE(SimTraceWaitDelivered(kKernelName, 4));
    CHECK(AtomicLoad(tc->unreadableRecords) == 1);
    REQUIRE(Queued() == 3);
    CHECK(U8(QueuedRow(0).path) == "C:\\lib\\0.dll");
    CHECK(U8(QueuedRow(1).path) == "C:\\lib\\2.dll");
    CHECK(U8(QueuedRow(2).path) == "C:\\lib\\3.dll");
    StopTraceSessions(tc);
    CHECK(ReadLossFigures(tc).unreadableRecords == 1);
}

TEST_CASE_FIXTURE(CaptureFixture, "a session ended from outside posts exactly one trace-stopped "
                                  "message; a stop asked for posts none") {
    struct Case {
        uint32_t status;
        const char* text;
    };
    const Case cases[] = {
        {0, "Recording stopped on its own: something else took the Windows kernel trace session. "
            "Nothing after this point was recorded."},
        {1223, "Recording stopped on its own: something else took the Windows kernel trace "
               "session. Nothing after this point was recorded."},
        {4201, "Recording stopped on its own (ProcessTrace: 4201). Nothing after this point was "
               "recorded."},
    };
    for (const Case& c : cases) {
        CAPTURE(c.status);
        SimTraceReset();
        ResetHeadlessUi();
        ReleaseTraceController(tc);
        ResetTraceController(tc);
        REQUIRE(Start());
        REQUIRE(SimTraceEndSession(kKernelName, c.status));
        JoinEndedThread(&tc->kernelThread);

        REQUIRE(HeadlessPostedCount() == 1);
        HeadlessPostedMessage m{};
        REQUIRE(HeadlessTakePostedMessage(&m));
        CHECK(m.message == WM_APP_TRACE_STOPPED);
        CHECK(m.message == 32771);
        CHECK(m.wParam == 0);
        auto* text = reinterpret_cast<char16_t*>(m.lParam);
        REQUIRE(text != nullptr);
        CHECK(U8(text) == c.text);
        FreeBlock(text);

        // The window then runs Stop: nothing more is posted.
        StopTraceSessions(tc);
        CHECK(HeadlessPostedCount() == 0);
        CHECK(activeTraceController == nullptr);
    }

    // A stop asked for by the program posts nothing.
    ReleaseTraceController(tc);
    ResetTraceController(tc);
    REQUIRE(Start());
    StopTraceSessions(tc);
    CHECK(HeadlessPostedCount() == 0);
    CHECK(HeadlessPostsRefused() == 0);
}

TEST_CASE_FIXTURE(CaptureFixture, "a trace-stopped text that cannot be posted is freed by the "
                                  "thread") {
    const int64_t live = LiveAllocationCount();
    REQUIRE(Start());
    HeadlessFailNextPosts(1);
    REQUIRE(SimTraceEndSession(kKernelName, 0));
    JoinEndedThread(&tc->kernelThread);
    CHECK(HeadlessPostsRefused() == 1);
    CHECK(HeadlessPostedCount() == 0);
    StopTraceSessions(tc);
    CHECK(LiveAllocationCount() == live);
}

TEST_CASE_FIXTURE(CaptureFixture, "held file rows are flushed into the queue after both threads "
                                  "have ended, with the stop rundown's key names already known") {
    Script kernelScript{kImageLoads, 2};
    Script heldScript{kHeldFileOpens, 1};
    Script rundown{kKeyRundown, 3};
    Script dnsScript{kDnsQueries, 2};
    // The kernel session delivers two image loads, then one file open that stays held.
    struct Both {
        Script* first;
        Script* then;
        static bool Produce(void* context, uint32_t index, SimEvent* e, bool* fault) {
            auto* b = static_cast<Both*>(context);
            if (index < b->first->count) return Script::Produce(b->first, index, e, fault);
            return Script::Produce(b->then, index - b->first->count, e, fault);
        }
    } kernel{&kernelScript, &heldScript};
    SimTraceSetEvents(kKernelName, Both::Produce, &kernel);
    SimTraceSetRundown(kKernelName, Script::Produce, &rundown);
    SimTraceSetEvents(kDnsName, Script::Produce, &dnsScript);
    REQUIRE(Start());
    REQUIRE(tc->dnsOn == 1);
    REQUIRE(SimTraceWaitDelivered(kKernelName, 3));
    REQUIRE(SimTraceWaitDelivered(kDnsName, 2));
    CHECK(HeldFileRowCount(&tc->tracking) == 1);
    CHECK(Queued() == 4);

    // Watch the flush: it must find both threads gone and the rundown's names learnt.
    struct Watch {
        TraceController* tc;
        AppState* app;
        int rows;
        bool threadsGone;
        bool keyKnown;
        static void Sink(void* context, const EventRow* row) {
            auto* w = static_cast<Watch*>(context);
            ++w->rows;
            w->threadsGone = w->tc->kernelThread == nullptr && w->tc->dnsThread == nullptr;
            char16_t name[1024];
            w->keyKnown = LookupKeyName(&w->tc->tracking, 0xF002, kScriptStart + 10, name, 1024) &&
                          TextEquals(name, u"\\REGISTRY\\MACHINE\\K2");
            QueueRow(w->app, row);
        }
    } watch{tc, app, 0, false, false};
    SetRowSink(&tc->tracking, Watch::Sink, &watch);

    StopTraceSessions(tc);
    CHECK(Session(kKernelName).rundownDelivered == 3);
    CHECK(watch.rows == 1);
    CHECK(watch.threadsGone);
    CHECK(watch.keyKnown);
    CHECK(HeldFileRowCount(&tc->tracking) == 0);
    REQUIRE(Queued() == 5);
    const EventRow& last = QueuedRow(4);
    CHECK(U8(last.operation) == "Opened file");
    CHECK(U8(last.path) == "C:\\held\\0");
    CHECK(U8(last.result) == "-");
    CHECK(QueuedWithOperation("Loaded DLL") == 2);
    CHECK(QueuedWithOperation("DNS query") == 2);
}

TEST_CASE_FIXTURE(CaptureFixture, "held rows reach the queue through the controller's sink when "
                                  "the sessions stop") {
    Script heldScript{kHeldFileOpens, 2};
    SimTraceSetEvents(kKernelName, Script::Produce, &heldScript);
    REQUIRE(Start());
    REQUIRE(SimTraceWaitDelivered(kKernelName, 2));
    CHECK(Queued() == 0);
    StopTraceSessions(tc);
    CHECK(Queued() == 2);
    CHECK(QueuedWithOperation("Opened file") == 2);

    // Without an AppState the sink drops nothing into a queue and does not crash.
    tc->appState = nullptr;
    FlushHeldFileRows(&tc->tracking);
    CHECK(Queued() == 2);
}

TEST_CASE_FIXTURE(CaptureFixture, "loss figures are summed over both sessions, asked while they "
                                  "run and final after the stop") {
    SimTraceSetLosses(kKernelName, 12, 1);
    SimTraceSetLosses(kDnsName, 3, 2);
    REQUIRE(Start());
    REQUIRE(tc->dnsOn == 1);
    LossFigures running = ReadLossFigures(tc);
    CHECK(running.eventsLost == 15);
    CHECK(running.buffersLost == 3);
    CHECK(tc->lossFinal == 0);

    SimTraceSetLosses(kKernelName, 20, 4);
    SimTraceSetLosses(kDnsName, 5, 5);
    running = ReadLossFigures(tc);
    CHECK(running.eventsLost == 25);
    CHECK(running.buffersLost == 9);

    StopTraceSessions(tc);
    CHECK(tc->lossFinal == 1);
    SimTraceSetLosses(kKernelName, 99, 99);
    SimTraceSetLosses(kDnsName, 99, 99);
    LossFigures final = ReadLossFigures(tc);
    CHECK(final.eventsLost == 25);
    CHECK(final.buffersLost == 9);
    StopTraceSessions(tc);
    final = ReadLossFigures(tc);
    CHECK(final.eventsLost == 25);
    CHECK(final.buffersLost == 9);
}

TEST_CASE_FIXTURE(CaptureFixture, "a loss query that fails adds nothing") {
    SimTraceSetLosses(kKernelName, 7, 1);
    SimTraceSetLosses(kDnsName, 3, 2);
    REQUIRE(Start());
    SimTraceFailStep(kKernelName, kSimStepQuery, 31, 1);
    const LossFigures running = ReadLossFigures(tc);
    CHECK(running.eventsLost == 3);
    CHECK(running.buffersLost == 2);
    StopTraceSessions(tc);
}

TEST_CASE_FIXTURE(CaptureFixture, "both sessions delivering at once: every event is accounted "
                                  "for") {
    Script kernelScript{kImageLoads, 3000};
    kernelScript.faultEvery = 700;
    Script dnsScript{kDnsQueries, 3000};
    dnsScript.faultEvery = 900;
    SimTraceSetEvents(kKernelName, Script::Produce, &kernelScript);
    SimTraceSetEvents(kDnsName, Script::Produce, &dnsScript);
    REQUIRE(Start());
    REQUIRE(tc->dnsOn == 1);
    REQUIRE(SimTraceWaitDelivered(kKernelName, 3000));
    REQUIRE(SimTraceWaitDelivered(kDnsName, 3000));
    StopTraceSessions(tc);

    const uint32_t faults = kernelScript.FaultCount() + dnsScript.FaultCount();
    CHECK(faults == 4 + 3);
    CHECK(ReadLossFigures(tc).unreadableRecords == faults);
    CHECK(AtomicLoad(app->droppedHere) == 0);
    CHECK(Queued() == 6000 - faults);
    CHECK(QueuedWithOperation("Loaded DLL") == 3000 - kernelScript.FaultCount());
    CHECK(QueuedWithOperation("DNS query") == 3000 - dnsScript.FaultCount());
    // Each session's rows keep their order.
    int64_t lastKernel = -1, lastDns = -1;
    bool ordered = true;
    for (uint32_t i = 0; i < Queued(); ++i) {
        const EventRow& r = QueuedRow(i);
        int64_t& last = r.category == kCategoryProcess ? lastKernel : lastDns;
        ordered = ordered && static_cast<int64_t>(r.timestamp) > last;
        last = static_cast<int64_t>(r.timestamp);
    }
    CHECK(ordered);
}

TEST_CASE_FIXTURE(CaptureFixture, "events delivered with no live controller are ignored") {
    Script script{kImageLoads, 1};
    SimEvent* e = AllocRecord<SimEvent>();
    REQUIRE(e != nullptr);
    bool fault = false;
    Script::Produce(&script, 0, e, &fault);
    OnEventRecord(&e->record); // no controller is active
    CHECK(Queued() == 0);
    REQUIRE(Start());
    OnEventRecord(nullptr); // a null record is nothing
    OnEventRecord(&e->record);
    CHECK(Queued() == 1);
    StopTraceSessions(tc);
    OnEventRecord(&e->record);
    CHECK(Queued() == 1);
    FreeBlock(e);
}
