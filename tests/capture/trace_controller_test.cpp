// The kernel trace session against the simulated trace service: the start and its failures,
// taking the session over, events into the queue, the end by itself, the ordered stop and the
// loss figures.
#include "capture_fixture.h"
#include "report/completeness.h"

using namespace olv;

TEST_CASE_FIXTURE(CaptureFixture, "the kernel session starts with its real-time properties "
                                  "block, takes events only while live and stops any number of "
                                  "times") {
    SimEvent* e = AllocRecord<SimEvent>();
    REQUIRE(e != nullptr);
    Script one{kImageLoads, 1};
    bool fault = false;
    Script::Produce(&one, 0, e, &fault);
    OnEventRecord(&e->record); // no live controller: ignored
    CHECK(Queued() == 0);

    REQUIRE(Start());
    CHECK(activeTraceController == tc);
    CHECK(TextIsEmpty(tc->errorText));
    CheckStartBlock(
        Session(kKernelName).lastStart,
        Guid{0x9e814aad, 0x3204, 0x11d2, {0x9a, 0x82, 0x00, 0x60, 0x08, 0xa8, 0x69, 0x39}},
        "NT Kernel Logger", kMachineWideLoad, 0x06030007);
    OnEventRecord(nullptr); // a null record is nothing
    OnEventRecord(&e->record);
    CHECK(Queued() == 1);

    // The processing thread raised its own priority before it began to process.
    REQUIRE(SimTraceWaitIdle(kKernelName));
    CHECK(Session(kKernelName).priorityRaises == 1);
    CHECK(Session(kKernelName).raisedOnProcessingThread == 1);

    StopTraceSessions(tc);
    CheckKernelGone();
    // The stop block carries only its size and the two name offsets.
    const TraceProperties& stop = Session(kKernelName).lastControl;
    CheckFields({{"bufferSize", stop.wnode.bufferSize, 1160},
                 {"logFileNameOffset", stop.logFileNameOffset, 640},
                 {"enableFlags", stop.enableFlags, 0}});
    OnEventRecord(&e->record);
    CHECK(Queued() == 1);

    StopTraceSessions(tc);
    ReleaseTraceController(tc);
    CHECK(Session(kKernelName).stopsOk == 1);
    CHECK(HeadlessPostedCount() == 0);
    FreeBlock(e);
}

TEST_CASE_FIXTURE(CaptureFixture, "every failure of the start leaves its exact text and nothing "
                                  "running") {
    struct Case {
        const char* name;
        void (*arrange)();
        int answer; // the front end's answer to the question; 0 = no front end answers
        const char* text;
        bool foreignLeftRunning;
        uint32_t startCalls;
    };
    const Case cases[] = {
        {"properties block refused", [] { RefuseNthAllocation(1); }, 0, "Memory allocation failed",
         false, 0},
        {"no administrator rights", [] { SimTraceSetAdmin(false); }, 0,
         "StartTrace failed: Access is denied. (5) (Admin required)", false, 1},
        {"start fails otherwise", [] { SimTraceFailStep(kKernelName, kSimStepStart, 1450, 1); }, 0,
         "StartTrace failed: Error 1450", false, 1},
        {"session in use, answer No", [] { SimTraceAddForeignSession(kKernelName); }, kAnswerNo,
         "The Windows kernel trace session is in use by another program.", true, 1},
        {"session in use, nobody to answer: left alone",
         [] { SimTraceAddForeignSession(kKernelName); }, 0,
         "The Windows kernel trace session is in use by another program.", true, 1},
        {"session in use, Yes, but the other session cannot be stopped",
         [] {
             SimTraceAddForeignSession(kKernelName);
             SimTraceFailStep(kKernelName, kSimStepStop, 5, 1);
         },
         kAnswerYes, "StartTrace failed: Error 183", true, 2},
        {"consumer cannot be opened", [] { SimTraceFailStep(kKernelName, kSimStepOpen, 161, 1); },
         0, "OpenTrace failed: Error 161", false, 1},
        {"thread cannot be made", [] { RefuseNthThreadStart(1); }, 0, "CreateThread failed: Not enough memory resources are available to process this command. (8)",
         false, 1},
    };
    for (const Case& c : cases) {
        INFO(std::string(c.name));
        Fresh();
        const int64_t live = LiveAllocationCount();
        c.arrange();
        // The core asks through the front end's answer, never in a box of its own.
        struct Asked {
            int answer;
            uint32_t count;
            std::string question;
        } asked{c.answer, 0, ""};
        tc->takeOver = nullptr;
        if (c.answer != 0) {
            tc->takeOver = [](void* context, const char16_t* question) {
                auto* a = static_cast<Asked*>(context);
                ++a->count;
                a->question = U8(question);
                return a->answer == kAnswerYes;
            };
        }
        tc->takeOverContext = &asked;

        CHECK_FALSE(Start());
        ResetAllocationFaults();
        RefuseNthThreadStart(0);
        CHECK(U8(tc->errorText) == c.text);
        CHECK(AtomicLoad8(tc->dnsOn) == 0);
        CHECK(tc->foreignSessionStopped == 0);
        CHECK(HeadlessModel()->messageBoxCount == 0u);
        CHECK(asked.count == (c.answer != 0 ? 1u : 0u));
        if (c.answer != 0) {
            CHECK(asked.question.rfind("Another program is already using the Windows kernel trace "
                                       "session.",
                                       0) == 0);
        }
        const SimSessionInfo info = Session(kKernelName);
        CHECK(info.foreign == (c.foreignLeftRunning ? 1 : 0));
        CHECK(info.startCalls == c.startCalls);

        // What the failed-start reset does: nothing left running, nothing leaked, repeatable.
        StopTraceSessions(tc);
        StopTraceSessions(tc);
        ReleaseTraceController(tc);
        CheckKernelGone();
        CHECK(HeadlessPostedCount() == 0);
        CHECK(LiveAllocationCount() == live);
    }
}

