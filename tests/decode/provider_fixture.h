// Decoding stand-in events through DecodeEvent: a TrackingState with one followed process, a
// SimEvent to build each event in, and a sink that keeps the rows released from the held pool.
#pragma once

#include "doctest.h"

#include <cstring>

#include "base/text.h"
#include "decode/decode.h"
#include "platform/memory.h"
#include "platform/sim/sim_event.h"
#include "support/text_check.h"
#include "tracking/tracking_state.h"

namespace olv {

// Time stamps of a recording in 2024, in FILETIME ticks.
constexpr int64_t kT0 = 133500000000000000;
constexpr int64_t kSecond = 10000000;

constexpr uint32_t kSamplePid = 1234;
constexpr uint32_t kOtherPid = 999;

struct ReleasedRows {
    static constexpr int kCapacity = 8;
    EventRow rows[kCapacity];
    int count;

    static void Receive(void* context, const EventRow* row) {
        auto* self = static_cast<ReleasedRows*>(context);
        if (self->count < kCapacity) self->rows[self->count] = *row;
        ++self->count;
    }
};

struct ProviderFixture {
    TrackingState* ts = nullptr;
    SimEvent* e = nullptr;
    ReleasedRows* released = nullptr;
    EventRow row;

    ProviderFixture() {
        ts = AllocRecord<TrackingState>();
        e = AllocRecord<SimEvent>();
        released = AllocRecord<ReleasedRows>();
        REQUIRE(ts != nullptr);
        REQUIRE(e != nullptr);
        REQUIRE(released != nullptr);
        InitTrackingState(ts);
        SetRowSink(ts, ReleasedRows::Receive, released);
        TrackLaunchedProcess(ts, kSamplePid, u"sample.exe");
        std::memset(static_cast<void*>(&row), 0, sizeof row);
    }
    ~ProviderFixture() {
        FreeTrackingState(ts);
        FreeBlock(ts);
        FreeBlock(e);
        FreeBlock(released);
    }
    ProviderFixture(const ProviderFixture&) = delete;
    ProviderFixture& operator=(const ProviderFixture&) = delete;

    // Starts the next event; properties are added to e afterwards.
    void Begin(const Guid& provider, uint8_t opcode, int64_t t, uint32_t pid = kSamplePid,
               uint16_t eventId = 0) {
        BeginSimEvent(e, provider, opcode, eventId, pid, 77, t);
    }
    // Decodes e into a zero-filled row.
    bool Decode() {
        std::memset(static_cast<void*>(&row), 0, sizeof row);
        return DecodeEvent(ts, &e->record, &row);
    }

    std::string Path() const { return U8(row.path); }
    std::string Detail() const { return U8(row.detail); }
    std::string Result() const { return U8(row.result); }
    std::string Operation() const { return U8(row.operation); }
};

} // namespace olv
