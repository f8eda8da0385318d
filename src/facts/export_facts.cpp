#include "facts/export_facts.h"

#include <cstring>

#include "platform/files.h"
#include "platform/memory.h"

namespace olv {

bool ReadExportAt(const char16_t* path, uint32_t rva, ExportFacts* facts) {
    std::memset(facts, 0, sizeof *facts);
    uint32_t error = 0;
    FileHandle file = OpenFileForReading(path, &error);
    if (file == nullptr) {
        facts->status = kExportCannotOpen;
        return false;
    }
    int64_t size = 0;
    if (!FileSize(file, &size) || size <= 0) {
        CloseFile(file);
        facts->status = kExportReadFailed;
        return false;
    }
    if (static_cast<uint64_t>(size) > kExportFileLimit) {
        CloseFile(file);
        facts->status = kExportTooLarge;
        return false;
    }
    const auto bytes = static_cast<uint32_t>(size);
    auto* buffer = static_cast<uint8_t*>(AllocZeroed(size_t{bytes}));
    if (buffer == nullptr) {
        CloseFile(file);
        facts->status = kExportNoMemory;
        return false;
    }
    uint32_t total = 0;
    bool ok = true;
    while (ok && total < bytes) {
        uint32_t got = 0;
        ok = ReadFileBytes(file, buffer + total, bytes - total, &got) && got > 0 &&
             got <= bytes - total;
        if (ok) total += got;
    }
    CloseFile(file);
    const bool read = ok && ExportAtFromBytes(buffer, bytes, rva, facts);
    if (!ok) facts->status = kExportReadFailed;
    FreeBlock(buffer);
    return read;
}

} // namespace olv