TEST_CASE_FIXTURE(CaptureFixture, "without a window the session's end is left as a notice, taken "
                                  "once or released with the controller") {
    for (const bool take : {true, false}) {
        CAPTURE(take);
        Fresh();
        const int64_t live = LiveAllocationCount();
        REQUIRE(StartKernelSession(tc, nullptr, app));
        REQUIRE(SimTraceEndSession(kKernelName, 0));
        JoinEndedThread(&tc->kernelThread);
        CHECK(HeadlessPostedCount() == 0);
        if (take) {
            char16_t* text = TakeTraceEndedNotice(tc);
            REQUIRE(text != nullptr);
            CHECK(U8(text).rfind("Recording stopped on its own", 0) == 0);
            CHECK(TakeTraceEndedNotice(tc) == nullptr);
            FreeBlock(text);
        }
        StopTraceSessions(tc);
        CHECK(LiveAllocationCount() == live + (take ? 0 : 1)); // the notice nobody took
        // Released with the controller (the fixture's end checks that nothing is left).
        ReleaseTraceController(tc);
        CHECK(TakeTraceEndedNotice(tc) == nullptr);
    }
}

TEST_CASE_FIXTURE(CaptureFixture, "answering Yes stops the other program's session and starts "
                                  "this one") {
    SimTraceAddForeignSession(kKernelName);
    tc->takeOver = [](void*, const char16_t*) { return true; };
    REQUIRE(Start());
    CHECK(tc->foreignSessionStopped == 1);
    const SimSessionInfo info = Session(kKernelName);
    CHECK(info.foreign == 0);
    CHECK(info.running == 1);
    CHECK(info.startCalls == 2);
    CHECK(info.lastControl.logFileNameOffset == 640); // stopped by name with a stop block
    StopTraceSessions(tc);
}

