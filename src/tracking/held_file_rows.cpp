// PendingFileRows: file request rows held until the completion of their I/O request packet.
// A row that leaves the pool without a completion is "released": counted in fileResultsMissing,
// given the result "-" and handed to the RowSink. Releasing always happens after the pool's lock
// has been let go, because the sink takes the EventQueue's lock.
#include "base/atomic.h"
#include "base/text.h"
#include "tracking/tracking_internal.h"
#include "tracking/tracking_state.h"

namespace olv {

namespace {

constexpr int32_t kNoSlot = -1;
constexpr int kFlushBatch = 64;

struct SinkTarget {
    RowSink sink;
    void* context;
};

int32_t HeadOf(uint64_t irp) {
    return static_cast<int32_t>((irp >> 3) & (kHeldFileHeads - 1));
}

bool Occupied(const HeldFileSlot& slot) {
    return slot.irp != 0;
}

// Held for the full lifetime at now; safe against any pair of time stamps.
bool Expired(int64_t heldAt, int64_t now) {
    if (now < heldAt) return false;
    return static_cast<uint64_t>(now) - static_cast<uint64_t>(heldAt) >=
           static_cast<uint64_t>(kHeldRowLifetime);
}

int32_t FindSlot(const PendingFileRows& pool, uint64_t irp) {
    for (int32_t i = pool.heads[HeadOf(irp)]; i != kNoSlot; i = pool.slots[i].next) {
        if (pool.slots[i].irp == irp) return i;
    }
    return kNoSlot;
}

// Unlinks slot i from its index chain, copies its row out and returns the slot to the free list.
void TakeOut(PendingFileRows& pool, int32_t i, EventRow* out) {
    HeldFileSlot& slot = pool.slots[i];
    int32_t* link = &pool.heads[HeadOf(slot.irp)];
    while (*link != kNoSlot && *link != i)
        link = &pool.slots[*link].next;
    if (*link == i) *link = slot.next;
    *out = slot.row;
    slot.irp = 0;
    slot.heldAt = 0;
    slot.next = pool.freeHead;
    pool.freeHead = i;
    --pool.heldCount;
}

int32_t OldestSlot(const PendingFileRows& pool) {
    int32_t oldest = kNoSlot;
    for (int32_t i = 0; i < kHeldFileSlots; ++i) {
        if (!Occupied(pool.slots[i])) continue;
        if (oldest == kNoSlot || pool.slots[i].heldAt < pool.slots[oldest].heldAt) oldest = i;
    }
    return oldest;
}

SinkTarget CurrentSink(const TrackingState* ts) {
    return SinkTarget{ts->rowSink, ts->rowSinkContext};
}

void ReleaseRow(TrackingState* ts, const SinkTarget& target, EventRow* row) {
    AtomicAdd(ts->fileResultsMissing, 1);
    CopyBounded(row->result, kResultChars, u"-");
    if (target.sink != nullptr) target.sink(target.context, row);
}

} // namespace

void ResetPendingFileRows(PendingFileRows* pool) {
    for (int32_t i = 0; i < kHeldFileSlots; ++i) {
        pool->slots[i].irp = 0;
        pool->slots[i].heldAt = 0;
        pool->slots[i].next = (i + 1 < kHeldFileSlots) ? i + 1 : kNoSlot;
    }
    for (int32_t& head : pool->heads)
        head = kNoSlot;
    pool->freeHead = 0;
    pool->heldCount = 0;
    pool->sweepCounter = 0;
    pool->newestTime = 0;
    pool->completionSeen = 0;
    pool->holdRows = 1;
}

void SetRowSink(TrackingState* ts, RowSink sink, void* context) {
    if (ts == nullptr) return;
    LockGuard guard(&ts->pending.lock);
    ts->rowSink = sink;
    ts->rowSinkContext = context;
}

void HoldFileRow(TrackingState* ts, uint64_t irp, int64_t t, const EventRow* row) {
    if (ts == nullptr || row == nullptr) return;
    PendingFileRows& pool = ts->pending;
    EventRow replaced;
    EventRow evicted;
    bool hasReplaced = false;
    bool hasEvicted = false;
    bool stored = false;
    SinkTarget target;
    {
        LockGuard guard(&pool.lock);
        target = CurrentSink(ts);
        // A packet address of 0 could never be completed: such a row is released at once.
        if (irp != 0) {
            int32_t same = FindSlot(pool, irp);
            if (same != kNoSlot) {
                TakeOut(pool, same, &replaced);
                hasReplaced = true;
            }
            if (pool.freeHead == kNoSlot) {
                int32_t oldest = OldestSlot(pool);
                if (oldest != kNoSlot) {
                    TakeOut(pool, oldest, &evicted);
                    hasEvicted = true;
                }
            }
            if (pool.freeHead != kNoSlot) {
                int32_t i = pool.freeHead;
                HeldFileSlot& slot = pool.slots[i];
                pool.freeHead = slot.next;
                slot.irp = irp;
                slot.heldAt = t;
                slot.row = *row;
                int32_t& head = pool.heads[HeadOf(irp)];
                slot.next = head;
                head = i;
                ++pool.heldCount;
                stored = true;
            }
        }
    }
    if (hasReplaced) ReleaseRow(ts, target, &replaced);
    if (hasEvicted) ReleaseRow(ts, target, &evicted);
    if (!stored) {
        evicted = *row;
        ReleaseRow(ts, target, &evicted);
    }
}

bool TakeHeldFileRow(TrackingState* ts, uint64_t irp, EventRow* out) {
    if (ts == nullptr || out == nullptr || irp == 0) return false;
    PendingFileRows& pool = ts->pending;
    LockGuard guard(&pool.lock);
    int32_t i = FindSlot(pool, irp);
    if (i == kNoSlot) return false;
    TakeOut(pool, i, out);
    return true;
}

void ExpireHeldFileRows(TrackingState* ts, int64_t now) {
    if (ts == nullptr) return;
    PendingFileRows& pool = ts->pending;
    EventRow taken[kHeldRowsPerSweep];
    int n = 0;
    SinkTarget target;
    {
        LockGuard guard(&pool.lock);
        target = CurrentSink(ts);
        for (int32_t i = 0; i < kHeldFileSlots && n < kHeldRowsPerSweep; ++i) {
            const HeldFileSlot& slot = pool.slots[i];
            if (Occupied(slot) && Expired(slot.heldAt, now)) TakeOut(pool, i, &taken[n++]);
        }
        // Rows expire but no completion ever came: this trace does not deliver completions,
        // so holding rows only delays them.
        if (n > 0 && pool.completionSeen == 0) pool.holdRows = 0;
    }
    for (int k = 0; k < n; ++k)
        ReleaseRow(ts, target, &taken[k]);
}

void FlushHeldFileRows(TrackingState* ts) {
    if (ts == nullptr) return;
    PendingFileRows& pool = ts->pending;
    EventRow batch[kFlushBatch];
    for (;;) {
        int n = 0;
        SinkTarget target;
        {
            LockGuard guard(&pool.lock);
            target = CurrentSink(ts);
            for (int32_t i = 0; i < kHeldFileSlots && n < kFlushBatch; ++i) {
                if (Occupied(pool.slots[i])) TakeOut(pool, i, &batch[n++]);
            }
        }
        if (n == 0) return;
        for (int k = 0; k < n; ++k)
            ReleaseRow(ts, target, &batch[k]);
    }
}

void NoteFileCompletionSeen(TrackingState* ts) {
    if (ts == nullptr) return;
    LockGuard guard(&ts->pending.lock);
    ts->pending.completionSeen = 1;
}

bool AreFileRowsHeld(TrackingState* ts) {
    if (ts == nullptr) return false;
    LockGuard guard(&ts->pending.lock);
    return ts->pending.holdRows != 0;
}

void NoteFileRequestForSweep(TrackingState* ts, int64_t t) {
    if (ts == nullptr) return;
    PendingFileRows& pool = ts->pending;
    bool sweep = false;
    int64_t now = 0;
    {
        LockGuard guard(&pool.lock);
        if (t > pool.newestTime) pool.newestTime = t;
        if (++pool.sweepCounter >= kFileRowsPerSweep) {
            pool.sweepCounter = 0;
            sweep = true;
            now = pool.newestTime;
        }
    }
    if (sweep) ExpireHeldFileRows(ts, now);
}

int32_t HeldFileRowCount(TrackingState* ts) {
    if (ts == nullptr) return 0;
    LockGuard guard(&ts->pending.lock);
    return ts->pending.heldCount;
}

} // namespace olv
