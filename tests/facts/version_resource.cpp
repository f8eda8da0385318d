#include "version_resource.h"

#include <cstdint>

#include "pe_file.h"

namespace olv::test {

namespace {

using Pe = PeBytes;

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
    PeLayout layout;
    if (!ReadPeLayout(pe, &layout) || layout.directoryRvas.size() < 3) return false;
    const uint32_t resourceRva = layout.directoryRvas[2];
    size_t root = 0;
    if (resourceRva == 0 || !RvaToOffset(layout, resourceRva, &root)) return false;
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
                if (RvaToOffset(layout, pe.U32(entry), &data) && pe.Fits(data, pe.U32(entry + 4)))
                    ReadVersionInfo(pe, data, pe.U32(entry + 4), strings);
            });
        });
    });
    return !strings->empty();
}

} // namespace olv::test
