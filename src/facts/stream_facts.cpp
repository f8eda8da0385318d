#include "facts/stream_facts.h"

#include <cstring>

#include "platform/files.h"

namespace olv {

namespace {

bool IsTextUnit(uint32_t c) {
    return c >= 0x20 ? c != 0x7F : (c == u'\t' || c == u'\r' || c == u'\n');
}

bool Utf16Text(const uint8_t* bytes, size_t size, char16_t* out) {
    if (size % 2 != 0) return false;
    size_t n = 0;
    for (size_t i = 0; i < size; i += 2) {
        const uint32_t c = bytes[i] | (uint32_t{bytes[i + 1]} << 8);
        if (!IsTextUnit(c)) return false;
        out[n++] = static_cast<char16_t>(c);
    }
    out[n] = 0;
    return true;
}

// Strict UTF-8: no overlong form, no surrogate, nothing past the planes a unit can hold in two.
bool Utf8Text(const uint8_t* bytes, size_t size, char16_t* out) {
    size_t n = 0;
    size_t i = 0;
    while (i < size) {
        const uint32_t lead = bytes[i];
        uint32_t c = lead;
        size_t more = 0;
        uint32_t least = 0;
        if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            c = lead & 0x07;
            least = 0x10000;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            c = lead & 0x0F;
            least = 0x800;
        } else if (lead >= 0xC2 && lead < 0xE0) {
            more = 1;
            c = lead & 0x1F;
            least = 0x80;
        } else if (lead >= 0x80) {
            return false;
        }
        if (i + more >= size && more > 0) return false; // cut short
        for (size_t k = 1; k <= more; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
            c = (c << 6) | (bytes[i + k] & 0x3F);
        }
        if (c < least || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
        i += more + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 + (c >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
            continue;
        }
        if (!IsTextUnit(c)) return false;
        out[n++] = static_cast<char16_t>(c);
    }
    out[n] = 0;
    return true;
}

} // namespace

bool StreamTextOfBytes(const uint8_t* bytes, size_t size, char16_t* out) {
    out[0] = 0;
    if (size > kStreamTextBytes || (size > 0 && bytes == nullptr)) return false;
    bool text = false;
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        text = Utf16Text(bytes + 2, size - 2, out);
    } else if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        text = Utf8Text(bytes + 3, size - 3, out);
    } else {
        text = Utf8Text(bytes, size, out);
    }
    if (!text) out[0] = 0;
    return text;
}

bool ReadStreamFacts(const char16_t* path, ImageFacts* scratch, StreamFacts* facts) {
    std::memset(facts, 0, sizeof *facts);
    ReadImageFacts(path, scratch);
    bool sizeKnown = true;
    switch (scratch->status) {
    case ImageFactsStatus::Read:
        if (scratch->hashesKnown) {
            facts->hashKnown = true;
            std::memcpy(facts->hash, scratch->hashes, sizeof facts->hash);
        }
        break;
    case ImageFactsStatus::Empty:
    case ImageFactsStatus::TooLarge:
        break;
    case ImageFactsStatus::CannotOpen:
    case ImageFactsStatus::ReadFailed:
        return false; // not opened or not read: nothing of it is known
    case ImageFactsStatus::NoMemory:
    case ImageFactsStatus::NoReader:
    case ImageFactsStatus::ScanFailed:
        // No digests, but the text of a short stream is read all the same.
        sizeKnown = false;
        break;
    }
    facts->read = true;
    if (sizeKnown && scratch->size > kStreamTextBytes) return true;
    uint32_t error = 0;
    FileHandle file = OpenFileForReading(path, &error);
    // Without the image reader the open here is the first: a stream it cannot open is unread.
    if (file == nullptr) return sizeKnown;
    uint8_t bytes[kStreamTextBytes + 1];
    uint32_t got = 0;
    // One byte more than a short stream holds: a stream that grew since is not cut.
    const bool ok = ReadFileBytes(file, bytes, sizeof bytes, &got);
    CloseFile(file);
    if (ok && got <= kStreamTextBytes) {
        facts->contentsKnown = StreamTextOfBytes(bytes, got, facts->contents);
    }
    return true;
}

} // namespace olv
