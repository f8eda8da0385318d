#include "facts/image_facts.h"

#include <cstring>

#include "facts/yara_reader.h"
#include "platform/files.h"
#include "platform/hash_table.h"
#include "platform/memory.h"

namespace olv {

const char* ImageFactsStatusName(ImageFactsStatus status) {
    switch (status) {
    case ImageFactsStatus::Read:
        return "read";
    case ImageFactsStatus::Empty:
        return "empty file";
    case ImageFactsStatus::CannotOpen:
        return "cannot be opened";
    case ImageFactsStatus::TooLarge:
        return "too large";
    case ImageFactsStatus::ReadFailed:
        return "read failed";
    case ImageFactsStatus::NoMemory:
        return "no memory";
    case ImageFactsStatus::NoReader:
        return "no reader";
    case ImageFactsStatus::ScanFailed:
        return "scan failed";
    }
    return "?";
}

namespace {

// Appends "NAME=value" (and a comma before it unless first) to out; false when it does not fit.
bool AppendHash(char* out, size_t capacity, size_t* used, const char* name, const char* value) {
    const size_t nameLength = std::strlen(name);
    const size_t valueLength = std::strlen(value);
    const size_t need = (*used ? 1 : 0) + nameLength + 1 + valueLength;
    if (*used + need + 1 > capacity) return false;
    char* at = out + *used;
    if (*used) *at++ = ',';
    std::memcpy(at, name, nameLength);
    at += nameLength;
    *at++ = '=';
    std::memcpy(at, value, valueLength);
    at += valueLength;
    *at = '\0';
    *used += need;
    return true;
}

} // namespace

bool ReadImageFactsFromBytes(const uint8_t* bytes, size_t size, ImageFacts* facts) {
    std::memset(facts, 0, sizeof *facts);
    facts->size = size;
    if (size == 0) {
        facts->status = ImageFactsStatus::Empty;
        return false;
    }
    if (!YaraReadFacts(bytes, size, facts)) return false;
    ComposeImageHashes(facts);
    facts->status = ImageFactsStatus::Read;
    return true;
}

void ComposeImageHashes(ImageFacts* facts) {
    facts->hashesKnown = false;
    facts->hashes[0] = '\0';
    if (!facts->digestsKnown) return;
    size_t used = 0;
    bool fits = AppendHash(facts->hashes, sizeof facts->hashes, &used, "SHA1", facts->sha1) &&
                AppendHash(facts->hashes, sizeof facts->hashes, &used, "MD5", facts->md5) &&
                AppendHash(facts->hashes, sizeof facts->hashes, &used, "SHA256", facts->sha256);
    if (fits && facts->imphashKnown)
        fits = AppendHash(facts->hashes, sizeof facts->hashes, &used, "IMPHASH", facts->imphash);
    facts->hashesKnown = fits;
    if (!fits) facts->hashes[0] = '\0';
}

namespace {

// Reads the open file's bytes (bytes of them, 0 < bytes <= SIZE_MAX) and its facts.
bool ReadOpenFile(FileHandle file, uint64_t bytes, ImageFacts* facts) {
    // One byte more than the size, so a file that grew while it was read is seen.
    auto* buffer = static_cast<uint8_t*>(AllocZeroed(static_cast<size_t>(bytes) + 1));
    if (!buffer) {
        facts->status = ImageFactsStatus::NoMemory;
        facts->size = bytes;
        return false;
    }
    uint64_t total = 0;
    bool ok = true;
    constexpr uint32_t kChunk = uint32_t{1} << 24;
    while (ok && total <= bytes) {
        const uint64_t left = bytes + 1 - total;
        const uint32_t ask = left < kChunk ? static_cast<uint32_t>(left) : kChunk;
        uint32_t got = 0;
        if (!ReadFileBytes(file, buffer + total, ask, &got) || got > ask)
            ok = false;
        else if (got == 0)
            break;
        else
            total += got;
    }
    if (!ok || total != bytes) {
        FreeBlock(buffer);
        facts->status = ImageFactsStatus::ReadFailed;
        facts->size = bytes;
        return false;
    }
    const bool read = ReadImageFactsFromBytes(buffer, static_cast<size_t>(bytes), facts);
    FreeBlock(buffer);
    return read;
}

struct Version {
    int64_t size;
    int64_t lastWrite;
};

bool FileVersion(FileHandle file, Version* version) {
    return FileSize(file, &version->size) && version->size >= 0 &&
           FileLastWriteTime(file, &version->lastWrite);
}

size_t PathLength(const char16_t* path) {
    size_t n = 0;
    while (path[n])
        ++n;
    return n;
}

} // namespace

struct ImageFactsCacheEntry {
    char16_t* path; // the cache's own copy
    size_t pathLength;
    Version version;
    ImageFacts facts;
};

bool InitImageFactsCache(ImageFactsCache* cache, uint32_t capacity) {
    std::memset(cache, 0, sizeof *cache);
    if (!LruInit(&cache->entries, capacity)) return false;
    InitLock(&cache->lock);
    return true;
}

void ReleaseImageFactsCache(ImageFactsCache* cache) {
    if (cache->entries.capacity == 0) return;
    LruFree(&cache->entries, [](ImageFactsCacheEntry& e) { FreeBlock(e.path); });
    DeleteLock(&cache->lock);
    std::memset(cache, 0, sizeof *cache);
}

namespace {

uint64_t PathHash(const char16_t* path, size_t length) {
    return HashText16(path, length);
}

ImageFactsCacheEntry* FindEntry(ImageFactsCache* cache, const char16_t* path, size_t length,
                                uint64_t hash) {
    return LruFind(&cache->entries, hash, [path, length](const ImageFactsCacheEntry& e) {
        return e.pathLength == length && std::memcmp(e.path, path, length * sizeof *path) == 0;
    });
}

bool Lookup(ImageFactsCache* cache, const char16_t* path, size_t length, const Version& version,
            uint64_t sizeLimit, ImageFacts* facts) {
    const uint64_t hash = PathHash(path, length);
    LockGuard guard(&cache->lock);
    ImageFactsCacheEntry* e = FindEntry(cache, path, length, hash);
    if (!e || e->version.size != version.size || e->version.lastWrite != version.lastWrite)
        return false;
    // "Too large" holds only for the limit it was found under: a caller with a larger limit
    // (the background hashing of large files) reads the file and replaces it.
    if (e->facts.status == ImageFactsStatus::TooLarge && e->facts.size <= sizeLimit) return false;
    LruTouch(&cache->entries, e);
    ++cache->hits;
    std::memcpy(facts, &e->facts, sizeof *facts);
    return true;
}

void Store(ImageFactsCache* cache, const char16_t* path, size_t length, const Version& version,
           const ImageFacts& facts) {
    const uint64_t hash = PathHash(path, length);
    LockGuard guard(&cache->lock);
    ImageFactsCacheEntry* e = FindEntry(cache, path, length, hash);
    if (e) {
        LruTouch(&cache->entries, e);
    } else {
        auto* copy = static_cast<char16_t*>(AllocZeroed((length + 1) * sizeof *path));
        if (!copy) return; // not kept: read again next time
        std::memcpy(copy, path, length * sizeof *path);
        bool evicted = false;
        e = LruInsert(&cache->entries, hash, &evicted);
        if (!e) {
            FreeBlock(copy);
            return;
        }
        if (evicted) FreeBlock(e->path);
        e->path = copy;
        e->pathLength = length;
    }
    e->version = version;
    std::memcpy(&e->facts, &facts, sizeof facts);
}

} // namespace

bool ReadImageFactsCached(ImageFactsCache* cache, const char16_t* path, ImageFacts* facts,
                          uint64_t sizeLimit, bool* fromCache) {
    std::memset(facts, 0, sizeof *facts);
    if (fromCache) *fromCache = false;
    uint32_t error = 0;
    FileHandle file = OpenFileForReading(path, &error);
    if (!file) {
        facts->status = ImageFactsStatus::CannotOpen;
        facts->systemError = error;
        return false;
    }
    Version version{};
    if (!FileVersion(file, &version)) {
        CloseFile(file);
        facts->status = ImageFactsStatus::ReadFailed;
        return false;
    }
    const size_t length = PathLength(path);
    if (cache && Lookup(cache, path, length, version, sizeLimit, facts)) {
        CloseFile(file);
        if (fromCache) *fromCache = true;
        return facts->status == ImageFactsStatus::Read;
    }
    const auto bytes = static_cast<uint64_t>(version.size);
    if (bytes > sizeLimit || bytes > SIZE_MAX) {
        facts->status = ImageFactsStatus::TooLarge;
        facts->size = bytes;
    } else if (bytes == 0) {
        facts->status = ImageFactsStatus::Empty;
    } else {
        ReadOpenFile(file, bytes, facts);
    }
    // Kept only when the facts belong to one version: a file written while it was read is not.
    Version after{};
    const bool sameVersion = FileVersion(file, &after) && after.size == version.size &&
                             after.lastWrite == version.lastWrite;
    CloseFile(file);
    if (cache) {
        LockGuard guard(&cache->lock);
        ++cache->reads;
    }
    const bool versioned = facts->status == ImageFactsStatus::Read ||
                           facts->status == ImageFactsStatus::Empty ||
                           facts->status == ImageFactsStatus::TooLarge;
    if (cache && versioned && sameVersion) Store(cache, path, length, version, *facts);
    return facts->status == ImageFactsStatus::Read;
}

bool ReadImageFacts(const char16_t* path, ImageFacts* facts, uint64_t sizeLimit) {
    return ReadImageFactsCached(nullptr, path, facts, sizeLimit, nullptr);
}

} // namespace olv
