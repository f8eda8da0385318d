#include "facts/facts_worker.h"

#include <cstring>

#include "base/format.h"
#include "base/note_text.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/registry_values.h"
#include "platform/thread.h"

namespace olv {

namespace {

enum SlotState : uint8_t {
    kSlotFree,
    kSlotQueued,
    kSlotReading,
    kSlotDone,      // read, waiting for the poll
    kSlotHanding,   // being handed out by the poll (outside the lock)
    kSlotCancelled, // late while queued: the worker frees it when it reaches it in the queue
    kSlotAbandoned, // late (or stopped) while read: the worker frees it when the read ends
};

struct Slot {
    SlotState state;
    FactsKind kind;
    FactsOutcome outcome;
    uint64_t ticket;
    int64_t arrived;
    int64_t eventTime;
    uint32_t processId;   // a token's or a folder's process; an export's offset
    uint32_t valueOffset; // registry: where the value name starts in text
    char16_t* text;       // kFactsPathChars in the arena
    FactsResult* result;
};

} // namespace

struct FactsWorker {
    Lock lock;
    Condition wake; // new work for either thread, or stopping
    FactsWorkerConfig config;

    Slot* slots;
    FactsResult* results;
    char16_t* arena;
    uint32_t* freeList; // free slot indices, used as a stack
    uint32_t freeCount;
    uint32_t* queue; // slot indices in arrival order, a ring
    uint32_t queueHead;
    uint32_t queueCount;
    uint32_t pending; // queued or being read, not cancelled or abandoned

    char16_t* largePaths; // backgroundSlots paths, a ring
    uint32_t largeHead;
    uint32_t largeCount;
    bool largeBusy;
    char16_t largeCurrent[kFactsPathChars];
    ImageFacts largeFacts;

