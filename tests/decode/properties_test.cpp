#include "doctest.h"

#include <cstring>
#include <string>

#include "decode/properties.h"
#include "platform/memory.h"
#include "support/event_builder.h"
#include "support/text_check.h"

using namespace olv;

namespace {

constexpr Guid kAnyProvider = {0xA1, 0xB2, 0xC3, {1, 2, 3, 4, 5, 6, 7, 8}};
const unsigned char kBytes[9] = {0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89};

struct FaultScope {
    ~FaultScope() { ResetAllocationFaults(); }
};

// True when the reader took a heap block: the refusal armed before it was used up.
bool HeapWasTaken() {
    void* probe = AllocZeroed(16);
    FreeBlock(probe);
    ResetAllocationFaults();
    return probe != nullptr;
}

std::string ReadWide(const SimEvent& e, const char16_t* name, size_t capacity) {
    char16_t out[8192];
    std::fill(out, out + 8192, u'#');
    ReadWideStringProperty(&e.record, name, out, capacity);
    return U8(out);
}

std::string ReadAnsi(const SimEvent& e, const char16_t* name, size_t capacity) {
    char16_t out[8192];
    std::fill(out, out + 8192, u'#');
    ReadAnsiStringProperty(&e.record, name, out, capacity);
    return U8(out);
}

} // namespace

TEST_CASE("integer and pointer reads by property size") {
    struct Case {
        uint32_t size;
        uint32_t asInt;
        uint64_t asPointer;
    };
    const Case cases[] = {
        {1, 0x81, 0x81},
        {2, 0x8281, 0x8281},
        {3, 0x838281, 0x838281},
        {4, 0x84838281, 0x84838281},
        {5, 0x84838281, 0x8584838281},
        {6, 0x84838281, 0x868584838281},
        {7, 0x84838281, 0x87868584838281},
        {8, 0x84838281, 0x8887868584838281},
        {9, 0, 0},
        {0, 0, 0},
    };
    SimEventPtr e = NewSimEvent(kAnyProvider);
    for (const Case& c : cases) {
        CAPTURE(c.size);
        BeginSimEvent(e.get(), kAnyProvider, 0, 0, 0, 0, 0);
        AddSimBytes(e.get(), u"Value", kBytes, c.size);
        CHECK(ReadIntProperty(&e->record, u"Value") == c.asInt);
        CHECK(ReadPointerProperty(&e->record, u"Value") == c.asPointer);
        FailSimPropertyRead(e.get(), u"Value");
        CHECK(ReadIntProperty(&e->record, u"Value") == 0);
        CHECK(ReadPointerProperty(&e->record, u"Value") == 0);
    }
    CHECK(ReadIntProperty(&e->record, u"Missing") == 0);
    CHECK(ReadPointerProperty(&e->record, u"Missing") == 0);
    CHECK(ReadIntProperty(nullptr, u"Value") == 0);

    // A pointer of a 32-bit header comes back zero-extended.
    BeginSimEvent(e.get(), kAnyProvider, 0, 0, 0, 0, 0);
    SetSimEvent32BitHeader(e.get());
    AddSimPointer(e.get(), u"FileObject", 0xFFFFFFFF87654321ull);
    CHECK(ReadPointerProperty(&e->record, u"FileObject") == 0x87654321ull);
}

TEST_CASE("wide strings: cut at capacity - 1, stopped by NUL or the property's end") {
    SimEventPtr e = NewSimEvent(kAnyProvider);
    AddSimWideString(e.get(), u"Eight", u"ABCDEFGH");
    AddSimBytes(e.get(), u"Unterminated", u"abcd", 8);
    AddSimBytes(e.get(), u"OddSize", u"abcd", 5);
    AddSimBytes(e.get(), u"EmbeddedNul", u"ab\0cd", 10);
    AddSimWideString(e.get(), u"Empty", u"");
    AddSimWideString(e.get(), u"Unreadable", u"secret");
    FailSimPropertyRead(e.get(), u"Unreadable");

    struct Case {
        const char16_t* name;
        size_t capacity;
        const char* expected;
    };
    const Case cases[] = {
        {u"Eight", 64, "ABCDEFGH"},    {u"Eight", 9, "ABCDEFGH"},
        {u"Eight", 8, "ABCDEFG"},      {u"Eight", 1, ""},
        {u"Unterminated", 64, "abcd"}, {u"OddSize", 64, "ab"},
        {u"EmbeddedNul", 64, "ab"},    {u"Empty", 64, ""},
        {u"Unreadable", 64, ""},       {u"Missing", 64, ""},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.name));
        CAPTURE(c.capacity);
        CHECK(ReadWide(*e, c.name, c.capacity) == c.expected);
    }
    char16_t untouched = u'x';
    ReadWideStringProperty(&e->record, u"Eight", &untouched, 0);
    CHECK(untouched == u'x');
}

