// A recording's worth of state for the trace-capture tests: a Recording with its queue ring and
// the headless UI wired in, a reset TraceController, the simulated trace service cleared and the
// system version set to 10.0. Also scripts for the simulated sessions and queue readers.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/window_layout.h"
#include "doctest.h"

#include "app/recording_setup.h"
#include "base/atomic.h"
#include "base/format.h"
#include "base/text.h"
#include "capture/event_queue.h"
#include "capture/trace_buffers.h"
#include "capture/trace_controller.h"
#include "decode/decode.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/sim_event.h"
#include "platform/sim/sim_trace_service.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "support/small_ring.h"
#include "support/text_check.h"

namespace olv {

inline constexpr const char16_t* kKernelName = u"NT Kernel Logger";
inline constexpr const char16_t* kDnsName = u"OlvettaDnsLogger";
inline constexpr uint32_t kTargetPid = 4242;
inline constexpr int64_t kScriptStart = 133480000000000000;

// Events a scripted session delivers. Every kind yields one row per event unless noted.
enum ScriptKind : int {
    kImageLoads,    // "Loaded DLL" rows of kTargetPid, path C:\lib\<index>.dll
    kDnsQueries,    // "DNS query" rows of kTargetPid, path host<index>.example
    kHeldFileOpens, // file opens with a request packet: held, no row until completed
    kKeyRundown,    // registry key rundown: names key 0xF000 + index "\REGISTRY\MACHINE\K<index>"
};

struct Script {
    ScriptKind kind;
    uint32_t count;
    uint32_t faultEvery = 0; // every nth index (n > 0) faults on decoding, starting at n - 1

    bool Faults(uint32_t index) const {
        return faultEvery != 0 && index % faultEvery == faultEvery - 1;
    }

    static bool Produce(void* context, uint32_t index, SimEvent* e, bool* fault) {
        const Script* s = static_cast<const Script*>(context);
        if (index >= s->count) return false;
        *fault = s->Faults(index);
        const int64_t t = kScriptStart + index;
        char16_t text[64];
        switch (s->kind) {
        case kImageLoads:
            BeginSimEvent(e, kImageProvider, 10, 0, kTargetPid, 7, t);
            AddSimU32(e, u"ProcessId", kTargetPid);
            FormatText(text, 64, u"C:\\lib\\%lu.dll", index);
            AddSimWideString(e, u"FileName", text);
            break;
        case kDnsQueries:
            BeginSimEvent(e, kDnsClientProvider, 0, 3006, kTargetPid, 9, t);
            FormatText(text, 64, u"host%lu.example", index);
            AddSimWideString(e, u"QueryName", text);
            AddSimU32(e, u"QueryType", 1);
            break;
        case kHeldFileOpens:
            BeginSimEvent(e, kFileIoProvider, 64, 0, kTargetPid, 7, t);
            AddSimPointer(e, u"IrpPtr", 0xA000 + index);
            AddSimPointer(e, u"FileObject", 0xB000 + index);
            FormatText(text, 64, u"C:\\held\\%lu", index);
            AddSimWideString(e, u"OpenPath", text);
            break;
        case kKeyRundown:
            BeginSimEvent(e, kRegistryProvider, 25, 0, 4, 8, t);
            AddSimPointer(e, u"KeyHandle", 0xF000 + index);
            FormatText(text, 64, u"\\REGISTRY\\MACHINE\\K%lu", index);
            AddSimWideString(e, u"KeyName", text);
            break;
        }
        return true;
    }
};

// Named values and their literal expectations; a mismatch names its value.
struct Field {
    const char* name;
    uint64_t actual, expected;
};
inline void CheckFields(std::initializer_list<Field> fields) {
    for (const Field& f : fields)
        CHECK_MESSAGE(f.actual == f.expected, std::string(f.name));
}

// The start block both sessions share: real time, flushed every second, buffers as planned for
// this machine's processors, the name right after the 120 bytes of the block.
inline void CheckStartBlock(const TraceProperties& p, const Guid& guid, const char* logger,
                            TraceSessionLoad load, uint32_t enableFlags) {
    const TraceBufferPlan plan = PlanTraceBuffers(ProcessorCount(), load);
    CHECK(p.wnode.guid == guid);
    CheckFields({{"wnode.bufferSize", p.wnode.bufferSize, 1160},
                 {"wnode.clientContext", p.wnode.clientContext, 1},
                 {"wnode.flags", p.wnode.flags, 0x20000},
                 {"bufferSize", p.bufferSize, plan.bufferSizeKb},
                 {"minimumBuffers", p.minimumBuffers, plan.minimumBuffers},
                 {"maximumBuffers", p.maximumBuffers, plan.maximumBuffers},
                 {"maximumFileSize", p.maximumFileSize, 0},
                 {"logFileMode", p.logFileMode, 0x100},
                 {"flushTimer", p.flushTimer, 1},
                 {"enableFlags", p.enableFlags, enableFlags},
                 {"logFileNameOffset", p.logFileNameOffset, 0},
                 {"loggerNameOffset", p.loggerNameOffset, 120}});
    CHECK(U8(p.loggerName) == logger);
}

// The ring holds both sessions' events of the largest script (6,000) without an ingest.
inline constexpr uint32_t kCaptureRingBytes = 1u << 21;

struct CaptureFixture {
    SmallQueueRing ring{kCaptureRingBytes};
    Recording* app = nullptr;
    TraceController* tc = nullptr;
    mutable std::vector<EventRow> peeked;
    mutable uint32_t peekedRead = 1, peekedWrite = 1; // odd: never a position
    int64_t liveBefore = 0;

