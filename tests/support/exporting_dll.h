// A small DLL image whose export table the PE reader can read.
#pragma once

#include <vector>

namespace olv::test {

// A 64-bit DLL of one section (RVA 0x1000, file offset 0x200) whose export table names two of
// its three functions: LoadLibraryW at 0x1100, GetProcAddress at 0x1180, and one by ordinal only
// at 0x11c0.
std::vector<unsigned char> ExportingDll();

} // namespace olv::test
