// The DNS client session: its properties and provider, the systems that have none, every step
// that can fail (never failing the recording), a session left behind, and the end by itself.
#include "capture_fixture.h"

using namespace olv;

TEST_CASE_FIXTURE(CaptureFixture, "from Windows 8.1 on the DNS session starts with its own block "
                                  "and enables the DNS client provider, even over a leftover one") {
    SetVersionOverride(6, 3, 9600);
    SUBCASE("no leftover session") {}
    SUBCASE("a leftover session is stopped by name before the start") {
        SimTraceAddForeignSession(kDnsName);
    }
    SUBCASE("the start still finds the name taken: stopped by name again, then started") {
        SimTraceFailStep(kDnsName, kSimStepStart, 183, 1);
    }
    REQUIRE(Start());
    CHECK(AtomicLoad8(tc->dnsOn) == 1);
    CHECK(tc->dnsThread != nullptr);

    const SimSessionInfo info = Session(kDnsName);
    CHECK(info.foreign == 0);
    CHECK(info.running == 1);
    CheckStartBlock(
        info.lastStart,
        Guid{0x7b9c8e21, 0x4f3a, 0x4d6e, {0x9a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71}},
        "OlvettaDnsLogger", kLightLoad, 0);
    // The DNS client first, then the script providers, each with the same settings.
    REQUIRE(info.enableCalls == 3);
    CHECK(info.enabledProviders[0] ==
          Guid{0x1c95126e, 0x7eea, 0x49a9, {0xa3, 0xfe, 0xa3, 0x78, 0xb0, 0x3d, 0xdb, 0x4d}});
    CHECK(info.enabledProviders[1] == kPowerShellProvider);
    CHECK(info.enabledProviders[2] == kAmsiProvider);
    // Every keyword and the verbose level: no build's query events are filtered away.
    CheckFields({{"enableControlCode", info.enableControlCode, 1},
                 {"enableLevel", info.enableLevel, 5},
                 {"enableMatchAny", info.enableMatchAny, ~0ull},
                 {"enableMatchAll", info.enableMatchAll, 0},
                 {"enableTimeout", info.enableTimeout, 0}});
    REQUIRE(SimTraceWaitIdle(kDnsName));
    CHECK(Session(kDnsName).priorityRaises == 1);

    StopTraceSessions(tc);
    CheckDnsGone();
    CHECK(tc->dnsEndedEarly == 0);
}

TEST_CASE_FIXTURE(CaptureFixture, "without a DNS session, or one that fails at any step, dnsOn "
                                  "stays clear, everything is released and the recording runs") {
    struct Case {
        const char* name;
        void (*arrange)();
        uint32_t startCalls;
        uint32_t eventsLost; // the kernel session's 12, plus 3 when a started DNS session stopped
    };
    const Case cases[] = {
        {"Windows 7", [] { SetVersionOverride(6, 1, 7601); }, 0, 12},
        {"Windows 8", [] { SetVersionOverride(6, 2, 9200); }, 0, 12},
        {"start fails", [] { SimTraceFailStep(kDnsName, kSimStepStart, 1450, 1); }, 1, 12},
        {"start still finds the name taken",
         [] { SimTraceFailStep(kDnsName, kSimStepStart, 183, 2); }, 2, 12},
        {"enable fails", [] { SimTraceFailStep(kDnsName, kSimStepEnable, 5, 1); }, 1, 15},
        {"open fails", [] { SimTraceFailStep(kDnsName, kSimStepOpen, 5, 1); }, 1, 15},
        {"thread cannot be made", [] { RefuseNthThreadStart(2); }, 1, 15},
        // Allocations of a start: the kernel's block, the kernel thread's start record, the
        // block that stops a leftover DNS session, then the DNS session's own block.
        {"properties block refused", [] { RefuseNthAllocation(4); }, 0, 12},
    };
    for (const Case& c : cases) {
        INFO(std::string(c.name));
        Fresh();
        TrackLaunchedProcess(&tc->tracking, kTargetPid, u"sample.exe", 0);
        Script kernel{kImageLoads, 3};
        SimTraceSetEvents(kKernelName, Script::Produce, &kernel);
        SimTraceGateEvents(kKernelName, 0); // nothing decodes (or allocates) during the start
        SimTraceSetLosses(kKernelName, 12, 1);
        SimTraceSetLosses(kDnsName, 3, 2);
        c.arrange();
        const bool started = Start();
        ResetAllocationFaults();
        RefuseNthThreadStart(0);
        REQUIRE(started);
        CheckDnsGone();
        CHECK(tc->dnsEndedEarly == 0);
        CHECK(TextIsEmpty(tc->errorText));
        CHECK(HeadlessModel()->messageBoxCount == 0);
        CHECK(Session(kDnsName).startCalls == c.startCalls);
        // The DNS session's final figures do not stand in for the kernel session's live ones.
        CHECK(ReadLossFigures(tc).eventsLost == c.eventsLost);
        // The kernel recording goes on.
        SimTraceGateEvents(kKernelName, kSimNoGate);
        REQUIRE(SimTraceWaitDelivered(kKernelName, 3));
        CHECK(QueuedWithOperation("Loaded DLL") == 3);
        StopTraceSessions(tc);
    }
}