    CaptureFixture() {
        ResetAllocationFaults();
        RefuseNthThreadStart(0);
        ResetHeadlessUi();
        SimTraceReset();
        SetVersionOverride(10, 0, 19045);
        liveBefore = LiveAllocationCount();
        app = AllocRecord<Recording>();
        REQUIRE(app != nullptr);
        InitRecording(app);
        WireControls(app, HeadlessControlHandle);
        REQUIRE(MakeEventQueue(app));
        tc = AllocRecord<TraceController>();
        REQUIRE(tc != nullptr);
        ResetTraceController(tc);
        TrackLaunchedProcess(&tc->tracking, kTargetPid, u"sample.exe", 0);
    }
    ~CaptureFixture() {
        ResetAllocationFaults();
        RefuseNthThreadStart(0);
        ReleaseTraceController(tc);
        FreeBlock(tc);
        CleanUpRecording(app);
        FreeBlock(app);
        ResetHeadlessUi(); // frees a trace-stopped text still queued
        SimTraceReset();
        ClearVersionOverride();
        CHECK(LiveAllocationCount() == liveBefore);
    }
    CaptureFixture(const CaptureFixture&) = delete;
    CaptureFixture& operator=(const CaptureFixture&) = delete;

    bool Start() { return StartKernelSession(tc, app->window->mainWindow, app); }

    // Back to the state the fixture began with (the program not followed yet), for tests that run
    // one case after another.
    void Fresh() {
        ReleaseTraceController(tc);
        ResetTraceController(tc);
        SimTraceReset();
        ResetHeadlessUi();
        SetVersionOverride(10, 0, 19045);
        EmptyEventQueue(app);
    }

    // Nothing of the kernel session is left: no session, consumer or thread, no live controller.
    void CheckKernelGone() const {
        const SimSessionInfo kernel = Session(kKernelName);
        CHECK((kernel.running == 0 && kernel.consumerOpen == 0));
        CHECK((tc->kernelSession == kNoSession && tc->kernelTrace == kNoSession));
        CHECK(tc->kernelThread == nullptr);
        CHECK(activeTraceController == nullptr);
    }
    void CheckDnsGone() const {
        const SimSessionInfo dns = Session(kDnsName);
        CHECK((dns.running == 0 && dns.consumerOpen == 0));
        CHECK((tc->dnsSession == kNoSession && tc->dnsTrace == kNoSession));
        CHECK(tc->dnsThread == nullptr);
        CHECK(AtomicLoad8(tc->dnsOn) == 0);
    }

    // Waits for a processing thread that ends by itself (the way the window would learn of it
    // from the posted message) and forgets its handle.
    static void JoinEndedThread(ThreadHandle* thread) {
        JoinThread(*thread);
        *thread = nullptr;
    }

    uint32_t Queued() const { return QueuedRowCount(app); }
    // The waiting rows, decoded again whenever the ring moved since the last look.
    const EventRow& QueuedRow(uint32_t i) const {
        const uint32_t read = AtomicLoad(app->queueRead), write = AtomicLoad(app->queueWrite);
        if (read != peekedRead || write != peekedWrite || peeked.size() != Queued()) {
            peeked.assign(Queued(), EventRow{});
            peeked.resize(PeekQueuedRows(app, peeked.data(), Queued()));
            peekedRead = read;
            peekedWrite = write;
        }
        REQUIRE(i < peeked.size());
        return peeked[i];
    }
    uint32_t QueuedWithOperation(const char* operation) const {
        char16_t wanted[64];
        CopyAscii(wanted, 64, operation);
        uint32_t n = 0;
        for (uint32_t i = 0; i < Queued(); ++i)
            n += TextEquals(QueuedRow(i).operation, wanted);
        return n;
    }
    SimSessionInfo Session(const char16_t* name) const {
        SimSessionInfo info{};
        SimTraceQuerySession(name, &info);
        return info;
    }
};

} // namespace olv