    ImageFactsCache cache;
    RegistryValue* registry; // the worker thread's scratch for one value
    FactsCounts counts;
    bool stopping;
    ThreadHandle reader;
    ThreadHandle background;
};

namespace {

// The length of text when it fits with its terminator in limit characters, else limit.
size_t BoundedLength(const char16_t* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != 0)
        ++n;
    return n;
}

bool SameText(const char16_t* a, const char16_t* b) {
    size_t i = 0;
    for (; i < kFactsPathChars && a[i] == b[i]; ++i)
        if (a[i] == 0) return true;
    return false;
}

void FreeSlot(FactsWorker* w, uint32_t index) {
    w->slots[index].state = kSlotFree;
    w->freeList[w->freeCount++] = index;
}

bool IsLate(const FactsWorker* w, const Slot& s, int64_t now) {
    if (now <= s.arrived) return false;
    return static_cast<uint64_t>(now) - static_cast<uint64_t>(s.arrived) >=
           static_cast<uint64_t>(w->config.deadlineTicks);
}

void QueueLargeFile(FactsWorker* w, const char16_t* path) {
    LockGuard guard(&w->lock);
    if (w->stopping) return;
    if (w->largeBusy && SameText(w->largeCurrent, path)) return;
    const uint32_t n = w->config.backgroundSlots;
    for (uint32_t i = 0; i < w->largeCount; ++i)
        if (SameText(&w->largePaths[size_t{(w->largeHead + i) % n} * kFactsPathChars], path))
            return;
    ++w->counts.largeFiles;
    if (w->largeCount == n) {
        ++w->counts.largeNotHashed;
        return;
    }
    char16_t* to = &w->largePaths[size_t{(w->largeHead + w->largeCount) % n} * kFactsPathChars];
    std::memcpy(to, path, kFactsPathChars * sizeof *path); // both are slot-sized, terminated
    ++w->largeCount;
    WakeAllCondition(&w->wake);
}

// Reads one request into its result. Returns the outcome and, in *counter, the count its loss
// goes to (null when none); the caller counts it only if the result is handed out.
FactsOutcome ReadRequest(FactsWorker* w, const Slot& s, uint64_t FactsCounts::** counter) {
    *counter = nullptr;
    FactsResult& r = *s.result;
    switch (s.kind) {
    case kFactsImage: {
        bool fromCache = false;
        if (w->config.readImage != nullptr) {
            w->config.readImage(w->config.readImageContext, s.text, &r.image);
        } else {
            ReadImageFactsCached(&w->cache, s.text, &r.image, w->config.imageSizeLimit, &fromCache);
        }
        switch (r.image.status) {
        case ImageFactsStatus::Read:
        case ImageFactsStatus::Empty:
            return kFactsRead;
        case ImageFactsStatus::CannotOpen:
        case ImageFactsStatus::ReadFailed:
            *counter = &FactsCounts::imagesUnreadable;
            break;
        case ImageFactsStatus::TooLarge:
            // Kept as too large under this limit: queued already when it was first seen.
            if (!fromCache) QueueLargeFile(w, s.text);
            return kFactsLarge;
        case ImageFactsStatus::NoMemory:
        case ImageFactsStatus::NoReader:
        case ImageFactsStatus::ScanFailed:
            *counter = &FactsCounts::imagesFailed;
            break;
        }
        return kFactsUnreadable;
    }
    case kFactsTrust:
        std::memset(&r.trust, 0, sizeof r.trust);
        if (CheckFileTrust(s.text, &r.trust)) return kFactsRead;
        if (r.trust.status == kFileTrustCannotOpen) *counter = &FactsCounts::trustUnreadable;
        return kFactsUnreadable;
    case kFactsToken:
        std::memset(&r.token, 0, sizeof r.token);
        if (ReadProcessTokenFacts(s.processId, &r.token)) return kFactsRead;
        if (r.token.status == kTokenProcessGone)
            *counter = &FactsCounts::tokensGone;
        else if (r.token.status != kTokenNotAvailable)
            *counter = &FactsCounts::tokensUnreadable;
        return kFactsUnreadable;
    case kFactsDirectory:
        if (ReadProcessCurrentDirectory(s.processId, &r.directory)) return kFactsRead;
        if (r.directory.status != kDirectoryNotAvailable)
            *counter = &FactsCounts::directoriesUnreadable;
        return kFactsUnreadable;
    case kFactsRegistry: {
        r.detailsOutcome = kDetailsUnknown;
        r.details[0] = 0;
        r.registryType = 0;
        RegistryValue& v = *w->registry;
        ReadRegistryValue(s.text, s.text + s.valueOffset, &v);
        switch (v.status) {
        case kRegistryValueRead:
        case kRegistryValueTooLarge:
            // The key's last-write time is the only witness that the value is still the one
            // the event wrote: later means written again, unknown means it cannot be told.
            if (v.keyLastWrite == 0) {
                *counter = &FactsCounts::registryUnreadable;
                return kFactsUnreadable;
            }
            if (v.keyLastWrite > s.eventTime) {
                *counter = &FactsCounts::registryChanged;
                return kFactsChanged;
            }
            r.registryType = v.type;
            r.detailsOutcome = RegistryDetailsText(v, r.details, kDetailsChars);
            return kFactsRead;
        case kRegistryValueGone:
        case kRegistryKeyGone:
            *counter = &FactsCounts::registryChanged;
            return kFactsChanged;
        case kRegistryNotAvailable:
            return kFactsUnreadable;
        case kRegistryAccessDenied:
        case kRegistryBadPath:
        case kRegistryReadFailed:
            break;
        }
        *counter = &FactsCounts::registryUnreadable;
        return kFactsUnreadable;
    }
    case kFactsStream:
        // r.image is the reader's scratch: only the stream's facts are handed out.
        if (ReadStreamFacts(s.text, &r.image, &r.stream)) return kFactsRead;
        *counter = &FactsCounts::streamsUnreadable;
        return kFactsUnreadable;
    case kFactsExport:
        // A stand-in for another machine's files knows none of their export tables.
        if (w->config.readImage != nullptr) {
            std::memset(&r.exported, 0, sizeof r.exported);
            r.exported.status = kExportNoReader;
            return kFactsUnreadable;
        }
        if (ReadExportAt(s.text, s.processId, &r.exported)) return kFactsRead;
        // A build without the reader knows no function, which loses nothing it could know.
        if (r.exported.status != kExportNoReader) *counter = &FactsCounts::exportsUnreadable;
        return kFactsUnreadable;
    }
    return kFactsUnreadable;
}

uint32_t ReaderThread(void* argument) {
    auto* w = static_cast<FactsWorker*>(argument);
    EnterLock(&w->lock);
    for (;;) {
        while (!w->stopping && w->queueCount == 0)
            WaitCondition(&w->wake, &w->lock);
        if (w->stopping) break;
        const uint32_t index = w->queue[w->queueHead];
        w->queueHead = (w->queueHead + 1) % w->config.slots;
        --w->queueCount;
        Slot& s = w->slots[index];
        if (s.state == kSlotCancelled) {
            FreeSlot(w, index);
            continue;
        }
        s.state = kSlotReading;
        LeaveLock(&w->lock);

        if (w->config.beforeRead) w->config.beforeRead(w->config.hookContext, s.ticket);
        uint64_t FactsCounts::*counter = nullptr;
        const FactsOutcome outcome = ReadRequest(w, s, &counter);

        EnterLock(&w->lock);
        if (s.state == kSlotAbandoned) {
            FreeSlot(w, index); // handed out as late, or dropped at stop: counted then
            continue;
        }
        s.outcome = outcome;
        s.state = kSlotDone;
        --w->pending;
        if (counter) ++(w->counts.*counter);
    }
    LeaveLock(&w->lock);
    return 0;
}

uint32_t BackgroundThread(void* argument) {
    auto* w = static_cast<FactsWorker*>(argument);
    EnterLock(&w->lock);
    for (;;) {
        while (!w->stopping && w->largeCount == 0)
            WaitCondition(&w->wake, &w->lock);
        if (w->stopping) break;
        std::memcpy(w->largeCurrent, &w->largePaths[size_t{w->largeHead} * kFactsPathChars],
                    sizeof w->largeCurrent);
        w->largeHead = (w->largeHead + 1) % w->config.backgroundSlots;
        --w->largeCount;
        w->largeBusy = true;
        LeaveLock(&w->lock);

        // Into the cache: the rows of this file that come later find its facts there.
        const bool hashed = ReadImageFactsCached(&w->cache, w->largeCurrent, &w->largeFacts,
                                                 w->config.backgroundSizeLimit);
        EnterLock(&w->lock);
        w->largeBusy = false;
        ++(hashed ? w->counts.largeHashed : w->counts.largeNotHashed);
    }
    LeaveLock(&w->lock);
    return 0;
}

void FreeWorker(FactsWorker* w) {
    ReleaseImageFactsCache(&w->cache);
    FreeBlock(w->slots);
    FreeBlock(w->results);
    FreeBlock(w->arena);
    FreeBlock(w->freeList);
    FreeBlock(w->queue);
    FreeBlock(w->largePaths);
    FreeBlock(w->registry);
    DeleteCondition(&w->wake);
    DeleteLock(&w->lock);
    FreeBlock(w);
}

bool Enqueue(FactsWorker* w, FactsKind kind, uint64_t ticket, int64_t arrived, const char16_t* path,
             const char16_t* valueName, uint32_t processId, int64_t eventTime) {
    if (!w) return false;
    size_t pathLength = 0;
    size_t valueLength = 0;
    bool tooLong = false;
    if (path) {
        pathLength = BoundedLength(path, kFactsPathChars);
        if (valueName) valueLength = BoundedLength(valueName, kFactsPathChars);
        // The path, its terminator, the value name and its terminator.
        tooLong = pathLength + 1 + valueLength + 1 > kFactsPathChars;
    }
    LockGuard guard(&w->lock);
    if (w->stopping) return false;
    if (tooLong) {
        ++w->counts.refusedLong;
        return false;
    }
    if (w->freeCount == 0) {
        ++w->counts.refusedFull;
        return false;
    }
    const uint32_t index = w->freeList[--w->freeCount];
    Slot& s = w->slots[index];
    s.state = kSlotQueued;
    s.kind = kind;
    s.outcome = kFactsUnreadable;
    s.ticket = ticket;
    s.arrived = arrived;
    s.eventTime = eventTime;
    s.processId = processId;
    if (pathLength) std::memcpy(s.text, path, pathLength * sizeof *path);
    s.text[pathLength] = 0;
    s.valueOffset = static_cast<uint32_t>(pathLength + 1);
    if (valueLength) std::memcpy(s.text + s.valueOffset, valueName, valueLength * sizeof *path);
    s.text[s.valueOffset + valueLength] = 0;
    w->queue[(w->queueHead + w->queueCount) % w->config.slots] = index;
    ++w->queueCount;
    ++w->pending;
    ++w->counts.requested;
    WakeAllCondition(&w->wake);
    return true;
}

} // namespace

