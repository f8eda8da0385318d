#include "facts/yara_scanner.h"

#include <cstring>

#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/thread.h"

namespace olv {

namespace {

enum ScanSlotState : uint8_t { kScanFree, kScanQueued, kScanRunning, kScanDone, kScanHanding };

struct ScanSlot {
    ScanSlotState state;
    uint64_t ticket;
    const YaraRuleSet* set;
    char16_t path[kYaraScanPathChars];
    YaraScanResult result;
};

} // namespace

struct YaraScanner {
    Lock lock;
    Condition wake;
    YaraScannerConfig config;
    ScanSlot* slots;
    uint32_t* freeList;
    uint32_t freeCount;
    uint32_t* queue; // slot indices in arrival order, a ring
    uint32_t queueHead;
    uint32_t queueCount;
    uint32_t pending; // queued or running
    YaraScanCache cache;
    YaraScanCounts counts;
    bool stopping;
    bool running; // a scan is under way outside the lock
    ThreadHandle thread;
};

namespace {

void FreeScanSlot(YaraScanner* s, uint32_t index) {
    s->slots[index].state = kScanFree;
    s->freeList[s->freeCount++] = index;
}

void CountOutcome(YaraScanCounts* c, const YaraScanResult& r) {
    switch (r.status) {
    case YaraScanStatus::Scanned:
        ++c->scanned;
        if (r.fromCache) ++c->fromCache;
        break;
    case YaraScanStatus::CannotOpen: ++c->gone; break;
    case YaraScanStatus::TooLarge: ++c->tooLarge; break;
    case YaraScanStatus::NoRules: break;
    case YaraScanStatus::ReadFailed:
    case YaraScanStatus::NoMemory:
    case YaraScanStatus::TimedOut:
    case YaraScanStatus::ScanFailed: ++c->failed; break;
    }
}

uint32_t ScanThread(void* argument) {
    auto* s = static_cast<YaraScanner*>(argument);
    EnterLock(&s->lock);
    for (;;) {
        while (!s->stopping && s->queueCount == 0)
            WaitCondition(&s->wake, &s->lock);
        if (s->stopping) break;
        const uint32_t index = s->queue[s->queueHead];
        s->queueHead = (s->queueHead + 1) % s->config.slots;
        --s->queueCount;
        ScanSlot& slot = s->slots[index];
        slot.state = kScanRunning;
        s->running = true;
        LeaveLock(&s->lock);

        ScanFileWithYaraRules(slot.set, slot.path, &slot.result, &s->cache, s->config.sizeLimit,
                              s->config.timeoutSeconds);

        EnterLock(&s->lock);
        s->running = false;
        --s->pending;
        if (s->stopping) {
            ++s->counts.droppedAtStop;
            FreeScanSlot(s, index);
            break;
        }
        slot.state = kScanDone;
    }
    LeaveLock(&s->lock);
    return 0;
}

void FreeScanner(YaraScanner* s) {
    ReleaseYaraScanCache(&s->cache);
    FreeBlock(s->slots);
    FreeBlock(s->freeList);
    FreeBlock(s->queue);
    DeleteCondition(&s->wake);
    DeleteLock(&s->lock);
    FreeBlock(s);
}

} // namespace

YaraScanner* StartYaraScanner(const YaraScannerConfig* config) {
    YaraScannerConfig c{};
    if (config != nullptr) c = *config;
    if (c.slots == 0) c.slots = 128;
    if (c.sizeLimit == 0) c.sizeLimit = kDefaultYaraScanSizeLimit;
    if (c.timeoutSeconds <= 0) c.timeoutSeconds = kDefaultYaraScanTimeoutSeconds;
    if (c.cacheEntries == 0) c.cacheEntries = kDefaultYaraScanCacheEntries;
    auto* s = AllocRecord<YaraScanner>();
    if (s == nullptr) return nullptr;
    InitLock(&s->lock);
    InitCondition(&s->wake);
    s->config = c;
    s->slots = static_cast<ScanSlot*>(AllocZeroed(size_t{c.slots} * sizeof(ScanSlot)));
    s->freeList = static_cast<uint32_t*>(AllocZeroed(size_t{c.slots} * sizeof(uint32_t)));
    s->queue = static_cast<uint32_t*>(AllocZeroed(size_t{c.slots} * sizeof(uint32_t)));
    const bool cacheReady = InitYaraScanCache(&s->cache, c.cacheEntries);
    if (s->slots == nullptr || s->freeList == nullptr || s->queue == nullptr || !cacheReady) {
        FreeScanner(s);
        return nullptr;
    }
    for (uint32_t i = 0; i < c.slots; ++i)
        s->freeList[i] = c.slots - 1 - i;
    s->freeCount = c.slots;
    s->thread = StartThread(ScanThread, s, nullptr);
    if (!s->thread) {
        FreeScanner(s);
        return nullptr;
    }
    return s;
}

bool RequestYaraScan(YaraScanner* scanner, uint64_t ticket, const YaraRuleSet* set,
                     const char16_t* path) {
    if (scanner == nullptr || path == nullptr || set == nullptr || set->rules == nullptr ||
        set->rulesLoaded == 0) {
        return false;
    }
    size_t length = 0;
    while (length < kYaraScanPathChars && path[length] != 0)
        ++length;
    LockGuard guard(&scanner->lock);
    if (scanner->stopping) return false;
    if (length == kYaraScanPathChars) {
        ++scanner->counts.refusedLong;
        return false;
    }
    if (scanner->freeCount == 0) {
        ++scanner->counts.refusedFull;
        return false;
    }
    const uint32_t index = scanner->freeList[--scanner->freeCount];
    ScanSlot& slot = scanner->slots[index];
    slot.state = kScanQueued;
    slot.ticket = ticket;
    slot.set = set;
    std::memcpy(slot.path, path, length * sizeof *path);
    slot.path[length] = 0;
    scanner->queue[(scanner->queueHead + scanner->queueCount) % scanner->config.slots] = index;
    ++scanner->queueCount;
    ++scanner->pending;
    ++scanner->counts.requested;
    WakeAllCondition(&scanner->wake);
    return true;
}

uint32_t PollYaraScans(YaraScanner* scanner, YaraScanAnswerFn fn, void* context, uint32_t max) {
    if (scanner == nullptr) return 0;
    uint32_t handed = 0;
    for (uint32_t i = 0; i < scanner->config.slots && handed < max; ++i) {
        ScanSlot& slot = scanner->slots[i];
        {
            LockGuard guard(&scanner->lock);
            if (slot.state != kScanDone) continue;
            slot.state = kScanHanding;
            // Counted as handed out: a scan dropped at a stop is counted as dropped only.
            CountOutcome(&scanner->counts, slot.result);
        }
        if (fn != nullptr) fn(context, YaraScanAnswer{slot.ticket, slot.path, &slot.result});
        ++handed;
        LockGuard guard(&scanner->lock);
        FreeScanSlot(scanner, i);
    }
    return handed;
}

uint32_t PendingYaraScans(YaraScanner* scanner) {
    if (scanner == nullptr) return 0;
    LockGuard guard(&scanner->lock);
    uint32_t done = 0;
    for (uint32_t i = 0; i < scanner->config.slots; ++i)
        done += scanner->slots[i].state == kScanDone ? 1u : 0u;
    return scanner->pending + done;
}

void ReadYaraScanCounts(YaraScanner* scanner, YaraScanCounts* counts) {
    *counts = YaraScanCounts{};
    if (scanner == nullptr) return;
    LockGuard guard(&scanner->lock);
    *counts = scanner->counts;
}

uint64_t YaraScannerSizeLimit(const YaraScanner* scanner) {
    return scanner != nullptr ? scanner->config.sizeLimit : kDefaultYaraScanSizeLimit;
}

bool StopYaraScanner(YaraScanner* scanner, uint32_t waitMs) {
    if (scanner == nullptr) return true;
    {
        LockGuard guard(&scanner->lock);
        if (!scanner->stopping) {
            scanner->stopping = true;
            for (uint32_t i = 0; i < scanner->config.slots; ++i) {
                ScanSlot& slot = scanner->slots[i];
                if (slot.state == kScanQueued || slot.state == kScanDone) {
                    if (slot.state == kScanQueued) --scanner->pending;
                    ++scanner->counts.droppedAtStop;
                    FreeScanSlot(scanner, i);
                }
            }
            scanner->queueCount = 0;
            WakeAllCondition(&scanner->wake);
        }
    }
    return WaitThreadEnd(scanner->thread, waitMs);
}

void ReleaseYaraScanner(YaraScanner* scanner) {
    if (scanner == nullptr) return;
    StopYaraScanner(scanner, 0);
    JoinThread(scanner->thread);
    FreeScanner(scanner);
}

} // namespace olv