TEST_CASE_FIXTURE(CaptureFixture, "a session ended from outside posts exactly one trace-stopped "
                                  "message, and the stop after it none") {
    const char* taken = "Recording stopped on its own: something else took the Windows kernel "
                        "trace session. Nothing after this point was recorded.";
    struct Case {
        uint32_t status;
        const char* text;
        bool postFails; // the text is then freed by the thread
    };
    const Case cases[] = {
        {0, taken, false},
        {1223, taken, false},
        {4201,
         "Recording stopped on its own (ProcessTrace: Error 4201). Nothing after this point was "
         "recorded.",
         false},
        {0, nullptr, true},
    };
    for (const Case& c : cases) {
        CAPTURE(c.status);
        Fresh();
        const int64_t live = LiveAllocationCount();
        REQUIRE(Start());
        if (c.postFails) HeadlessFailNextPosts(1);
        REQUIRE(SimTraceEndSession(kKernelName, c.status));
        JoinEndedThread(&tc->kernelThread);

        if (c.postFails) {
            CHECK(HeadlessPostsRefused() == 1);
            CHECK(HeadlessPostedCount() == 0);
        } else {
            REQUIRE(HeadlessPostedCount() == 1);
            HeadlessPostedMessage m{};
            REQUIRE(HeadlessTakePostedMessage(&m));
            CHECK(m.message == 32771);
            CHECK(m.wParam == 0);
            auto* text = reinterpret_cast<char16_t*>(m.lParam);
            REQUIRE(text != nullptr);
            CHECK(U8(text) == c.text);
            FreeBlock(text);
        }
        // The window then runs Stop: nothing more is posted.
        StopTraceSessions(tc);
        CHECK(HeadlessPostedCount() == 0);
        CHECK(LiveAllocationCount() == live);
    }
}