const char* FactsOutcomeName(FactsOutcome outcome) {
    switch (outcome) {
    case kFactsRead:
        return "read";
    case kFactsUnreadable:
        return "unreadable";
    case kFactsChanged:
        return "changed";
    case kFactsLarge:
        return "large";
    case kFactsLate:
        return "late";
    }
    return "?";
}

FactsWorker* StartFactsWorker(const FactsWorkerConfig* config) {
    FactsWorkerConfig c{};
    if (config) c = *config;
    if (c.slots == 0) c.slots = 512;
    if (c.deadlineTicks <= 0) c.deadlineTicks = kFactsDeadlineTicks;
    if (c.imageSizeLimit == 0) c.imageSizeLimit = kDefaultImageFactsSizeLimit;
    if (c.backgroundSizeLimit == 0) c.backgroundSizeLimit = uint64_t{1} << 30;
    if (c.backgroundSlots == 0) c.backgroundSlots = 8;
    if (c.cacheEntries == 0) c.cacheEntries = kDefaultImageFactsCacheEntries;

    auto* w = AllocRecord<FactsWorker>();
    if (!w) return nullptr;
    InitLock(&w->lock);
    InitCondition(&w->wake);
    w->config = c;
    w->slots = static_cast<Slot*>(AllocZeroed(size_t{c.slots} * sizeof(Slot)));
    w->results = static_cast<FactsResult*>(AllocZeroed(size_t{c.slots} * sizeof(FactsResult)));
    w->arena =
        static_cast<char16_t*>(AllocZeroed(size_t{c.slots} * kFactsPathChars * sizeof(char16_t)));
    w->freeList = static_cast<uint32_t*>(AllocZeroed(size_t{c.slots} * sizeof(uint32_t)));
    w->queue = static_cast<uint32_t*>(AllocZeroed(size_t{c.slots} * sizeof(uint32_t)));
    w->largePaths = static_cast<char16_t*>(
        AllocZeroed(size_t{c.backgroundSlots} * kFactsPathChars * sizeof(char16_t)));
    w->registry = AllocRecord<RegistryValue>();
    const bool cacheReady = InitImageFactsCache(&w->cache, c.cacheEntries);
    if (!w->slots || !w->results || !w->arena || !w->freeList || !w->queue || !w->largePaths ||
        !w->registry || !cacheReady) {
        FreeWorker(w);
        return nullptr;
    }
    for (uint32_t i = 0; i < c.slots; ++i) {
        w->slots[i].text = &w->arena[size_t{i} * kFactsPathChars];
        w->slots[i].result = &w->results[i];
        w->freeList[i] = c.slots - 1 - i; // slot 0 is handed out first
    }
    w->freeCount = c.slots;

    w->reader = StartThread(ReaderThread, w, nullptr);
    if (w->reader) w->background = StartThread(BackgroundThread, w, nullptr);
    if (!w->background) {
        EnterLock(&w->lock);
        w->stopping = true;
        WakeAllCondition(&w->wake);
        LeaveLock(&w->lock);
        JoinThread(w->reader);
        FreeWorker(w);
        return nullptr;
    }
    return w;
}