TEST_CASE("wide strings: the stack below 4095 bytes, one heap block above, nothing above 32768") {
    FaultScope scope;
    SimEventPtr e = NewSimEvent(kAnyProvider);
    const int64_t live = LiveAllocationCount();
    struct Case {
        size_t chars; // without the terminator; the property is (chars + 1) * 2 bytes
        bool heap;
    };
    const Case cases[] = {{2046, false}, {2047, true}, {6000, true}};
    for (const Case& c : cases) {
        CAPTURE(c.chars);
        std::u16string text(c.chars, u'w');
        BeginSimEvent(e.get(), kAnyProvider, 0, 0, 0, 0, 0);
        AddSimWideString(e.get(), u"Name", text.c_str());
        REQUIRE(e->overflow == 0);

        CHECK(ReadWide(*e, u"Name", 8192) == std::string(c.chars, 'w'));
        CHECK(ReadWide(*e, u"Name", 100) == std::string(99, 'w'));

        RefuseNthAllocation(1);
        const std::string refused = ReadWide(*e, u"Name", 8192);
        CHECK(HeapWasTaken() == c.heap);
        CHECK(refused == (c.heap ? std::string() : std::string(c.chars, 'w')));
        CHECK(LiveAllocationCount() == live);
    }

    // Sizes as the helper reports them; the reader must give up above 32768 without reading.
    BeginSimEvent(e.get(), kAnyProvider, 0, 0, 0, 0, 0);
    AddSimWideString(e.get(), u"Huge", u"abc");
    for (uint32_t size : {32768u, 32770u, 0xFFFFFFFEu}) {
        CAPTURE(size);
        e->table.props[0].size = size;
        RefuseNthAllocation(1);
        CHECK(ReadWide(*e, u"Huge", 64) == "");
        CHECK(HeapWasTaken() == (size <= 32768));
        CHECK(LiveAllocationCount() == live);
    }
}

TEST_CASE("ANSI strings: converted, empty when they do not fit, heap from 1024 bytes") {
    FaultScope scope;
    SimEventPtr e = NewSimEvent(kAnyProvider);
    AddSimAnsiString(e.get(), u"ImageFileName", "notepad.exe");
    AddSimAnsiString(e.get(), u"Unreadable", "x.exe");
    FailSimPropertyRead(e.get(), u"Unreadable");

    CHECK(ReadAnsi(*e, u"ImageFileName", 64) == "notepad.exe");
    CHECK(ReadAnsi(*e, u"ImageFileName", 12) == "notepad.exe"); // 11 characters and the NUL
    CHECK(ReadAnsi(*e, u"ImageFileName", 11) == "");            // does not fit: nothing at all
    CHECK(ReadAnsi(*e, u"Unreadable", 64) == "");
    CHECK(ReadAnsi(*e, u"Missing", 64) == "");

    const int64_t live = LiveAllocationCount();
    struct Case {
        size_t chars; // the property is chars + 1 bytes
        bool heap;
    };
    const Case cases[] = {{1022, false}, {1023, true}, {5000, true}};
    for (const Case& c : cases) {
        CAPTURE(c.chars);
        std::string text(c.chars, 'a');
        BeginSimEvent(e.get(), kAnyProvider, 0, 0, 0, 0, 0);
        AddSimAnsiString(e.get(), u"CommandLine", text.c_str());
        CHECK(ReadAnsi(*e, u"CommandLine", 8192) == text);
        RefuseNthAllocation(1);
        const std::string refused = ReadAnsi(*e, u"CommandLine", 8192);
        CHECK(HeapWasTaken() == c.heap);
        CHECK(refused == (c.heap ? std::string() : text));
        CHECK(LiveAllocationCount() == live);
    }

    e->table.props[0].size = 32769;
    RefuseNthAllocation(1);
    CHECK(ReadAnsi(*e, u"CommandLine", 8192) == "");
    CHECK_FALSE(HeapWasTaken());

#ifndef _WIN32
    BeginSimEvent(e.get(), kAnyProvider, 0, 0, 0, 0, 0);
    AddSimAnsiString(e.get(), u"ImageFileName", "caf\xE9\x80.exe");
    CHECK(ReadAnsi(*e, u"ImageFileName", 64) == "caf\xC3\xA9\xE2\x82\xAC.exe");
#endif
}