TEST_CASE_FIXTURE(CaptureFixture, "a DNS session that ends by itself is reported and the kernel "
                                  "recording goes on") {
    Script kernel{kImageLoads, 4};
    Script dns{kDnsQueries, 2};
    SimTraceSetEvents(kKernelName, Script::Produce, &kernel);
    SimTraceGateEvents(kKernelName, 2);
    SimTraceSetEvents(kDnsName, Script::Produce, &dns);
    SimTraceEndAfterEvents(kDnsName, 0);
    REQUIRE(Start());
    REQUIRE(SimTraceWaitDelivered(kDnsName, 2));
    JoinEndedThread(&tc->dnsThread);

    CHECK(tc->dnsOn == 0);
    CHECK(tc->dnsEndedEarly == 1);
    CHECK(HeadlessPostedCount() == 0);
    CHECK(QueuedWithOperation("DNS query") == 2);
    SimTraceGateEvents(kKernelName, kSimNoGate);
    REQUIRE(SimTraceWaitDelivered(kKernelName, 4));
    CHECK(QueuedWithOperation("Loaded DLL") == 4);

    StopTraceSessions(tc);
    CHECK(tc->dnsEndedEarly == 1);
    CheckDnsGone();
    CHECK(HeadlessPostedCount() == 0);
}

TEST_CASE_FIXTURE(CaptureFixture, "process opens: the audit provider joins the session from "
                                  "Windows 10 on, and only a session that runs records them") {
    constexpr Guid kAudit = {
        0xe02a841c, 0x75a3, 0x4fa7, {0xaf, 0xc8, 0xae, 0x09, 0xcf, 0x9b, 0x7f, 0x23}};
    struct Case {
        const char* name;
        void (*arrange)();
        uint32_t enableCalls;
        uint8_t dnsOn;
        uint8_t opensOn;
    };
    const Case cases[] = {
        {"Windows 10", [] {}, 4, 1, 1},
        {"Windows 8.1 has no audit provider", [] { SetVersionOverride(6, 3, 9600); }, 3, 1, 0},
        // The provider alone refused: lookups and scripts go on without it.
        {"the provider refused", [] { SimTraceRefuseProvider(kKernelAuditProvider, 4200); }, 4,
         1, 0},
        {"the session's consumer cannot be opened",
         [] { SimTraceFailStep(kDnsName, kSimStepOpen, 5, 1); }, 4, 0, 0},
        {"the session's thread cannot be made", [] { RefuseNthThreadStart(2); }, 4, 0, 0},
    };
    for (const Case& c : cases) {
        INFO(std::string(c.name));
        Fresh();
        c.arrange();
        const bool started = Start();
        RefuseNthThreadStart(0);
        REQUIRE(started);
        const SimSessionInfo info = Session(kDnsName);
        CHECK(info.enableCalls == c.enableCalls);
        if (c.enableCalls == 4) CHECK(info.enabledProviders[3] == kAudit);
        CHECK(AtomicLoad8(tc->dnsOn) == c.dnsOn);
        CHECK(tc->processOpensOn == c.opensOn);
        StopTraceSessions(tc);
    }
}