bool RequestImageFacts(FactsWorker* worker, uint64_t ticket, int64_t arrived,
                       const char16_t* path) {
    return path && Enqueue(worker, kFactsImage, ticket, arrived, path, nullptr, 0, 0);
}

bool RequestFileTrust(FactsWorker* worker, uint64_t ticket, int64_t arrived, const char16_t* path) {
    return path && Enqueue(worker, kFactsTrust, ticket, arrived, path, nullptr, 0, 0);
}

bool RequestTokenFacts(FactsWorker* worker, uint64_t ticket, int64_t arrived, uint32_t processId) {
    return Enqueue(worker, kFactsToken, ticket, arrived, nullptr, nullptr, processId, 0);
}

bool RequestProcessDirectory(FactsWorker* worker, uint64_t ticket, int64_t arrived,
                             uint32_t processId) {
    return Enqueue(worker, kFactsDirectory, ticket, arrived, nullptr, nullptr, processId, 0);
}

bool RequestRegistryDetails(FactsWorker* worker, uint64_t ticket, int64_t arrived,
                            const char16_t* keyPath, const char16_t* valueName, int64_t eventTime) {
    return keyPath &&
           Enqueue(worker, kFactsRegistry, ticket, arrived, keyPath, valueName, 0, eventTime);
}

