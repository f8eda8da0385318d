#include "facts/image_facts.h"

#include <cstring>

#include "facts/yara_reader.h"
#include "platform/files.h"
#include "platform/memory.h"

namespace olv {

const char* ImageFactsStatusName(ImageFactsStatus status) {
    switch (status) {
    case ImageFactsStatus::Read: return "read";
    case ImageFactsStatus::Empty: return "empty file";
    case ImageFactsStatus::CannotOpen: return "cannot be opened";
    case ImageFactsStatus::TooLarge: return "too large";
    case ImageFactsStatus::ReadFailed: return "read failed";
    case ImageFactsStatus::NoMemory: return "no memory";
    case ImageFactsStatus::NoReader: return "no reader";
    case ImageFactsStatus::ScanFailed: return "scan failed";
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
    if (facts->digestsKnown) {
        size_t used = 0;
        bool fits = AppendHash(facts->hashes, sizeof facts->hashes, &used, "SHA1", facts->sha1) &&
                    AppendHash(facts->hashes, sizeof facts->hashes, &used, "MD5", facts->md5) &&
                    AppendHash(facts->hashes, sizeof facts->hashes, &used, "SHA256", facts->sha256);
        if (fits && facts->imphashKnown)
            fits = AppendHash(facts->hashes, sizeof facts->hashes, &used, "IMPHASH", facts->imphash);
        facts->hashesKnown = fits;
        if (!fits) facts->hashes[0] = '\0';
    }
    facts->status = ImageFactsStatus::Read;
    return true;
}

bool ReadImageFacts(const char16_t* path, ImageFacts* facts, uint64_t sizeLimit) {
    std::memset(facts, 0, sizeof *facts);
    uint32_t error = 0;
    FileHandle file = OpenFileForReading(path, &error);
    if (!file) {
        facts->status = ImageFactsStatus::CannotOpen;
        facts->systemError = error;
        return false;
    }
    int64_t size = 0;
    if (!FileSize(file, &size) || size < 0) {
        CloseFile(file);
        facts->status = ImageFactsStatus::ReadFailed;
        return false;
    }
    const uint64_t bytes = static_cast<uint64_t>(size);
    if (bytes > sizeLimit || bytes > SIZE_MAX) {
        CloseFile(file);
        facts->status = ImageFactsStatus::TooLarge;
        facts->size = bytes;
        return false;
    }
    if (bytes == 0) {
        CloseFile(file);
        facts->status = ImageFactsStatus::Empty;
        return false;
    }
    // One byte more than the size, so a file that grew while it was read is seen.
    auto* buffer = static_cast<uint8_t*>(AllocZeroed(static_cast<size_t>(bytes) + 1));
    if (!buffer) {
        CloseFile(file);
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
        if (!ReadFileBytes(file, buffer + total, ask, &got) || got > ask) ok = false;
        else if (got == 0) break;
        else total += got;
    }
    CloseFile(file);
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

} // namespace olv
