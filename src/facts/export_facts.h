// The function a module exports at an offset: what a thread started in another process runs when
// it starts at a library's entry (LoadLibraryW is the usual one). Read from the module's file and
// its export table through libyara's PE module; a build without libyara knows no function.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

// Modules larger than this are not read: no library a thread starts in comes near it.
constexpr uint64_t kExportFileLimit = uint64_t{64} << 20;
constexpr size_t kExportNameChars = 256;

enum ExportStatus : uint8_t {
    kExportRead,       // read: known says whether the file is a PE file whose exports were read
    kExportCannotOpen, // deleted, locked or denied
    kExportReadFailed,
    kExportTooLarge,   // above kExportFileLimit
    kExportNoMemory,
    kExportNoReader,   // this build has no PE reader
};

struct ExportFacts {
    ExportStatus status;
    bool known;                   // the export table was read: name is the function, or empty
    char name[kExportNameChars];  // UTF-8 as the table holds it, cut at a character boundary
};

// The exported function at rva (an offset from the module's base) among size bytes of a module's
// file. False (facts->status NoReader, or ReadFailed when the reader fails on the bytes) when not
// read.
bool ExportAtFromBytes(const uint8_t* bytes, size_t size, uint32_t rva, ExportFacts* facts);

// The same for the file at path (terminated UTF-16).
bool ReadExportAt(const char16_t* path, uint32_t rva, ExportFacts* facts);

} // namespace olv
