// The private user-mode session ("OlvettaDnsLogger"), from Windows 8.1 on: the DNS client, and
// with it the PowerShell, antimalware scan interface and (from Windows 10 on) kernel audit
// providers. Optional: every failure leaves
// dnsOn clear and releases what the session had made; nothing is shown.
#include <cstring>

#include "base/atomic.h"
#include "base/text.h"
#include "capture/trace_controller.h"
#include "capture/trace_controller_internal.h"
#include "decode/decode.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "platform/trace_session.h"

namespace olv {

namespace {

constexpr const char16_t* kDnsLoggerName = u"OlvettaDnsLogger";
// This session's own identifier.
constexpr Guid kDnsSessionGuid = {
    0x7b9c8e21, 0x4f3a, 0x4d6e, {0x9a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71}};

void FillDnsBlock(TraceProperties* block) {
    FillSessionStartBlock(block, kDnsSessionGuid, kLightLoad, 0, kDnsLoggerName);
}

// Every keyword: the client's query events carry different keywords on different Windows
// builds, and a keyword left out filters its events away at the source.
constexpr uint64_t kEveryKeyword = ~0ull;

void StopDnsByName(TraceProperties* block) {
    FillStopQueryBlock(block);
    ControlTraceSession(kNoSession, kDnsLoggerName, block, kTraceControlStop);
}

uint32_t DnsThreadMain(void* argument) {
    auto* tc = static_cast<TraceController*>(argument);
    const uint64_t trace = LoadTraceHandle(tc->dnsTrace);
    RaiseConsumerThreadPriority(trace); // a failure leaves it at normal priority
    ProcessTraceEvents(trace);
    ReleaseThreadWholeText();
    if (AtomicLoad(tc->kernelRunning) != 0) {
        // The recording was not being stopped: the session ended by itself. The recording goes
        // on without lookups; the status bar and the notes say so. "Ended early" is set before
        // "on" is cleared, so that a reader that finds dnsOn clear also finds dnsEndedEarly set
        // and never shows the session as merely off in between.
        AtomicStore8(tc->dnsEndedEarly, 1);
        AtomicStore8(tc->dnsOn, 0);
    }
    return 0;
}

} // namespace

bool StartDnsSession(TraceController* tc) {
    if (!IsWindowsAtLeast(6, 3)) return false; // Windows 7 and 8 do not report lookups

    // A session of this name left behind by an earlier run.
    if (auto* leftover = AllocRecord<TraceProperties>()) {
        StopDnsByName(leftover);
        FreeBlock(leftover);
    }

    auto* block = AllocRecord<TraceProperties>();
    if (block == nullptr) return false;
    FillDnsBlock(block);
    uint32_t status = StartTraceSession(&tc->dnsSession, kDnsLoggerName, block);
    if (status == kStatusAlreadyExists) {
        StopDnsByName(block);
        SleepMilliseconds(50);
        FillDnsBlock(block);
        status = StartTraceSession(&tc->dnsSession, kDnsLoggerName, block);
    }
    FreeBlock(block);
    if (status != kStatusSuccess) {
        tc->dnsSession = kNoSession;
        return false;
    }

    // Verbose, the highest level: no event of the provider is filtered away by its level.
    if (EnableTraceProvider(tc->dnsSession, kDnsClientProvider, kEnableProviderControlCode,
                            kTraceLevelVerbose, kEveryKeyword, 0, 0) != kStatusSuccess) {
        StopDnsSession(tc);
        return false;
    }

    // Scripts and scanned content come through the same session. Each is optional: a system
    // without the provider records lookups all the same.
    for (const Guid* provider : {&kPowerShellProvider, &kAmsiProvider}) {
        EnableTraceProvider(tc->dnsSession, *provider, kEnableProviderControlCode,
                            kTraceLevelVerbose, kEveryKeyword, 0, 0);
    }

    // Process and thread opens: the audit provider exists from Windows 10 on. Its failure costs
    // only this source; the recording's notes say it was not recorded.
    tc->processOpensOn = 0;
    if (IsWindowsAtLeast(10, 0) &&
        EnableTraceProvider(tc->dnsSession, kKernelAuditProvider, kEnableProviderControlCode,
                            kTraceLevelVerbose, kEveryKeyword, 0, 0) == kStatusSuccess) {
        tc->processOpensOn = 1;
    }

    uint32_t lastError = 0;
    StoreTraceHandle(tc->dnsTrace, OpenRealTimeTrace(kDnsLoggerName, OnEventRecord, &lastError));
    if (tc->dnsTrace == kNoSession) {
        StopDnsSession(tc);
        tc->processOpensOn = 0;
        return false;
    }

    // On before the thread runs: a session that ends at once clears it again.
    AtomicStore8(tc->dnsOn, 1);
    uint32_t threadError = 0;
    tc->dnsThread = StartThread(DnsThreadMain, tc, &threadError);
    if (tc->dnsThread == nullptr) {
        StopDnsSession(tc);
        tc->processOpensOn = 0;
        return false;
    }
    return true;
}

void StopDnsSession(TraceController* tc) {
    if (tc == nullptr) return;
    StopOneSession(tc, &tc->dnsSession, &tc->dnsTrace, &tc->dnsThread, kLossDns);
    AtomicStore8(tc->dnsOn, 0);
}

} // namespace olv