TEST_CASE("FormatStatusText: every row of the status table") {
    struct Case {
        uint32_t status;
        const char* text;
    };
    const Case cases[] = {
        {0x00000000, "OK"},
        {0x00000102, "OK"},
        {0x00000103, "PENDING"},
        {0x00000104, "OK"},
        {0x40000000, "OK"},
        {0x7FFFFFFF, "OK"},
        {0x80000000, "WARN 0x80000000"},
        {0x80000001, "WARN 0x80000001"},
        {0x80000005, "MORE DATA"},
        {0x80000006, "NO MORE"},
        {0x8000001A, "NO MORE"},
        {0xBFFFFFFF, "WARN 0xBFFFFFFF"},
        {0xC0000000, "FAIL 0xC0000000"},
        {0xC0000001, "FAIL 0xC0000001"},
        {0xC000000D, "BAD PARAMETER"},
        {0xC0000022, "DENIED"},
        {0xC0000023, "BUFFER SMALL"},
        {0xC0000034, "NOT FOUND"},
        {0xC0000035, "EXISTS"},
        {0xC000003A, "PATH NOT FOUND"},
        {0xC0000043, "SHARING"},
        {0xC0000061, "PRIVILEGE"},
        {0xC00000BA, "IS A FOLDER"},
        {0xC0000101, "NOT EMPTY"},
        {0xC0000121, "CANNOT DELETE"},
        {0xC0000123, "DELETED"},
        {0xC0000124, "FAIL 0xC0000124"},
        {0xFFFFFFFF, "FAIL 0xFFFFFFFF"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.status);
        char16_t out[64] = {u'#', 0};
        FormatStatusText(c.status, out, 64);
        CHECK(U8(out) == c.text);
    }
    char16_t small[5];
    FormatStatusText(0xC000000D, small, 5);
    CHECK(U8(small) == "BAD ");
    FormatStatusText(0xC0000999, small, 5);
    CHECK(U8(small) == "FAIL");
}

TEST_CASE("byte counts: bytes, KB and MB with the tenths cut, not rounded") {
    struct Case {
        uint32_t bytes;
        const char* io;
        const char* image;
    };
    const Case cases[] = {
        {1, "1 bytes", "Size: 0.0 KB"},
        {500, "500 bytes", "Size: 0.4 KB"},
        {1023, "1023 bytes", "Size: 0.9 KB"},
        {1024, "1.0 KB", "Size: 1.0 KB"},
        {1535, "1.4 KB", "Size: 1.4 KB"},
        {1536, "1.5 KB", "Size: 1.5 KB"},
        {1048575, "1023.9 KB", "Size: 1023.9 KB"},
        {1048576, "1.0 MB", "Size: 1.0 MB"},
        {1572864, "1.5 MB", "Size: 1.5 MB"},
        {0xFFFFFFFF, "4095.9 MB", "Size: 4095.9 MB"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.bytes);
        char16_t out[64];
        FormatIoSize(c.bytes, out, 64);
        CHECK(U8(out) == c.io);
        FormatImageSize(c.bytes, out, 64);
        CHECK(U8(out) == c.image);
    }
    char16_t kept[8] = u"keep";
    FormatIoSize(0, kept, 8);
    FormatImageSize(0, kept, 8);
    CHECK(U8(kept) == "keep");
    FormatImageSize(1048576, kept, 8);
    CHECK(U8(kept) == "Size: 1");
}
