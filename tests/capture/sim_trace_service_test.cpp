// The simulated trace service on its own: what its consumer returns and delivers in each way a
// session can end, so that the controller tests and the replay tool can rely on it.
#include <atomic>

#include "capture_fixture.h"

using namespace olv;

namespace {

constexpr const char16_t* kName = u"TestSession";

std::atomic<uint32_t> gRunSeen{0};
std::atomic<uint32_t> gRundownSeen{0};
std::atomic<uint32_t> gOrderErrors{0};

void Callback(const EventRecord* event) {
    // Run events carry the image provider, rundown events the registry provider.
    if (event->header.providerId == kImageProvider) {
        if (gRundownSeen.load() != 0) gOrderErrors.fetch_add(1);
        gRunSeen.fetch_add(1);
    } else {
        gRundownSeen.fetch_add(1);
    }
}

struct Consumer {
    uint64_t session = kNoTraceHandle;
    uint64_t trace = kNoTraceHandle;
    ThreadHandle thread = nullptr;
    uint32_t status = 0xFFFFFFFF;

    static uint32_t Run(void* context) {
        auto* c = static_cast<Consumer*>(context);
        c->status = ProcessTraceEvents(c->trace);
        return 0;
    }
    void Start() {
        TraceProperties block{};
        block.wnode.bufferSize = kTracePropertiesSize;
        block.loggerNameOffset = kTraceLoggerNameOffset;
        REQUIRE(StartTraceSession(&session, kName, &block) == 0);
        uint32_t error = 0;
        trace = OpenRealTimeTrace(kName, Callback, &error);
        REQUIRE(trace != kNoTraceHandle);
        thread = StartThread(Run, this, nullptr);
        REQUIRE(thread != nullptr);
    }
    uint32_t Control(uint32_t code, TraceProperties* block) {
        *block = TraceProperties{};
        block->wnode.bufferSize = kTracePropertiesSize;
        block->loggerNameOffset = kTraceLoggerNameOffset;
        block->logFileNameOffset = kTraceLogFileNameOffset;
        return ControlTraceSession(session, nullptr, block, code);
    }
    void Join() {
        JoinThread(thread);
        thread = nullptr;
    }
};

struct ServiceFixture {
    Script run{kImageLoads, 5};
    Script rundown{kKeyRundown, 3};
    ServiceFixture() {
        SimTraceReset();
        gRunSeen = 0;
        gRundownSeen = 0;
        gOrderErrors = 0;
        SimTraceSetEvents(kName, Script::Produce, &run);
        SimTraceSetRundown(kName, Script::Produce, &rundown);
    }
    ~ServiceFixture() { SimTraceReset(); }
};

} // namespace

TEST_CASE_FIXTURE(ServiceFixture, "a stop by the program delivers the rundown after the run "
                                  "events, then the consumer returns 0") {
    SimTraceSetLosses(kName, 4, 2);
    Consumer c;
    c.Start();
    REQUIRE(SimTraceWaitIdle(kName));
    CHECK(gRunSeen == 5);
    TraceProperties block;
    REQUIRE(c.Control(kTraceControlQuery, &block) == 0);
    CHECK(block.eventsLost == 4);
    CHECK(block.realTimeBuffersLost == 2);
    REQUIRE(c.Control(kTraceControlStop, &block) == 0);
    CHECK(block.eventsLost == 4);
    c.Join();
    CHECK(c.status == 0);
    CHECK(gRundownSeen == 3);
    CHECK(gOrderErrors == 0);
    // The session is gone: its handle answers "not found", and the name can start again.
    CHECK(c.Control(kTraceControlQuery, &block) == kStatusInstanceNotFound);
    CHECK(CloseTraceConsumer(c.trace) == 0);
    CHECK(CloseTraceConsumer(c.trace) != 0);
}

TEST_CASE_FIXTURE(ServiceFixture, "closing the consumer without a stop returns 1223 and skips "
                                  "the rundown") {
    SimTraceGateEvents(kName, 2);
    Consumer c;
    c.Start();
    REQUIRE(SimTraceWaitIdle(kName));
    CHECK(gRunSeen == 2);
    CloseTraceConsumer(c.trace);
    c.Join();
    CHECK(c.status == kStatusCancelled);
    CHECK(gRundownSeen == 0);
    SimSessionInfo info{};
    REQUIRE(SimTraceQuerySession(kName, &info));
    CHECK(info.running == 1); // the session itself still runs
    TraceProperties block;
    CHECK(c.Control(kTraceControlStop, &block) == 0);
}

TEST_CASE_FIXTURE(ServiceFixture, "an end from outside frees the name and returns the chosen "
                                  "status after the rundown") {
    SimTraceGateEvents(kName, 3);
    Consumer c;
    c.Start();
    REQUIRE(SimTraceWaitDelivered(kName, 3));
    REQUIRE(SimTraceEndSession(kName, 4201));
    c.Join();
    CHECK(c.status == 4201);
    CHECK(gRunSeen == 3); // events held at the gate never happened
    CHECK(gRundownSeen == 3);
    CHECK_FALSE(SimTraceEndSession(kName, 0));
    TraceProperties block;
    CHECK(c.Control(kTraceControlStop, &block) == kStatusInstanceNotFound);
    CloseTraceConsumer(c.trace);
}
