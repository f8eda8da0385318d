#include "support/exporting_dll.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace olv::test {

std::vector<unsigned char> ExportingDll() {
    std::vector<unsigned char> b(0x600, 0);
    auto put16 = [&](size_t at, uint32_t v) {
        b[at] = static_cast<unsigned char>(v);
        b[at + 1] = static_cast<unsigned char>(v >> 8);
    };
    auto put32 = [&](size_t at, uint32_t v) {
        put16(at, v & 0xFFFF);
        put16(at + 2, v >> 16);
    };
    auto text = [&](size_t at, const char* s) { std::memcpy(&b[at], s, std::strlen(s) + 1); };
    b[0] = 'M';
    b[1] = 'Z';
    put32(0x3c, 0x80);
    text(0x80, "PE");
    const size_t coff = 0x84;
    put16(coff, 0x8664);       // machine
    put16(coff + 2, 1);        // sections
    put16(coff + 16, 0xF0);    // optional header size
    put16(coff + 18, 0x2022);  // executable, large addresses, DLL
    const size_t opt = coff + 20;
    put16(opt, 0x20b);         // PE32+
    put32(opt + 16, 0x1000);   // entry point
    put32(opt + 24, 0x80000000u); // image base 0x180000000, low half
    put32(opt + 28, 0x1);                       // image base, high half
    put32(opt + 32, 0x1000);   // section alignment
    put32(opt + 36, 0x200);    // file alignment
    put16(opt + 48, 6);        // subsystem version
    put32(opt + 56, 0x2000);   // size of image
    put32(opt + 60, 0x200);    // size of headers
    put16(opt + 68, 3);        // subsystem
    put32(opt + 108, 16);      // directories
    put32(opt + 112, 0x1000);  // export table RVA
    put32(opt + 116, 0x100);   // and size
    const size_t section = opt + 0xF0;
    text(section, ".text");
    put32(section + 8, 0x1000);  // virtual size
    put32(section + 12, 0x1000); // RVA
    put32(section + 16, 0x400);  // raw size
    put32(section + 20, 0x200);  // raw offset
    put32(section + 36, 0x60000020);
    // The export directory at RVA 0x1000.
    const size_t dir = 0x200;
    put32(dir + 12, 0x1080); // the DLL's name
    put32(dir + 16, 1);      // ordinal base
    put32(dir + 20, 3);      // functions
    put32(dir + 24, 2);      // names
    put32(dir + 28, 0x1040); // function RVAs
    put32(dir + 32, 0x1050); // name RVAs
    put32(dir + 36, 0x1060); // name ordinals
    put32(0x240, 0x1100);
    put32(0x244, 0x1180);
    put32(0x248, 0x11c0);
    put32(0x250, 0x1090); // "GetProcAddress", names in order
    put32(0x254, 0x10a0); // "LoadLibraryW"
    put16(0x260, 1);
    put16(0x262, 0);
    text(0x280, "t.dll");
    text(0x290, "GetProcAddress");
    text(0x2a0, "LoadLibraryW");
    b[0x300] = 0xC3; // the functions' bytes
    b[0x380] = 0xC3;
    b[0x3c0] = 0xC3;
    return b;
}

} // namespace olv::test
