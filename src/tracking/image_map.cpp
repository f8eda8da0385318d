// The ImageMap: every process's images by process id, their paths kept once each.
#include <cstring>

#include "base/atomic.h"
#include "base/text.h"
#include "tracking/tracking_internal.h"
#include "tracking/tracking_state.h"

namespace olv {

namespace {

static_assert((kImageMapBuckets & (kImageMapBuckets - 1)) == 0);
static_assert((kImageProcessBuckets & (kImageProcessBuckets - 1)) == 0);
static_assert((kImagePathSlots & (kImagePathSlots - 1)) == 0);
static_assert(kImagePathUnits < 0xFFFFFFFFu);

uint32_t EntryBucket(uint32_t pid, uint64_t base) {
    // Images lie on 64 KB boundaries; the multiply spreads base and pid over the top bits.
    const uint64_t key = (base >> 16) ^ (uint64_t{pid} << 40);
    return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kImageMapBucketBits));
}

uint32_t ProcessBucket(uint32_t pid) {
    // Process ids are multiples of four.
    return (pid >> 2) & (kImageProcessBuckets - 1);
}

// Four units a step: a load of a new image hashes its path, so this is on the trace thread.
uint32_t PathHash(const char16_t* path, size_t length) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ length;
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        uint64_t word;
        std::memcpy(&word, path + i, sizeof word);
        h = (h ^ word) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    for (; i < length; ++i) {
        h = (h ^ path[i]) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    return static_cast<uint32_t>(h);
}

// Whether the path kept at offset is path[0..length). A kept path ends inside the arena, so one
// that would run past its end is shorter: the compare never reads past the arena.
bool SamePath(const ImageMap* map, uint32_t offset, const char16_t* path, size_t length) {
    if (length >= kImagePathUnits - offset) return false;
    const char16_t* kept = map->text + offset;
    return std::memcmp(kept, path, length * sizeof(char16_t)) == 0 && kept[length] == 0;
}

// The path's offset in the arena, added when new; false when it cannot be kept. Paths stay until
// the recording ends: the same few hundred images load into every process.
bool InternPath(ImageMap* map, const char16_t* path, size_t length, uint32_t* offset) {
    uint32_t slot = PathHash(path, length) & (kImagePathSlots - 1);
    for (int probes = 0; probes < kImagePathSlots; ++probes) {
        const uint32_t kept = map->pathSlots[slot];
        if (kept == 0) break;
        if (SamePath(map, kept - 1, path, length)) {
            *offset = kept - 1;
            return true;
        }
        slot = (slot + 1) & (kImagePathSlots - 1);
    }
    // Probing stays short while three quarters at most are used.
    if (map->pathCount >= kImagePathSlots / 4 * 3) return false;
    if (length + 1 > kImagePathUnits - map->textUsed) return false;
    std::memcpy(map->text + map->textUsed, path, length * sizeof(char16_t));
    map->text[map->textUsed + length] = 0;
    *offset = map->textUsed;
    map->pathSlots[slot] = map->textUsed + 1;
    map->textUsed += static_cast<uint32_t>(length + 1);
    ++map->pathCount;
    return true;
}

ImageMapEntry* FindEntry(ImageMap* map, uint32_t pid, uint64_t base) {
    for (int32_t i = map->heads[EntryBucket(pid, base)]; i >= 0; i = map->entries[i].next) {
        ImageMapEntry& e = map->entries[i];
        if (e.pid == pid && e.base == base) return &e;
    }
    return nullptr;
}

ImageProcess* FindProcess(ImageMap* map, uint32_t pid) {
    for (int32_t i = map->processHeads[ProcessBucket(pid)]; i >= 0; i = map->processes[i].next) {
        if (map->processes[i].pid == pid) return &map->processes[i];
    }
    return nullptr;
}

// The process's newest entry; -1 when it has none kept.
int32_t NewestOf(ImageMap* map, uint32_t pid) {
    const ImageProcess* p = FindProcess(map, pid);
    return p != nullptr ? p->newest : -1;
}

int32_t TakeEntry(ImageMap* map) {
    if (map->freeHead >= 0) {
        const int32_t i = map->freeHead;
        map->freeHead = map->entries[i].next;
        return i;
    }
    if (map->unused < kImageMapEntries) return map->unused++;
    return -1;
}

