// Figures of the property reads through the layout cache (decode/layout_cache.h), with the
// stand-in readers as the source the cache stands in front of, as the Windows readers stand in
// front of the Trace Data Helper.
//
// layout_property_reads: property reads per second (a size and a read of one property, as each
// reader makes them) of the properties the decoders read from their common events (file read,
// create and completion, registry open, TCP send, DLL load), through a cache whose classes have
// passed their check. Baseline: the same reads from the stand-in readers (a name lookup in the
// event's table); the ratio is cached / stand-in.
// layout_decode_file / _registry / _network: events per second through DecodeEvent with the
// reads routed through the cache, for a followed process's file create, read and completion; a
// registry open; a TCP send. Baseline: the same events on the stand-in readers.
#include <cstring>

#include "bench.h"
#include "decode/decode.h"
#include "decode/properties.h"
#include "platform/layout_cache.h"
#include "platform/memory.h"
#include "platform/sim/sim_event.h"
#include "platform/sim/sim_schema.h"
#include "record/event_row.h"
#include "tracking/tracking_state.h"

using namespace olv;

namespace {

const LayoutSource kStandIn = {SimDescribeEvent, SimTablePropertySize, SimTablePropertyRead,
                               nullptr};

constexpr uint32_t kMaxEvents = 6;

struct Events {
    SimEvent e[kMaxEvents];
    const SchemaClass* schema[kMaxEvents];
    uint32_t count;
};

Events* MakeEvents(const char* const* labels, uint32_t count) {
    auto* events = AllocRecord<Events>();
    if (events == nullptr) return nullptr;
    for (uint32_t i = 0; i < count && i < kMaxEvents; ++i) {
        events->schema[i] = FindSchema(labels[i]);
        SampleEvent sample{};
        WriteSampleEvent(*events->schema[i], 8, &events->e[i], &sample);
        events->count = i + 1;
    }
    return events;
}

// Every property the decoders read from the events; returns the number of reads.
uint32_t ReadDecoderProperties(const Events* events) {
    uint8_t buffer[1024];
    uint32_t reads = 0;
    for (uint32_t i = 0; i < events->count; ++i) {
        const SchemaClass& s = *events->schema[i];
        for (uint32_t r = 0; r < s.decoderReadCount; ++r) {
            uint32_t size = 0;
            if (TracePropertySize(&events->e[i].record, s.decoderReads[r], &size) == 0 &&
                size <= sizeof buffer) {
                TracePropertyRead(&events->e[i].record, s.decoderReads[r], buffer, size);
            }
            bench::KeepValue(buffer[0]);
            ++reads;
        }
    }
    return reads;
}

struct CacheScope {
    LayoutCache cache;
    bool ok;
};

// A cache whose classes of the events have passed their check.
void WarmCache(CacheScope* scope, const Events* events) {
    InitLayoutCache(&scope->cache, &kStandIn);
    RouteSimReadsThroughLayoutCache(&scope->cache);
    for (uint32_t r = 0; r <= kLayoutVerifyReads; ++r)
        ReadDecoderProperties(events);
    scope->ok = true;
    for (uint32_t i = 0; i < events->count; ++i) {
        if (LayoutStateOf(&scope->cache, &events->e[i].record) != kLayoutTrusted) scope->ok = false;
    }
    RouteSimReadsThroughLayoutCache(nullptr);
}

template <typename Body> bench::PairTimes CachedAgainstStandIn(CacheScope* scope, Body body) {
    return bench::BestSecondsPerCallPair(
        [&] {
            RouteSimReadsThroughLayoutCache(&scope->cache);
            body();
            RouteSimReadsThroughLayoutCache(nullptr);
        },
        [&] { body(); });
}

void DecodeFigure(bench::BenchRun& run, const char* const* labels, uint32_t count) {
    Events* events = MakeEvents(labels, count);
    auto* ts = AllocRecord<TrackingState>();
    auto* scope = AllocRecord<CacheScope>();
    auto* row = AllocRecord<EventRow>();
    if (events == nullptr || ts == nullptr || scope == nullptr || row == nullptr) {
        bench::ReportFailure(run, "no memory");
    } else {
        InitTrackingState(ts);
        TrackLaunchedProcess(ts, events->e[0].record.header.processId, u"setup.exe", 0);
        // Network events name their process in a PID property (the sample's own value): that
        // process is followed too, so the figure times a followed send.
        const uint32_t named = ReadIntProperty(&events->e[0].record, u"PID");
        if (named != 0) TrackLaunchedProcess(ts, named, u"setup.exe", 0);
        WarmCache(scope, events);
        uint32_t rows = 0;
        auto decode = [&] {
            for (uint32_t i = 0; i < events->count; ++i) {
                std::memset(static_cast<void*>(row), 0, sizeof *row);
                rows += DecodeEvent(ts, &events->e[i].record, row) ? 1 : 0;
            }
            bench::KeepValue(rows);
        };
        if (!scope->ok) {
            bench::ReportFailure(run, "a class did not pass its check");
        } else {
            const bench::PairTimes t = CachedAgainstStandIn(scope, decode);
            bench::ReportFigure(run, events->count / t.work, "events/s",
                                events->count / t.baseline);
        }
        ReleaseLayoutCache(&scope->cache);
        FreeTrackingState(ts);
    }
    FreeBlock(row);
    FreeBlock(scope);
    FreeBlock(ts);
    FreeBlock(events);
}

} // namespace

OLV_BENCH(layout_property_reads) {
    const char* const labels[] = {"FileIo read",   "FileIo create",   "FileIo completion",
                                  "Registry open", "TcpIp send IPv4", "Image load"};
    Events* events = MakeEvents(labels, 6);
    auto* scope = AllocRecord<CacheScope>();
    if (events == nullptr || scope == nullptr) {
        bench::ReportFailure(run, "no memory");
    } else {
        WarmCache(scope, events);
        uint32_t reads = 0;
        const bench::PairTimes t =
            CachedAgainstStandIn(scope, [&] { reads = ReadDecoderProperties(events); });
        if (!scope->ok || ReadLayoutCacheCounts(&scope->cache).classesTurnedOff != 0) {
            bench::ReportFailure(run, "a class did not pass its check");
        } else {
            bench::ReportFigure(run, reads / t.work, "reads/s", reads / t.baseline);
        }
        ReleaseLayoutCache(&scope->cache);
    }
    FreeBlock(scope);
    FreeBlock(events);
}

OLV_BENCH(layout_decode_file) {
    const char* const labels[] = {"FileIo create", "FileIo read", "FileIo completion"};
    DecodeFigure(run, labels, 3);
}

OLV_BENCH(layout_decode_registry) {
    const char* const labels[] = {"Registry open"};
    DecodeFigure(run, labels, 1);
}

OLV_BENCH(layout_decode_network) {
    const char* const labels[] = {"TcpIp send IPv4"};
    DecodeFigure(run, labels, 1);
}
