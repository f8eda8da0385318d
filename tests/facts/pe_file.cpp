#include "pe_file.h"

namespace olv::test {

bool ReadPeLayout(const PeBytes& pe, PeLayout* layout) {
    *layout = PeLayout{};
    if (pe.U16(0) != 0x5A4D) return false; // "MZ"
    const size_t header = pe.U32(0x3C);
    if (pe.U32(header) != 0x00004550) return false; // "PE\0\0"
    const uint32_t sectionCount = pe.U16(header + 6);
    const uint32_t optionalSize = pe.U16(header + 20);
    const size_t optional = header + 24;
    const uint32_t magic = pe.U16(optional);
    if (magic != 0x10B && magic != 0x20B) return false;
    layout->pe32plus = magic == 0x20B;
    const size_t directories = layout->directories = optional + (layout->pe32plus ? 112 : 96);
    const uint32_t directoryCount = pe.U32(optional + (layout->pe32plus ? 108 : 92));
    for (uint32_t i = 0; i < directoryCount && i < 16; ++i) {
        if (!pe.Fits(directories + size_t{i} * 8, 8)) return false;
        layout->directoryRvas.push_back(pe.U32(directories + size_t{i} * 8));
    }
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const size_t s = optional + optionalSize + size_t{i} * 40;
        if (!pe.Fits(s, 40)) return false;
        const uint32_t virtualSize = pe.U32(s + 8), rawSize = pe.U32(s + 16);
        layout->sections.push_back(
            {pe.U32(s + 12), virtualSize > rawSize ? virtualSize : rawSize, pe.U32(s + 20)});
    }
    return true;
}

bool RvaToOffset(const PeLayout& layout, uint32_t rva, size_t* offset) {
    for (const PeSection& s : layout.sections) {
        if (rva >= s.va && rva - s.va < s.size) {
            *offset = size_t{s.raw} + (rva - s.va);
            return true;
        }
    }
    return false;
}

} // namespace olv::test
