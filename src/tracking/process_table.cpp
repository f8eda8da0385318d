// The ProcessTable: which process ids are followed, and over which time interval.
#include "base/atomic.h"
#include "tracking/tracking_state.h"

namespace olv {

namespace {

// An event without a time stamp (0) is placed in every interval, as the name tables place it:
// nothing says it came before the follow began.
bool IntervalHolds(const ProcessEntry& e, int64_t t) {
    return t == 0 || ((e.start == 0 || t >= e.start) && (e.end == 0 || t <= e.end));
}

} // namespace

void FollowProcess(TrackingState* ts, uint32_t pid, int64_t start) {
    if (ts == nullptr || pid == 0) return;
    ProcessTable& table = ts->processes;
    bool recycled = false;
    bool refused = false;
    {
        LockGuard guard(&table.lock);
        for (int32_t i = 0; i < table.count; ++i) {
            if (table.entries[i].pid == pid && table.entries[i].end == 0) return;
        }
        if (table.count < kProcessTableSize) {
            table.entries[table.count] = ProcessEntry{pid, start, 0};
            ++table.count;
            return;
        }
        // Full: reuse the entry of the process that ended first (earliest slot on a tie).
        int32_t chosen = -1;
        for (int32_t i = 0; i < table.count; ++i) {
            const ProcessEntry& e = table.entries[i];
            if (e.end == 0) continue;
            if (chosen < 0 || e.end < table.entries[chosen].end) chosen = i;
        }
        if (chosen >= 0) {
            table.entries[chosen] = ProcessEntry{pid, start, 0};
            recycled = true;
        } else {
            refused = true;
        }
    }
    if (recycled) AtomicAdd(table.trackingSlotsRecycled, 1);
    if (refused) AtomicAdd(table.childrenNotFollowed, 1);
}

bool IsProcessFollowed(TrackingState* ts, uint32_t pid, int64_t t) {
    if (ts == nullptr || pid == 0) return false;
    ProcessTable& table = ts->processes;
    LockGuard guard(&table.lock);
    for (int32_t i = 0; i < table.count; ++i) {
        const ProcessEntry& e = table.entries[i];
        if (e.pid == pid && IntervalHolds(e, t)) return true;
    }
    return false;
}

void EndFollowedProcess(TrackingState* ts, uint32_t pid, int64_t end) {
    if (ts == nullptr || pid == 0 || end < 1) return;
    ProcessTable& table = ts->processes;
    LockGuard guard(&table.lock);
    for (int32_t i = 0; i < table.count; ++i) {
        ProcessEntry& e = table.entries[i];
        if (e.pid == pid && e.end == 0) {
            e.end = end;
            return;
        }
    }
}

int32_t CountRunningFollowedProcesses(TrackingState* ts, uint32_t exceptPid) {
    if (ts == nullptr) return 0;
    ProcessTable& table = ts->processes;
    LockGuard guard(&table.lock);
    int32_t running = 0;
    for (int32_t i = 0; i < table.count; ++i) {
        const ProcessEntry& e = table.entries[i];
        if (e.pid != 0 && e.pid != exceptPid && e.end == 0) ++running;
    }
    return running;
}

} // namespace olv
