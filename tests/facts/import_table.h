// The test suite's own small reading of a PE file's import directory, to check the import hash
// read through libyara against: each descriptor's DLL name and its thunks (the lookup table, or
// the address table when there is none), by name or by ordinal, in file order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace olv::test {

struct PeImport {
    std::string dll;
    std::string function; // empty when imported by ordinal
    uint32_t ordinal;
};

// False when the bytes are not a PE file whose import directory lies whole inside them.
bool ReadImports(const std::vector<unsigned char>& file, std::vector<PeImport>* imports);

// The text the import hash is the MD5 of: "dll.function" lower-cased, joined by commas, the
// DLL's name without a .dll, .ocx or .sys extension, an ordinal import as "ord<N>". False when an
// import is by ordinal from a DLL whose ordinals the convention names by table (ws2_32, wsock32,
// oleaut32): this reader carries no such table.
bool ImportHashText(const std::vector<PeImport>& imports, std::string* text);

} // namespace olv::test
