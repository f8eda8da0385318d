// The headers of a PE file as the suite's own readers (version resource, import table) need
// them: every read bounded by the file's size, so damaged and cut files read as "not there".
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace olv::test {

struct PeBytes {
    const std::vector<unsigned char>& bytes;
    bool Fits(size_t at, size_t length) const {
        return at <= bytes.size() && length <= bytes.size() - at;
    }
    uint32_t U16(size_t at) const { return Fits(at, 2) ? bytes[at] | bytes[at + 1] << 8 : 0; }
    uint32_t U32(size_t at) const { return Fits(at, 4) ? U16(at) | U16(at + 2) << 16 : 0; }
    uint64_t U64(size_t at) const {
        return Fits(at, 8) ? U32(at) | uint64_t{U32(at + 4)} << 32 : 0;
    }
};

struct PeSection {
    uint32_t va, size, raw;
};

struct PeLayout {
    bool pe32plus = false;  // 64-bit thunks
    size_t directories = 0; // file offset of the data directory
    std::vector<uint32_t> directoryRvas;
    std::vector<PeSection> sections;
};

// False when the bytes are not a PE file whose headers fit in them.
bool ReadPeLayout(const PeBytes& pe, PeLayout* layout);

// The file offset of an RVA inside a section; false when no section holds it.
bool RvaToOffset(const PeLayout& layout, uint32_t rva, size_t* offset);

} // namespace olv::test
