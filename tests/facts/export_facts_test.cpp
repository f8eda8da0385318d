#include "doctest.h"

#include <cstring>
#include <string>
#include <vector>

#include "facts/export_facts.h"
#include "record/thread_row.h"
#include "support/exporting_dll.h"
#include "support/text_check.h"

namespace olv {

namespace {

std::string NameAt(const std::vector<unsigned char>& dll, uint32_t rva, bool* known) {
    ExportFacts facts{};
    const bool read = ExportAtFromBytes(dll.data(), dll.size(), rva, &facts);
    *known = read && facts.known;
    return facts.name;
}

} // namespace

TEST_CASE("a thread's start function from the module's export table, or none") {
    const std::vector<unsigned char> dll = test::ExportingDll();
    ExportFacts probe{};
    if (!ExportAtFromBytes(dll.data(), dll.size(), 0x1100, &probe) &&
        probe.status == kExportNoReader) {
        // Without a PE reader nothing is known, never guessed.
        CHECK_FALSE(probe.known);
        CHECK(probe.name[0] == 0);
        return;
    }
    bool known = false;
    CHECK(NameAt(dll, 0x1100, &known) == "LoadLibraryW");
    CHECK(known);
    CHECK(NameAt(dll, 0x1180, &known) == "GetProcAddress");
    CHECK(known);
    // Inside a function, an export without a name, and outside every function: read, no name.
    for (uint32_t rva : {0x1101u, 0x11c0u, 0x1500u, 0u}) {
        CAPTURE(rva);
        CHECK(NameAt(dll, rva, &known) == "");
        CHECK(known);
    }
    // Not a PE file: nothing known.
    std::vector<unsigned char> text(dll.size(), 'a');
    CHECK(NameAt(text, 0x1100, &known).empty());
    CHECK_FALSE(known);
    // A file that is gone.
    ExportFacts gone{};
    CHECK_FALSE(ReadExportAt(u"/nonexistent/olvetta/t.dll", 0x1100, &gone));
    CHECK(gone.status == kExportCannotOpen);
    CHECK_FALSE(gone.known);
}

TEST_CASE("a thread row's detail gives its module and the offset in it, or nothing") {
    struct Case {
        const char16_t* detail;
        const char* module;
        bool hasOffset;
        uint64_t offset;
    } cases[] = {
        {u"Target PID: 8 / Thread ID: 9 / Start address: 0x7ffb1001f2a0 in C:\\k.dll (+0x1f2a0)",
         "C:\\k.dll", true, 0x1f2a0},
        // a path holding the marker's text: the last one ends it
        {u"Target PID: 8 / Thread ID: 9 / Start address: 0x10 in C:\\a (+0x1)\\k.dll (+0x10)",
         "C:\\a (+0x1)\\k.dll", true, 0x10},
        // cut by the detail's room: the module is what is there, its offset not known
        {u"Target PID: 8 / Thread ID: 9 / Start address: 0x10 in C:\\very\\lon", "C:\\very\\lon",
         false, 0},
        {u"Target PID: 8 / Thread ID: 9 / Start address: 0x10 in C:\\k.dll (+0x1", "C:\\k.dll",
         false, 0},
        {u"Target PID: 8 / Thread ID: 9 / Start address: 0x10 in C:\\k.dll (+0xg)", "C:\\k.dll",
         false, 0},
        {u"Target PID: 8 / Thread ID: 9 / Start address: 0x1d0000 (no known module)", "", false, 0},
        {u"Target PID: 8", "", false, 0},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.detail));
        const char16_t* module = nullptr;
        const size_t n = ThreadModuleOfDetail(c.detail, &module);
        CHECK(U8(std::u16string(module, n).c_str()) == c.module);
        uint64_t offset = 99;
        CHECK(ThreadOffsetOfDetail(c.detail, &offset) == c.hasOffset);
        if (c.hasOffset) CHECK(offset == c.offset);
    }
    CHECK(ThreadTargetOfDetail(u"Target PID: 4242 / Thread ID: 9") == 4242);
    CHECK(ThreadTargetOfDetail(u"Target PID: 99999999999 / x") == 0);
    CHECK(ThreadTargetOfDetail(u"PID: 4242") == 0);
}

} // namespace olv