bool RequestStreamFacts(FactsWorker* worker, uint64_t ticket, int64_t arrived,
                        const char16_t* path) {
    return path && Enqueue(worker, kFactsStream, ticket, arrived, path, nullptr, 0, 0);
}

bool RequestExportFacts(FactsWorker* worker, uint64_t ticket, int64_t arrived,
                        const char16_t* path, uint32_t rva) {
    return path && Enqueue(worker, kFactsExport, ticket, arrived, path, nullptr, rva, 0);
}

uint32_t PollFacts(FactsWorker* w, int64_t now, FactsAnswerFn fn, void* context, uint32_t max) {
    if (!w || !fn) return 0;
    constexpr uint32_t kBatch = 32;
    uint32_t handed = 0;
    while (handed < max) {
        FactsAnswer batch[kBatch];
        uint32_t handing[kBatch]; // slots to free after the callbacks
        uint32_t n = 0;
        uint32_t nHanding = 0;
        EnterLock(&w->lock);
        for (uint32_t i = 0; i < w->config.slots && n < kBatch && handed + n < max; ++i) {
            Slot& s = w->slots[i];
            if (s.state == kSlotDone) {
                s.state = kSlotHanding;
                batch[n++] = FactsAnswer{s.ticket, s.kind, s.outcome, s.result};
                handing[nHanding++] = i;
            } else if ((s.state == kSlotQueued || s.state == kSlotReading) && IsLate(w, s, now)) {
                // Its facts are unknown from now on: a read that ends later is dropped.
                s.state = s.state == kSlotQueued ? kSlotCancelled : kSlotAbandoned;
                --w->pending;
                ++w->counts.late;
                batch[n++] = FactsAnswer{s.ticket, s.kind, kFactsLate, nullptr};
            }
        }
        w->counts.answered += n;
        LeaveLock(&w->lock);
        if (n == 0) break;
        for (uint32_t i = 0; i < n; ++i)
            fn(context, batch[i]);
        EnterLock(&w->lock);
        for (uint32_t i = 0; i < nHanding; ++i)
            FreeSlot(w, handing[i]);
        LeaveLock(&w->lock);
        handed += n;
    }
    return handed;
}

