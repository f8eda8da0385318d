// A TrackingState on the heap (it is far too large for a stack), initialised and released around
// each test, and a RowSink that records what it receives.
#pragma once

#include "doctest.h"

#include "base/text.h"
#include "platform/memory.h"
#include "tracking/tracking_state.h"

namespace olv {

struct TrackingFixture {
    TrackingState* ts = nullptr;

    TrackingFixture() {
        ts = AllocRecord<TrackingState>();
        REQUIRE(ts != nullptr);
        InitTrackingState(ts);
    }
    ~TrackingFixture() {
        FreeTrackingState(ts);
        FreeBlock(ts);
        ResetAllocationFaults();
    }
    TrackingFixture(const TrackingFixture&) = delete;
    TrackingFixture& operator=(const TrackingFixture&) = delete;
};

// Keeps the time stamp, path and result of every row it is handed.
struct RecordingSink {
    static constexpr int kCapacity = 1200;
    struct Seen {
        uint64_t timestamp;
        char16_t path[64];
        char16_t result[8];
    };
    Seen rows[kCapacity];
    int count = 0;

    static void Receive(void* context, const EventRow* row) {
        auto* self = static_cast<RecordingSink*>(context);
        if (self->count >= kCapacity) return;
        Seen& s = self->rows[self->count++];
        s.timestamp = row->timestamp;
        CopyBounded(s.path, 64, row->path);
        CopyBounded(s.result, 8, row->result);
    }
};

inline uint32_t Counter(TrackingState* ts, int index) {
    uint32_t c[kTrackingCounterCount] = {};
    ReadTrackingCounters(ts, c);
    return c[index];
}

} // namespace olv
