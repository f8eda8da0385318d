// The facts of an image file that rules ask about: the texts of its version resource and its
// digests. They are read through libyara (its pe and hash modules), which is built to read
// hostile files; this folder never parses a PE file itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/lock.h"
#include "platform/lru.h"

namespace olv {

// Files above this size are not read unless the caller gives a larger limit.
constexpr uint64_t kDefaultImageFactsSizeLimit = uint64_t{256} << 20;

// A text of the version resource, UTF-8, terminated; longer texts are cut at a character
// boundary and marked.
constexpr size_t kFactTextCapacity = 256;
struct FactText {
    bool known;
    bool truncated;
    char text[kFactTextCapacity];
};

// "SHA1=<40>,MD5=<32>,SHA256=<64>,IMPHASH=<32>" with its terminator fits.
constexpr size_t kHashesCapacity = 208;

enum class ImageFactsStatus : uint8_t {
    Read,       // read: digests known; the version texts are known where the file has them
    Empty,      // the file has no bytes: nothing to know
    CannotOpen, // opening failed (missing, locked, denied): systemError says why
    TooLarge,   // larger than the limit: not read
    ReadFailed, // opened, but reading failed or the file changed size while it was read
    NoMemory,   // no buffer for the file's bytes
    NoReader,   // libyara could not be started, or this build has none
    ScanFailed, // libyara failed on the file (out of memory, timeout): systemError holds its code
};

const char* ImageFactsStatusName(ImageFactsStatus status);

struct ImageFacts {
    ImageFactsStatus status;
    uint32_t systemError; // CannotOpen: the system's error; ScanFailed: libyara's error code
    uint64_t size;        // known from Read, Empty and TooLarge on

    // Known when status is Read.
    bool isPe;
    bool digestsKnown;
    char sha1[41]; // upper-case hex, terminated
    char md5[33];
    char sha256[65];
    // The import hash of a PE file (libyara's pe.imphash()): unknown for other files.
    bool imphashKnown;
    char imphash[33];
    // As rules expect it: "SHA1=...,MD5=...,SHA256=...,IMPHASH=..." (IMPHASH only when known);
    // empty and unknown without digests.
    bool hashesKnown;
    char hashes[kHashesCapacity];

    // The version resource (first language's string table, as libyara reads it).
    FactText originalFileName; // OriginalFilename
    FactText description;      // FileDescription
    FactText product;          // ProductName
    FactText company;          // CompanyName
    FactText fileVersion;      // FileVersion
};

// Reads the facts of the file at path (terminated UTF-16) into *facts, which it clears first.
// Files of more than sizeLimit bytes are not opened for reading: TooLarge. True when
// facts->status is Read. Safe to call from several threads at once.
bool ReadImageFacts(const char16_t* path, ImageFacts* facts,
                    uint64_t sizeLimit = kDefaultImageFactsSizeLimit);

// Facts kept by path, size and last-write time, so each version of a file is read once. Only
// facts that belong to the file's version are kept (Read, Empty, TooLarge); a failure to open or
// read is asked again the next time. Paths are compared as they are (no case folding: another
// spelling of a path costs one more read). When full, the entry used longest ago makes room.
struct ImageFactsCacheEntry;
struct ImageFactsCache {
    Lock lock;
    Lru<ImageFactsCacheEntry> entries;
    uint64_t hits;
    uint64_t reads;
};
constexpr uint32_t kDefaultImageFactsCacheEntries = 1024;

// False when the entries cannot be allocated (the cache is then unusable).
bool InitImageFactsCache(ImageFactsCache* cache,
                         uint32_t capacity = kDefaultImageFactsCacheEntries);
void ReleaseImageFactsCache(ImageFactsCache* cache); // safe on one never initialised
// As ReadImageFacts, through the cache; cache may be null. *fromCache (when not null) tells
// whether the facts were kept ones.
bool ReadImageFactsCached(ImageFactsCache* cache, const char16_t* path, ImageFacts* facts,
                          uint64_t sizeLimit = kDefaultImageFactsSizeLimit,
                          bool* fromCache = nullptr);

// Writes facts->hashes from the digests (and the import hash when known), as rules expect it;
// unknown without digests.
void ComposeImageHashes(ImageFacts* facts);

// The same for bytes in memory (what ReadImageFacts does once the file is read).
bool ReadImageFactsFromBytes(const uint8_t* bytes, size_t size, ImageFacts* facts);

} // namespace olv