TEST_CASE_FIXTURE(CaptureFixture, "held file rows are flushed into the queue after both threads "
                                  "have ended, with the stop rundown's key names already known") {
    Script held{kHeldFileOpens, 1};
    Script rundown{kKeyRundown, 3};
    Script dnsScript{kDnsQueries, 2};
    SimTraceSetEvents(kKernelName, Script::Produce, &held);
    SimTraceSetRundown(kKernelName, Script::Produce, &rundown);
    SimTraceSetEvents(kDnsName, Script::Produce, &dnsScript);
    REQUIRE(Start());
    REQUIRE(SimTraceWaitDelivered(kKernelName, 1));
    REQUIRE(SimTraceWaitDelivered(kDnsName, 2));
    CHECK(HeldFileRowCount(&tc->tracking) == 1);
    CHECK(Queued() == 2);

    // Watch the flush: it must find both threads gone and the rundown's names learnt.
    struct Watch {
        TraceController* tc;
        Recording* app;
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
    REQUIRE(Queued() == 3);
    CHECK(U8(QueuedRow(2).path) == "C:\\held\\0");
    CHECK(U8(QueuedRow(2).result) == "-");
}

TEST_CASE_FIXTURE(CaptureFixture, "loss figures are summed over both sessions, asked while they "
                                  "run and final after the stop") {
    SimTraceSetLosses(kKernelName, 12, 1);
    SimTraceSetLosses(kDnsName, 3, 2);
    REQUIRE(Start());
    REQUIRE(AtomicLoad8(tc->dnsOn) == 1);
    LossFigures figures = ReadLossFigures(tc);
    CHECK(figures.eventsLost == 15);
    CHECK(figures.buffersLost == 3);
    SimTraceFailStep(kKernelName, kSimStepQuery, 31, 1); // a failed query keeps the last figures
    figures = ReadLossFigures(tc);
    CHECK(figures.eventsLost == 15);
    CHECK(figures.buffersLost == 3);

    SimTraceSetLosses(kKernelName, 20, 4);
    SimTraceSetLosses(kDnsName, 5, 5);
    StopTraceSessions(tc);
    CHECK(tc->lossFinal == 1);
    SimTraceSetLosses(kKernelName, 99, 99);
    StopTraceSessions(tc);
    figures = ReadLossFigures(tc);
    CHECK(figures.eventsLost == 25);
    CHECK(figures.buffersLost == 9);
}

// A session that ended by itself answers no query and may fail its stop; what it reported last
// must still count, and a stop that reports less than that does not lower it.
TEST_CASE_FIXTURE(CaptureFixture, "loss figures of a session that ended by itself survive the "
                                  "stop") {
    struct Case {
        const char* name;
        bool endsBySelf; // the session goes from outside: no query or stop answers any more
        uint32_t eventsAtStop, buffersAtStop;
        uint32_t expectEvents, expectBuffers;
    };
    const Case cases[] = {
        {"ended from outside", true, 0, 0, 12 + 3, 1 + 2},
        {"queries fail, stop reports less", false, 2, 0, 12 + 3, 1 + 2},
        {"queries fail, stop reports more", false, 40, 6, 40 + 3, 6 + 2},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        Fresh();
        SimTraceSetLosses(kKernelName, 12, 1);
        SimTraceSetLosses(kDnsName, 3, 2);
        REQUIRE(Start());
        CHECK(ReadLossFigures(tc).eventsLost == 15); // the timer's query while running
        if (c.endsBySelf) {
            REQUIRE(SimTraceEndSession(kKernelName, 0));
        } else {
            SimTraceFailStep(kKernelName, kSimStepQuery, kStatusInstanceNotFound, 1000);
        }
        LossFigures figures = ReadLossFigures(tc);
        CHECK(figures.eventsLost == 15);
        CHECK(figures.buffersLost == 3);
        SimTraceSetLosses(kKernelName, c.eventsAtStop, c.buffersAtStop);
        StopTraceSessions(tc);
        figures = ReadLossFigures(tc);
        CHECK(figures.eventsLost == c.expectEvents);
        CHECK(figures.buffersLost == c.expectBuffers);
    }
}

// Also the one test of a record whose decoding faults: it is counted as unreadable, and the next
// one decodes.
TEST_CASE_FIXTURE(CaptureFixture, "both sessions delivering at once: every event is accounted "
                                  "for") {
    Script kernelScript{kImageLoads, 3000};
    kernelScript.faultEvery = 700;
    Script dnsScript{kDnsQueries, 3000};
    dnsScript.faultEvery = 900;
    SimTraceSetEvents(kKernelName, Script::Produce, &kernelScript);
    SimTraceSetEvents(kDnsName, Script::Produce, &dnsScript);
    REQUIRE(Start());
    REQUIRE(SimTraceWaitDelivered(kKernelName, 3000));
    REQUIRE(SimTraceWaitDelivered(kDnsName, 3000));
    StopTraceSessions(tc);

    CHECK(ReadLossFigures(tc).unreadableRecords == 4 + 3);
    CHECK(AtomicLoad(app->droppedHere) == 0);
    CHECK(QueuedWithOperation("Loaded DLL") == 3000 - 4);
    CHECK(QueuedWithOperation("DNS query") == 3000 - 3);
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

// A stopped session still hands over what its buffers held; closing the consumer before its
// ProcessTrace returned by itself would cut those events (and the rundown) off.
TEST_CASE_FIXTURE(CaptureFixture, "the stop waits for the events the sessions deliver after the "
                                  "stop request, and closes a consumer that never finishes") {
    Script kernel{kImageLoads, 300};
    Script rundown{kKeyRundown, 2};
    Script dns{kDnsQueries, 40};
    SimTraceSetEvents(kKernelName, Script::Produce, &kernel);
    SimTraceSetRundown(kKernelName, Script::Produce, &rundown);
    SimTraceSetEvents(kDnsName, Script::Produce, &dns);
    SUBCASE("delivered in full") {
        SimTraceGateEvents(kKernelName, 20);
        SimTraceBufferAtStop(kKernelName, 280);
        SimTraceGateEvents(kDnsName, 10);
        SimTraceBufferAtStop(kDnsName, 30);
        REQUIRE(Start());
        REQUIRE(SimTraceWaitIdle(kKernelName));
        REQUIRE(SimTraceWaitIdle(kDnsName));
        REQUIRE(Queued() == 20 + 10);

        StopTraceSessions(tc);
        const SimSessionInfo k = Session(kKernelName);
        CHECK(k.deliveredAfterStop == 280);
        CHECK(k.rundownDelivered == 2);
        CHECK((k.lostAtClose == 0 && k.rundownCut == 0));
        CHECK(k.lastProcessStatus == 0);
        CHECK(Session(kDnsName).deliveredAfterStop == 30);
        CHECK(QueuedWithOperation("Loaded DLL") == 300);
        CHECK(QueuedWithOperation("DNS query") == 40);
        CHECK((tc->deliveryCutShort[kLossKernel] == 0 && tc->deliveryCutShort[kLossDns] == 0));
        CheckKernelGone();
        CheckDnsGone();
    }
    SUBCASE("a consumer that never returns is closed when the wait runs out") {
        SimTraceGateEvents(kKernelName, 5);
        SimTraceHangAfterStop(kKernelName, true);
        // Long enough for the DNS consumer, which returns by itself, to end within the wait on a
        // loaded machine; the kernel's never does.
        tc->stopDeliveryWaitMs = 1000;
        REQUIRE(Start());
        REQUIRE(SimTraceWaitIdle(kKernelName));

        StopTraceSessions(tc);
        CheckKernelGone();
        CheckDnsGone();
        CHECK(Session(kKernelName).lastProcessStatus == kStatusCancelled);
        CHECK(tc->deliveryCutShort[kLossKernel] == 1);
        CHECK(tc->deliveryCutShort[kLossDns] == 0); // it returned by itself at once

        // Reported in the recording's notes, naming the session and the wait.
        app->trace = tc;
        GatherCompletenessCounters(app);
        app->trace = nullptr;
        CHECK((app->recordingInfo.flags & kernelDeliveryCut) != 0);
        CHECK((app->recordingInfo.flags & dnsDeliveryCut) == 0);
        char16_t notes[2048];
        CHECK(BuildCompletenessNotes(app, notes, 2048, u"") == 1);
        CHECK(U8(notes) == "The last events of the kernel session (NT Kernel Logger) may be "
                           "missing: it did not finish delivering them within 5 s of the "
                           "stop.\r\n");
    }
    SUBCASE("a stop that fails leaves the session running: no wait, no note") {
        // The default wait would hold this test for seconds if it were spent.
        SimTraceHangAfterStop(kKernelName, true);
        SimTraceFailStep(kKernelName, kSimStepStop, kStatusAccessDenied, 1);
        REQUIRE(Start());
        REQUIRE(SimTraceWaitIdle(kKernelName));
        StopTraceSessions(tc);
        CHECK(tc->kernelThread == nullptr);
        CHECK(Session(kKernelName).lastProcessStatus == kStatusCancelled);
        CHECK(tc->deliveryCutShort[kLossKernel] == 0);
    }
}

TEST_CASE_FIXTURE(CaptureFixture, "losses before the program was resumed are told apart from "
                                  "those while it ran") {
    SimTraceSetLosses(kKernelName, 12, 1);
    SimTraceSetLosses(kDnsName, 3, 0);
    REQUIRE(Start());
    LossFigures figures = ReadLossFigures(tc);
    CHECK((figures.eventsLostBeforeResume == 0 && figures.buffersLostBeforeResume == 0));

    NoteProgramResumed(tc);
    SimTraceSetLosses(kKernelName, 40, 5);
    figures = ReadLossFigures(tc);
    CheckFields({{"eventsLost", figures.eventsLost, 43},
                 {"eventsLostBeforeResume", figures.eventsLostBeforeResume, 15},
                 {"buffersLost", figures.buffersLost, 5},
                 {"buffersLostBeforeResume", figures.buffersLostBeforeResume, 1}});
    StopTraceSessions(tc);
    figures = ReadLossFigures(tc);
    CHECK(figures.eventsLostBeforeResume == 15);

    app->trace = tc;
    GatherCompletenessCounters(app);
    app->trace = nullptr;
    char16_t notes[2048];
    CHECK(BuildCompletenessNotes(app, notes, 2048, u"") == 4);
    CHECK(U8(notes) ==
          "43 event(s) were dropped by Windows before reaching this program.\r\n"
          "  15 of them before the program examined was started, 28 while it ran.\r\n"
          "5 whole buffer(s) never reached this program; how many events were in them is not "
          "recorded.\r\n"
          "  1 of them before the program examined was started, 4 while it ran.\r\n");
}

TEST_CASE_FIXTURE(CaptureFixture, "images the image map could not keep are a note of the "
                                  "recording") {
    REQUIRE(Start());
    for (int i = 0; i < kImageMapEntries; ++i) {
        NoteProcessImage(&tc->tracking, 8, 0x10000 + uint64_t(i) * 0x1000, 0x1000, u"\\x\\a.dll");
    }
    app->trace = tc;
    GatherCompletenessCounters(app);
    CHECK((app->recordingInfo.flags & imagesNotMapped) == 0); // full, nothing lost yet
    NoteProcessImage(&tc->tracking, 12, 0x10000, 0x1000, u"\\x\\b.dll");
    GatherCompletenessCounters(app);
    app->trace = nullptr;
    StopTraceSessions(tc);
    CHECK((app->recordingInfo.flags & imagesNotMapped) != 0);
    char16_t notes[2048];
    CHECK(BuildCompletenessNotes(app, notes, 2048, u"") == 1);
    CHECK(U8(notes).find("could not be kept in the map of every process's images") !=
          std::string::npos);
}