void ReadFactsCounts(FactsWorker* w, FactsCounts* counts) {
    if (!w) {
        std::memset(counts, 0, sizeof *counts);
        return;
    }
    LockGuard guard(&w->lock);
    *counts = w->counts;
}

uint32_t PendingFacts(FactsWorker* w) {
    if (!w) return 0;
    LockGuard guard(&w->lock);
    return w->pending;
}

uint32_t PendingLargeFiles(FactsWorker* w) {
    if (!w) return 0;
    LockGuard guard(&w->lock);
    return w->largeCount + (w->largeBusy ? 1u : 0u);
}

bool StopFactsWorker(FactsWorker* w, uint32_t waitMs) {
    if (!w) return true;
    EnterLock(&w->lock);
    if (!w->stopping) {
        w->stopping = true;
        for (uint32_t i = 0; i < w->config.slots; ++i) {
            Slot& s = w->slots[i];
            switch (s.state) {
            case kSlotQueued:
            case kSlotDone:
                ++w->counts.droppedAtStop;
                FreeSlot(w, i);
                break;
            case kSlotReading:
                ++w->counts.droppedAtStop;
                s.state = kSlotAbandoned;
                break;
            case kSlotCancelled:
                FreeSlot(w, i);
                break;
            case kSlotFree:
            case kSlotHanding:
            case kSlotAbandoned:
                break;
            }
        }
        w->queueCount = 0;
        w->pending = 0;
        w->counts.largeNotHashed += w->largeCount;
        w->largeCount = 0;
        WakeAllCondition(&w->wake);
    }
    LeaveLock(&w->lock);
    const bool readerEnded = WaitThreadEnd(w->reader, waitMs);
    const bool backgroundEnded = WaitThreadEnd(w->background, readerEnded ? waitMs : 0);
    return readerEnded && backgroundEnded;
}

void ReleaseFactsWorker(FactsWorker* w) {
    if (!w) return;
    StopFactsWorker(w, 0);
    JoinThread(w->reader);
    JoinThread(w->background);
    FreeWorker(w);
}

void AppendFactsNotes(const FactsCounts& c, uint64_t imageSizeLimit, const char16_t* prefix,
                      char16_t* out, size_t capacity, int32_t* lines) {
    const uint64_t mb = imageSizeLimit >> 20;
    struct Note {
        uint64_t count;
        const char16_t* format;
    };
    const Note notes[] = {
        {c.late, u"%lu facts not read in time"},
        {c.imagesUnreadable, u"%lu images could not be read: deleted or locked"},
        {c.imagesFailed, u"%lu images could not be read: no memory, or the reader failed"},
        {c.largeFiles, u"%lu files over %lu MB hashed in the background"},
        {c.largeNotHashed, u"%lu files over %lu MB not hashed: too large, failed or stopped"},
        {c.trustUnreadable, u"%lu signatures could not be checked: deleted or locked"},
        {c.tokensGone, u"%lu process tokens could not be read: the process had ended"},
        {c.tokensUnreadable, u"%lu process tokens could not be read: access denied or failed"},
        {c.directoriesUnreadable,
         u"%lu current folders of processes could not be read: ended, denied or failed"},
        {c.registryChanged, u"%lu registry values changed or gone before they were read"},
        {c.registryUnreadable, u"%lu registry values could not be read"},
        {c.streamsUnreadable, u"%lu alternate data streams could not be read: deleted or locked"},
        {c.exportsUnreadable, u"%lu threads' start modules could not be read: their start "
                              u"functions are not known"},
        {c.refusedFull, u"%lu fact reads refused: queue full"},
        {c.refusedLong, u"%lu fact reads refused: path too long"},
        {c.droppedAtStop, u"%lu fact reads dropped when the recording stopped"},
    };
    for (const Note& note : notes) {
        if (note.count == 0) continue;
        char16_t line[128];
        FormatText(line, 128, note.format, note.count, mb);
        AppendNoteLine(out, capacity, prefix, line, lines);
    }
}

} // namespace olv
