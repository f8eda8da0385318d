#include "import_table.h"

#include <cctype>

#include "pe_file.h"

namespace olv::test {

namespace {

// Bounds on a damaged table's loops; real files stay far below them.
constexpr uint32_t kMaxDescriptors = 4096;
constexpr uint32_t kMaxThunks = 65536;
constexpr size_t kMaxName = 512;

// A terminated ASCII text at an RVA; false when it runs off its section's bytes in the file.
bool ReadName(const PeBytes& pe, const PeLayout& layout, uint32_t rva, std::string* name) {
    size_t at = 0;
    if (!RvaToOffset(layout, rva, &at)) return false;
    name->clear();
    for (; pe.Fits(at, 1) && name->size() < kMaxName; ++at) {
        if (pe.bytes[at] == 0) return !name->empty();
        name->push_back(static_cast<char>(pe.bytes[at]));
    }
    return false;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

bool ReadImports(const std::vector<unsigned char>& file, std::vector<PeImport>* imports) {
    imports->clear();
    const PeBytes pe{file};
    PeLayout layout;
    if (!ReadPeLayout(pe, &layout) || layout.directoryRvas.size() < 2) return false;
    size_t descriptor = 0;
    if (!RvaToOffset(layout, layout.directoryRvas[1], &descriptor)) return false;
    const size_t thunkSize = layout.pe32plus ? 8 : 4;
    const uint64_t ordinalFlag = layout.pe32plus ? uint64_t{1} << 63 : uint64_t{1} << 31;
    // Descriptors of 20 bytes: lookup table, time stamp, forwarder chain, name, address table;
    // the table ends with a descriptor that names no DLL.
    for (uint32_t d = 0;; ++d, descriptor += 20) {
        if (d == kMaxDescriptors || !pe.Fits(descriptor, 20)) return false;
        const uint32_t nameRva = pe.U32(descriptor + 12);
        if (nameRva == 0) break;
        std::string dll;
        if (!ReadName(pe, layout, nameRva, &dll)) return false;
        const uint32_t lookup = pe.U32(descriptor);
        size_t thunk = 0;
        if (!RvaToOffset(layout, lookup != 0 ? lookup : pe.U32(descriptor + 16), &thunk))
            return false;
        for (uint32_t t = 0;; ++t, thunk += thunkSize) {
            if (t == kMaxThunks || !pe.Fits(thunk, thunkSize)) return false;
            const uint64_t value = layout.pe32plus ? pe.U64(thunk) : pe.U32(thunk);
            if (value == 0) break;
            PeImport import{dll, {}, 0};
            if (value & ordinalFlag)
                import.ordinal = static_cast<uint32_t>(value & 0xFFFF);
            else if (value > 0xFFFFFFFFu ||
                     !ReadName(pe, layout, static_cast<uint32_t>(value) + 2, &import.function))
                return false; // the name follows a two-byte hint
            imports->push_back(import);
        }
    }
    return true;
}

bool ImportHashText(const std::vector<PeImport>& imports, std::string* text) {
    text->clear();
    for (const PeImport& import : imports) {
        std::string dll = Lower(import.dll);
        const size_t dot = dll.rfind('.');
        if (dot != std::string::npos) {
            const std::string extension = dll.substr(dot + 1);
            if (extension == "dll" || extension == "ocx" || extension == "sys") dll.resize(dot);
        }
        if (import.function.empty() && (dll == "ws2_32" || dll == "wsock32" || dll == "oleaut32"))
            return false;
        if (!text->empty()) text->push_back(',');
        *text += dll + '.' +
                 (import.function.empty() ? "ord" + std::to_string(import.ordinal)
                                          : Lower(import.function));
    }
    return true;
}

} // namespace olv::test
