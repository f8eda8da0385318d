#include "doctest.h"

#include <cstring>

#include "platform/sim/sim_event.h"
#include "platform/tracedata.h"
#include "support/event_builder.h"
#include "support/text_check.h"

using namespace olv;

namespace {

constexpr Guid kSomeProvider = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};

} // namespace

TEST_CASE("stand-in events: the header, and properties of every kind with their size and bytes") {
    SimEventPtr e = NewSimEvent(kSomeProvider, 12, 34, 1000, 2000, 133479648001230000);
    AddSimU32(e.get(), u"Gone", 1);
    BeginSimEvent(e.get(), kSomeProvider, 12, 34, 1000, 2000, 133479648001230000); // starts over
    const EventHeader& h = e->record.header;
    CHECK((h.providerId == kSomeProvider && h.descriptor.opcode == 12 && h.descriptor.id == 34));
    CHECK((h.processId == 1000 && h.threadId == 2000 && h.timeStamp == 133479648001230000));
    CHECK(h.flags == kEventHeaderFlag64BitHeader);

    AddSimU8(e.get(), u"U8", 0xAB);
    AddSimU16(e.get(), u"U16", 0xABCD);
    AddSimU64(e.get(), u"U64", 0x0123456789ABCDEFull);
    AddSimPointer(e.get(), u"Ptr64", 0xFFFF800012345678ull);
    AddSimWideString(e.get(), u"Wide", u"ab");
    AddSimAnsiString(e.get(), u"Ansi", "abc");
    AddSimBytes(e.get(), u"Empty", nullptr, 0);
    SetSimEvent32BitHeader(e.get());
    AddSimPointer(e.get(), u"Ptr32", 0xFFFF800012345678ull);
    CHECK(e->record.header.flags == kEventHeaderFlag32BitHeader);
    CHECK(e->overflow == 0);
    struct Case {
        const char16_t* name;
        uint32_t size;
        const char* bytes;
    } cases[] = {
        {u"U8", 1, "\xAB"},
        {u"U16", 2, "\xCD\xAB"},
        {u"U64", 8, "\xEF\xCD\xAB\x89\x67\x45\x23\x01"},
        {u"Ptr64", 8, "\x78\x56\x34\x12\x00\x80\xFF\xFF"},
        {u"Wide", 6, "a\0b\0\0\0"},
        {u"Ansi", 4, "abc\0"},
        {u"Empty", 0, ""},
        {u"Ptr32", 4, "\x78\x56\x34\x12"},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.name));
        uint32_t size = 0xFFFF;
        REQUIRE(TracePropertySize(&e->record, c.name, &size) == 0);
        REQUIRE(size == c.size);
        unsigned char buf[16];
        std::memset(buf, 0xEE, sizeof buf);
        CHECK(TracePropertyRead(&e->record, c.name, buf, sizeof buf) == 0); // larger is fine
        CHECK(std::memcmp(buf, c.bytes, c.size) == 0);
        CHECK(buf[c.size] == 0xEE); // nothing beyond the property is written
        if (c.size == 0) continue;
        std::memset(buf, 0xEE, sizeof buf);
        CHECK(TracePropertyRead(&e->record, c.name, buf, c.size - 1) ==
              kSimErrorInsufficientBuffer);
        CHECK(buf[0] == 0xEE);
    }
}

TEST_CASE("stand-in events: missing properties, foreign records, failed reads, a large payload") {
    SimEventPtr e = NewSimEvent(kSomeProvider);
    AddSimU32(e.get(), u"FileObject", 7);
    AddSimU32(e.get(), u"Status", 0xC0000022);
    FailSimPropertyRead(e.get(), u"Status");
    uint32_t size = 99, value = 0;
    for (const char16_t* name :
         {u"fileobject", u"FileObjec", static_cast<const char16_t*>(nullptr)}) {
        CHECK(TracePropertySize(&e->record, name, &size) == kSimErrorNotFound);
        CHECK(TracePropertyRead(&e->record, name, &value, 4) == kSimErrorNotFound);
    }
    CHECK(size == 0);
    CHECK(TracePropertySize(&e->record, u"Status", &size) == 0);
    CHECK(TracePropertyRead(&e->record, u"Status", &value, 4) != 0);
    EventRecord bare{};
    uint64_t notATable[4] = {};
    bare.userContext = notATable;
    CHECK(TracePropertySize(&bare, u"FileObject", &size) == kSimErrorNotFound);
    // A table edited by hand to describe more bytes than the event holds is never read past.
    e->table.props[0].size = 40000;
    static unsigned char big[40000];
    CHECK(TracePropertyRead(&e->record, u"FileObject", big, sizeof big) != 0);

    static unsigned char block[kSimPayloadBytes + 1];
    SetSimPayload(e.get(), "\x10\x20\x30", 3);
    CHECK((e->record.userData == e->payload && e->record.userDataLength == 3));
    CHECK(std::memcmp(e->record.userData, "\x10\x20\x30", 3) == 0);
    SetSimPayload(e.get(), block, kSimPayloadBytes + 1); // too large: the earlier payload stays
    CHECK(e->record.userDataLength == 3);
}

TEST_CASE("AnsiToUtf16 converts 8-bit text and refuses a text that does not fit") {
    char16_t out[6];
    CHECK(AnsiToUtf16("cmd.x", out, 6));
    CHECK(U8(out) == "cmd.x");
    CHECK_FALSE(AnsiToUtf16("cmd.ex", out, 6));
    CHECK(out[0] == 0);
#ifndef _WIN32
    CHECK(AnsiToUtf16("\x80\xE9", out, 6)); // code page 1252 on the stand-in
    CHECK(U8(out) == "\xE2\x82\xAC\xC3\xA9");
#endif
}