// The record of pid, made when it has none. Never fails while an entry was free for its image:
// records are only held by processes that hold entries.
ImageProcess* TakeProcess(ImageMap* map, uint32_t pid) {
    ImageProcess* p = FindProcess(map, pid);
    if (p != nullptr) return p;
    int32_t i = -1;
    if (map->processFree >= 0) {
        i = map->processFree;
        map->processFree = map->processes[i].next;
    } else if (map->processUnused < kImageMapEntries) {
        i = map->processUnused++;
    } else {
        return nullptr;
    }
    p = &map->processes[i];
    p->pid = pid;
    p->newest = -1;
    p->next = map->processHeads[ProcessBucket(pid)];
    map->processHeads[ProcessBucket(pid)] = i;
    return p;
}

void DropProcess(ImageMap* map, uint32_t pid) {
    int32_t* link = &map->processHeads[ProcessBucket(pid)];
    while (*link >= 0) {
        const int32_t i = *link;
        ImageProcess& p = map->processes[i];
        if (p.pid == pid) {
            *link = p.next;
            p.pid = 0;
            p.newest = -1;
            p.next = map->processFree;
            map->processFree = i;
            return;
        }
        link = &p.next;
    }
}

// Takes entry i out of its (pid, base) chain and its process's list and frees it; the process's
// record goes with its last entry unless keepProcess (the caller drops it itself).
void DropEntry(ImageMap* map, int32_t i, bool keepProcess) {
    ImageMapEntry& e = map->entries[i];
    for (int32_t* link = &map->heads[EntryBucket(e.pid, e.base)]; *link >= 0;
         link = &map->entries[*link].next) {
        if (*link == i) {
            *link = e.next;
            break;
        }
    }
    if (e.older >= 0) map->entries[e.older].newer = e.newer;
    if (e.newer >= 0) {
        map->entries[e.newer].older = e.older;
    } else if (ImageProcess* p = FindProcess(map, e.pid); p != nullptr) {
        p->newest = e.older;
        if (p->newest < 0 && !keepProcess) DropProcess(map, e.pid);
    }
    e.pid = 0;
    e.newer = -1;
    e.older = -1;
    e.next = map->freeHead;
    map->freeHead = i;
    --map->count;
}

} // namespace

void ResetImageMap(ImageMap* map) {
    for (int32_t& head : map->heads)
        head = -1;
    for (int32_t& head : map->processHeads)
        head = -1;
    map->freeHead = -1;
    map->unused = 0;
    map->count = 0;
    map->processFree = -1;
    map->processUnused = 0;
    map->pathCount = 0;
    map->textUsed = 0;
    std::memset(map->pathSlots, 0, sizeof map->pathSlots);
    std::memset(map->newProcesses, 0, sizeof map->newProcesses);
    map->newProcessNext = 0;
    map->newProcessCount = 0;
}

void NoteProcessImage(TrackingState* ts, uint32_t pid, uint64_t base, uint64_t size,
                      const char16_t* path) {
    if (ts == nullptr || path == nullptr || base == 0 || size == 0) return;
    ImageMap* map = &ts->images;
    const size_t length = TextLength(path);
    LockGuard guard(&map->lock);
    ImageMapEntry* e = FindEntry(map, pid, base);
    // The same image noted again (a rundown after the load, a load seen twice) keeps its path.
    if (e != nullptr && SamePath(map, e->path, path, length)) {
        e->size = size;
        return;
    }
    uint32_t offset = 0;
    if (!InternPath(map, path, length, &offset)) {
        AtomicAdd(map->dropped, 1);
        return;
    }
    if (e == nullptr) {
        const int32_t i = TakeEntry(map);
        ImageProcess* p = i >= 0 ? TakeProcess(map, pid) : nullptr;
        if (p == nullptr) {
            if (i >= 0) {
                map->entries[i].next = map->freeHead;
                map->freeHead = i;
            }
            AtomicAdd(map->dropped, 1);
            return;
        }
        e = &map->entries[i];
        e->pid = pid;
        e->base = base;
        const uint32_t bucket = EntryBucket(pid, base);
        e->next = map->heads[bucket];
        map->heads[bucket] = i;
        // Newest first: a lookup of an address finds the latest image noted there first.
        e->newer = -1;
        e->older = p->newest;
        if (p->newest >= 0) map->entries[p->newest].newer = i;
        p->newest = i;
        ++map->count;
    }
    e->size = size;
    e->path = offset;
}

