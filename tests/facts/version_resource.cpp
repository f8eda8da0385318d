#include "version_resource.h"

#include <cstdint>

namespace olv::test {

namespace {

struct Pe {
    const std::vector<unsigned char>& bytes;
    bool Fits(size_t at, size_t length) const {
        return at <= bytes.size() && length <= bytes.size() - at;
    }
    uint32_t U16(size_t at) const { return Fits(at, 2) ? bytes[at] | bytes[at + 1] << 8 : 0; }
    uint32_t U32(size_t at) const { return Fits(at, 4) ? U16(at) | U16(at + 2) << 16 : 0; }
};

struct Section {
    uint32_t va, size, raw;
};

bool RvaToOffset(const std::vector<Section>& sections, uint32_t rva, size_t* offset) {
    for (const Section& s : sections) {
        if (rva >= s.va && rva - s.va < s.size) {
            *offset = size_t{s.raw} + (rva - s.va);
            return true;
        }
    }
    return false;
}

size_t Align4(size_t from, size_t at) {
    return from + ((at - from + 3) & ~size_t{3});
}

// A version block: {wLength, wValueLength, wType, szKey, padding, value, padding, children}.
struct Block {
    size_t end, value, children;
    uint32_t valueLength;
    std::u16string key;
};

bool ReadBlock(const Pe& pe, size_t base, size_t at, size_t limit, Block* block) {
    const uint32_t length = pe.U16(at);
    if (length < 6 || at + length > limit || !pe.Fits(at, length)) return false;
    block->end = at + length;
    block->valueLength = pe.U16(at + 2);
    block->key.clear();
    size_t p = at + 6;
    for (; p + 1 < block->end && pe.U16(p) != 0; p += 2)
        block->key.push_back(static_cast<char16_t>(pe.U16(p)));
    block->value = Align4(base, p + 2);
    const size_t valueBytes =
        pe.U16(at + 4) == 1 ? size_t{block->valueLength} * 2 : block->valueLength;
    block->children = Align4(base, block->value + valueBytes);
    return true;
}

void ReadVersionInfo(const Pe& pe, size_t at, size_t size,
                     std::map<std::u16string, std::u16string>* strings) {
    Block root;
    if (!ReadBlock(pe, at, at, at + size, &root) || root.key != u"VS_VERSION_INFO") return;
    for (size_t c = root.children; c < root.end;) {
        Block info;
        if (!ReadBlock(pe, at, c, root.end, &info)) break;
        if (info.key == u"StringFileInfo") {
            for (size_t t = info.children; t < info.end;) {
                Block table;
                if (!ReadBlock(pe, at, t, info.end, &table)) break;
                for (size_t s = table.children; s < table.end;) {
                    Block string;
                    if (!ReadBlock(pe, at, s, table.end, &string)) break;
                    if (string.valueLength > 0) {
                        std::u16string value;
                        for (size_t v = string.value; v + 1 < string.end && pe.U16(v) != 0; v += 2)
                            value.push_back(static_cast<char16_t>(pe.U16(v)));
                        (*strings)[string.key] = value;
                    }
                    s = Align4(at, string.end);
                }
                t = Align4(at, table.end);
            }
        }
        c = Align4(at, info.end);
    }
}

} // namespace

bool ReadVersionStrings(const std::vector<unsigned char>& file,
                        std::map<std::u16string, std::u16string>* strings) {
    strings->clear();
    const Pe pe{file};
    if (pe.U16(0) != 0x5A4D) return false; // "MZ"
    const size_t header = pe.U32(0x3C);
    if (pe.U32(header) != 0x00004550) return false; // "PE\0\0"
    const uint32_t sectionCount = pe.U16(header + 6);
    const uint32_t optionalSize = pe.U16(header + 20);
    const size_t optional = header + 24;
    const uint32_t magic = pe.U16(optional);
    if (magic != 0x10B && magic != 0x20B) return false;
    const size_t directories = optional + (magic == 0x20B ? 112 : 96);
    const uint32_t directoryCount = pe.U32(optional + (magic == 0x20B ? 108 : 92));
    if (directoryCount < 3) return false;
    const uint32_t resourceRva = pe.U32(directories + 2 * 8);
    std::vector<Section> sections;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const size_t s = optional + optionalSize + size_t{i} * 40;
        if (!pe.Fits(s, 40)) return false;
        const uint32_t virtualSize = pe.U32(s + 8), rawSize = pe.U32(s + 16);
        sections.push_back(
            {pe.U32(s + 12), virtualSize > rawSize ? virtualSize : rawSize, pe.U32(s + 20)});
    }
    size_t root = 0;
    if (resourceRva == 0 || !RvaToOffset(sections, resourceRva, &root)) return false;
    // Three levels: type, name, language; entries of 8 bytes after a 16-byte directory header.
    auto entries = [&](size_t directory, auto&& visit) {
        const uint32_t count = pe.U16(directory + 12) + pe.U16(directory + 14);
        for (uint32_t e = 0; e < count && e < 4096; ++e)
            visit(pe.U32(directory + 16 + size_t{e} * 8), pe.U32(directory + 20 + size_t{e} * 8));
    };
    entries(root, [&](uint32_t type, uint32_t typeData) {
        if (type != 16 || !(typeData & 0x80000000u)) return; // RT_VERSION, a directory
        entries(root + (typeData & 0x7FFFFFFFu), [&](uint32_t, uint32_t nameData) {
            if (!(nameData & 0x80000000u)) return;
            entries(root + (nameData & 0x7FFFFFFFu), [&](uint32_t, uint32_t languageData) {
                if (languageData & 0x80000000u) return;
                const size_t entry = root + languageData;
                size_t data = 0;
                if (RvaToOffset(sections, pe.U32(entry), &data) && pe.Fits(data, pe.U32(entry + 4)))
                    ReadVersionInfo(pe, data, pe.U32(entry + 4), strings);
            });
        });
    });
    return !strings->empty();
}

} // namespace olv::test
