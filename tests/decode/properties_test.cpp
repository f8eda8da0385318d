#include "doctest.h"

#include <string>

#include "decode/properties.h"
#include "platform/memory.h"
#include "support/event_builder.h"
#include "support/text_check.h"

using namespace olv;

namespace {

constexpr Guid kAnyProvider = {0xA1, 0xB2, 0xC3, {1, 2, 3, 4, 5, 6, 7, 8}};

struct FaultScope {
    ~FaultScope() { ResetAllocationFaults(); }
};

// Reads a string property into a buffer full of '#', so a missing terminator shows.
std::string Read(const SimEvent& e, bool wide, const char16_t* name, size_t capacity) {
    static char16_t out[8192];
    std::fill(out, out + 8192, u'#');
    if (wide) ReadWideStringProperty(&e.record, name, out, capacity);
    if (!wide) ReadAnsiStringProperty(&e.record, name, out, capacity);
    return U8(out);
}

} // namespace

TEST_CASE("integer and pointer reads by property size") {
    const unsigned char bytes[9] = {0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89};
    struct Case {
        uint32_t size, asInt;
        uint64_t asPointer;
    } cases[] = {{1, 0x81, 0x81},
                 {2, 0x8281, 0x8281},
                 {4, 0x84838281, 0x84838281},
                 {5, 0x84838281, 0x8584838281},
                 {8, 0x84838281, 0x8887868584838281},
                 {9, 0, 0},
                 {0, 0, 0}};
    SimEventPtr e = NewSimEvent(kAnyProvider);
    for (const Case& c : cases) {
        CAPTURE(c.size);
        BeginSimEvent(e.get(), kAnyProvider, 0, 0, 0, 0, 0);
        AddSimBytes(e.get(), u"Value", bytes, c.size);
        CHECK(ReadIntProperty(&e->record, u"Value") == c.asInt);
        CHECK(ReadPointerProperty(&e->record, u"Value") == c.asPointer);
        FailSimPropertyRead(e.get(), u"Value");
        CHECK(ReadIntProperty(&e->record, u"Value") == 0);
        CHECK(ReadPointerProperty(&e->record, u"Value") == 0);
    }
    CHECK(ReadIntProperty(&e->record, u"Missing") == 0);
    CHECK(ReadPointerProperty(&e->record, u"Missing") == 0);
}

TEST_CASE("strings: cut at capacity - 1, stopped by NUL or the property's end, empty on failure") {
    SimEventPtr e = NewSimEvent(kAnyProvider);
    AddSimWideString(e.get(), u"Eight", u"ABCDEFGH");
    AddSimBytes(e.get(), u"Unterminated", u"abcd", 8);
    AddSimBytes(e.get(), u"OddSize", u"abcd", 5);
    AddSimBytes(e.get(), u"EmbeddedNul", u"ab\0cd", 10);
    AddSimWideString(e.get(), u"Unreadable", u"secret");
    FailSimPropertyRead(e.get(), u"Unreadable");
    AddSimAnsiString(e.get(), u"Image", "notepad.exe");
    AddSimAnsiString(e.get(), u"UnreadableAnsi", "x.exe");
    FailSimPropertyRead(e.get(), u"UnreadableAnsi");
    struct Case {
        bool wide;
        const char16_t* name;
        size_t capacity;
        const char* expected;
    } cases[] = {
        {true, u"Eight", 10, "ABCDEFGH"}, // read straight into the buffer
        {true, u"Eight", 9, "ABCDEFGH"},
        {true, u"Eight", 8, "ABCDEFG"},
        {true, u"Eight", 1, ""},
        {true, u"Unterminated", 64, "abcd"},
        {true, u"OddSize", 64, "ab"},
        {true, u"EmbeddedNul", 64, "ab"},
        {true, u"Unreadable", 64, ""},
        {true, u"Missing", 64, ""},
        {false, u"Image", 12, "notepad.exe"},
        {false, u"Image", 11, ""}, // an 8-bit text that
        {false, u"UnreadableAnsi", 64, ""},
        {false, u"Missing", 64, ""} // does not fit: none
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.name));
        CAPTURE(c.capacity);
        CHECK(Read(*e, c.wide, c.name, c.capacity) == c.expected);
    }
#ifndef _WIN32
    BeginSimEvent(e.get(), kAnyProvider, 0, 0, 0, 0, 0);
    AddSimAnsiString(e.get(), u"Image", "caf\xE9\x80.exe"); // code page 1252 on the stand-in
    CHECK(Read(*e, false, u"Image", 64) == "caf\xC3\xA9\xE2\x82\xAC.exe");
#endif
}

TEST_CASE("FormatStatusText: every row of the status table") {
    const uint32_t statuses[] = {0x00000103, 0x80000005, 0x80000006, 0x8000001A, 0xC000000D,
                                 0xC0000022, 0xC0000023, 0xC0000034, 0xC0000035, 0xC000003A,
                                 0xC0000043, 0xC0000061, 0xC00000BA, 0xC0000101, 0xC0000121,
                                 0xC0000123, 0x00000000, 0x00000104, 0x7FFFFFFF, 0x80000000,
                                 0xBFFFFFFF, 0xC0000001, 0xFFFFFFFF};
    std::string texts;
    for (uint32_t status : statuses) {
        char16_t out[64] = {u'#', 0};
        FormatStatusText(status, out, 64);
        texts += U8(out) + ",";
    }
    CHECK(texts == "PENDING,MORE DATA,NO MORE,NO MORE,BAD PARAMETER,DENIED,BUFFER SMALL,NOT FOUND,"
                   "EXISTS,PATH NOT FOUND,SHARING,PRIVILEGE,IS A FOLDER,NOT EMPTY,CANNOT DELETE,"
                   "DELETED,OK,OK,OK,WARN 0x80000000,WARN 0xBFFFFFFF,FAIL 0xC0000001,"
                   "FAIL 0xFFFFFFFF,");
    char16_t small[5];
    FormatStatusText(0xC0000999, small, 5);
    CHECK(U8(small) == "FAIL");
}

TEST_CASE("byte counts: bytes, KB and MB with the tenths cut, not rounded") {
    struct Case {
        uint32_t bytes;
        const char *io, *image;
    } cases[] = {{500, "500 bytes", "Size: 0.4 KB"},
                 {1023, "1023 bytes", "Size: 0.9 KB"},
                 {1024, "1.0 KB", "Size: 1.0 KB"},
                 {1535, "1.4 KB", "Size: 1.4 KB"},
                 {1048575, "1023.9 KB", "Size: 1023.9 KB"},
                 {1048576, "1.0 MB", "Size: 1.0 MB"},
                 {0xFFFFFFFF, "4095.9 MB", "Size: 4095.9 MB"}};
    for (const Case& c : cases) {
        CAPTURE(c.bytes);
        char16_t out[64];
        FormatIoSize(c.bytes, out, 64);
        CHECK(U8(out) == c.io);
        FormatImageSize(c.bytes, out, 64);
        CHECK(U8(out) == c.image);
    }
    char16_t kept[8] = u"keep"; // 0 writes nothing
    FormatIoSize(0, kept, 8);
    FormatImageSize(0, kept, 8);
    CHECK(U8(kept) == "keep");
}
