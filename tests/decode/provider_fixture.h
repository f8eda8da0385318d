// Decoding stand-in events through DecodeEvent: a TrackingState that follows one process and a
// SimEvent to build each event in.
#pragma once

#include "doctest.h"

#include <cstring>

#include "decode/decode.h"
#include "platform/memory.h"
#include "platform/sim/sim_event.h"
#include "support/text_check.h"
#include "tracking/tracking_state.h"

namespace olv {

constexpr int64_t kT0 = 133500000000000000; // a time stamp in 2024, in FILETIME ticks
constexpr int64_t kSecond = 10000000;
constexpr uint32_t kSamplePid = 1234;
constexpr uint32_t kOtherPid = 999;

struct ProviderFixture {
    TrackingState* ts = AllocRecord<TrackingState>();
    SimEvent* e = AllocRecord<SimEvent>();
    EventRow row{};

    ProviderFixture() {
        REQUIRE(ts != nullptr);
        REQUIRE(e != nullptr);
        InitTrackingState(ts);
        TrackLaunchedProcess(ts, kSamplePid, u"sample.exe", 0);
    }
    ~ProviderFixture() {
        FreeTrackingState(ts);
        FreeBlock(ts);
        FreeBlock(e);
    }
    ProviderFixture(const ProviderFixture&) = delete;
    ProviderFixture& operator=(const ProviderFixture&) = delete;

    // Starts the next event; its properties are added to e afterwards.
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
    // The row's texts in one line, so that one check shows every cell that differs.
    std::string Cells() const {
        return U8(row.process) + "|" + Operation() + "|" + Path() + "|" + Detail() + "|" + Result();
    }
};

} // namespace olv