void ForgetProcessImage(TrackingState* ts, uint32_t pid, uint64_t base) {
    if (ts == nullptr) return;
    ImageMap* map = &ts->images;
    LockGuard guard(&map->lock);
    ImageMapEntry* e = FindEntry(map, pid, base);
    if (e != nullptr) DropEntry(map, static_cast<int32_t>(e - map->entries), false);
}

void ForgetProcessImages(TrackingState* ts, uint32_t pid) {
    if (ts == nullptr) return;
    ImageMap* map = &ts->images;
    LockGuard guard(&map->lock);
    if (ImageProcess* p = FindProcess(map, pid); p != nullptr) {
        while (p->newest >= 0)
            DropEntry(map, p->newest, true);
        DropProcess(map, pid);
    }
    for (uint32_t& slot : map->newProcesses) {
        if (slot == pid) {
            slot = 0;
            AtomicAdd(map->newProcessCount, static_cast<uint32_t>(-1));
        }
    }
}

bool FindImageAt(TrackingState* ts, uint32_t pid, uint64_t address, char16_t* out,
                 size_t capacity, uint64_t* base) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    if (ts == nullptr) return false;
    ImageMap* map = &ts->images;
    LockGuard guard(&map->lock);
    for (int32_t i = NewestOf(map, pid); i >= 0; i = map->entries[i].older) {
        const ImageMapEntry& e = map->entries[i];
        if (address < e.base || address - e.base >= e.size) continue;
        CopyBounded(out, capacity, map->text + e.path);
        if (base != nullptr) *base = e.base;
        return true;
    }
    return false;
}

uint32_t FindThreadImages(TrackingState* ts, uint32_t pid, const char16_t* fileName,
                          char16_t* program, size_t programCapacity, uint64_t address,
                          char16_t* module, size_t moduleCapacity, uint64_t* base) {
    if (program == nullptr || programCapacity == 0 || module == nullptr || moduleCapacity == 0) {
        return 0;
    }
    program[0] = 0;
    module[0] = 0;
    if (ts == nullptr) return 0;
    const bool named = fileName != nullptr && fileName[0] != 0;
    uint32_t found = 0;
    ImageMap* map = &ts->images;
    LockGuard guard(&map->lock);
    for (int32_t i = NewestOf(map, pid); i >= 0 && found != (kFoundProgram | kFoundModule);
         i = map->entries[i].older) {
        const ImageMapEntry& e = map->entries[i];
        const char16_t* path = map->text + e.path;
        if ((found & kFoundModule) == 0 && address != 0 && address >= e.base &&
            address - e.base < e.size) {
            CopyBounded(module, moduleCapacity, path);
            if (base != nullptr) *base = e.base;
            found |= kFoundModule;
        }
        if ((found & kFoundProgram) == 0 && named && EqualsFolded(PathFileName(path), fileName)) {
            CopyBounded(program, programCapacity, path);
            found |= kFoundProgram;
        }
    }
    return found;
}

void NoteNewProcess(TrackingState* ts, uint32_t pid) {
    if (ts == nullptr || pid == 0) return;
    ImageMap* map = &ts->images;
    LockGuard guard(&map->lock);
    uint32_t& slot = map->newProcesses[map->newProcessNext % kNewProcessSlots];
    if (slot == 0) AtomicAdd(map->newProcessCount, 1);
    slot = pid;
    ++map->newProcessNext;
}

bool TakeFirstThread(TrackingState* ts, uint32_t pid) {
    if (ts == nullptr || pid == 0) return false;
    // No mark set: nothing to take (a mark set just now is for a start not yet seen here).
    if (AtomicLoad(ts->images.newProcessCount) == 0) return false;
    LockGuard guard(&ts->images.lock);
    for (uint32_t& slot : ts->images.newProcesses) {
        if (slot == pid) {
            slot = 0;
            AtomicAdd(ts->images.newProcessCount, static_cast<uint32_t>(-1));
            return true;
        }
    }
    return false;
}

} // namespace olv
