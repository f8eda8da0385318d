// The ImageMap: every process's images by process id, their paths kept once each.
#include <cstring>

#include "base/atomic.h"
#include "base/text.h"
#include "tracking/tracking_internal.h"
#include "tracking/tracking_state.h"

namespace olv {

namespace {

static_assert((kImageMapBuckets & (kImageMapBuckets - 1)) == 0);
static_assert((kImagePathSlots & (kImagePathSlots - 1)) == 0);
static_assert(kImagePathUnits < 0xFFFFFFFFu);

uint32_t Bucket(uint32_t pid) {
    // Process ids are multiples of four.
    return (pid >> 2) & (kImageMapBuckets - 1);
}

uint32_t PathHash(const char16_t* path, size_t length) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < length; ++i) {
        h ^= path[i];
        h *= 16777619u;
    }
    return h;
}

// The path's offset in the arena, added when new; false when it cannot be kept. Paths stay until
// the recording ends: the same few hundred images load into every process.
bool InternPath(ImageMap* map, const char16_t* path, uint32_t* offset) {
    const size_t length = TextLength(path);
    uint32_t slot = PathHash(path, length) & (kImagePathSlots - 1);
    for (int probes = 0; probes < kImagePathSlots; ++probes) {
        const uint32_t kept = map->pathSlots[slot];
        if (kept == 0) break;
        const char16_t* text = map->text + (kept - 1);
        if (std::memcmp(text, path, length * sizeof(char16_t)) == 0 && text[length] == 0) {
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
    for (int32_t i = map->heads[Bucket(pid)]; i >= 0; i = map->entries[i].next) {
        ImageMapEntry& e = map->entries[i];
        if (e.pid == pid && e.base == base) return &e;
    }
    return nullptr;
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

// Unlinks every entry of the chain of pid for which drop is true.
template <typename Drop> void Unlink(ImageMap* map, uint32_t pid, Drop drop) {
    int32_t* link = &map->heads[Bucket(pid)];
    while (*link >= 0) {
        const int32_t i = *link;
        ImageMapEntry& e = map->entries[i];
        if (e.pid == pid && drop(e)) {
            *link = e.next;
            e.next = map->freeHead;
            e.pid = 0;
            map->freeHead = i;
            --map->count;
        } else {
            link = &e.next;
        }
    }
}

} // namespace

void ResetImageMap(ImageMap* map) {
    for (int32_t& head : map->heads)
        head = -1;
    map->freeHead = -1;
    map->unused = 0;
    map->count = 0;
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
    LockGuard guard(&map->lock);
    uint32_t offset = 0;
    if (!InternPath(map, path, &offset)) {
        AtomicAdd(map->dropped, 1);
        return;
    }
    ImageMapEntry* e = FindEntry(map, pid, base);
    if (e == nullptr) {
        const int32_t i = TakeEntry(map);
        if (i < 0) {
            AtomicAdd(map->dropped, 1);
            return;
        }
        e = &map->entries[i];
        e->pid = pid;
        e->base = base;
        e->next = map->heads[Bucket(pid)];
        map->heads[Bucket(pid)] = i;
        ++map->count;
    }
    e->size = size;
    e->path = offset;
}

void ForgetProcessImage(TrackingState* ts, uint32_t pid, uint64_t base) {
    if (ts == nullptr) return;
    LockGuard guard(&ts->images.lock);
    Unlink(&ts->images, pid, [base](const ImageMapEntry& e) { return e.base == base; });
}

void ForgetProcessImages(TrackingState* ts, uint32_t pid) {
    if (ts == nullptr) return;
    ImageMap* map = &ts->images;
    LockGuard guard(&map->lock);
    Unlink(map, pid, [](const ImageMapEntry&) { return true; });
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
    for (int32_t i = map->heads[Bucket(pid)]; i >= 0; i = map->entries[i].next) {
        const ImageMapEntry& e = map->entries[i];
        if (e.pid != pid || address < e.base || address - e.base >= e.size) continue;
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
    for (int32_t i = map->heads[Bucket(pid)]; i >= 0 && found != (kFoundProgram | kFoundModule);
         i = map->entries[i].next) {
        const ImageMapEntry& e = map->entries[i];
        if (e.pid != pid) continue;
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
