// IPv6 address texts: the same vectors run natively (our own formatter) and under the Windows
// build (the socket library), so both builds print identical texts.
#include "doctest.h"

#include <cstring>

#include "base/text.h"
#include "platform/tracedata.h"

#ifdef _WIN32
#include <winsock2.h>
#endif

namespace {

void StartSocketsOnce() {
#ifdef _WIN32
    static bool started = false;
    if (!started) {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
#endif
}

struct Ipv6Vector {
    const char* note;
    uint8_t bytes[16];
    const char16_t* text;
};

// Every form below was checked against the socket library of the Windows build.
const Ipv6Vector kVectors[] = {
    {"unspecified", {0}, u"::"},
    {"loopback", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, u"::1"},
    {"documentation", {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, u"2001:db8::1"},
    {"link local", {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, u"fe80::1"},
    {"run at the end", {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, u"2001:db8::"},
    {"run after one group", {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, u"1::"},
    {"single zero group kept",
     {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1},
     u"2001:db8:0:1:1:1:1:1"},
    {"single zero at the end",
     {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 0},
     u"1:2:3:4:5:6:7:0"},
    {"single zero at the start",
     {0, 0, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8},
     u"0:2:3:4:5:6:7:8"},
    {"tie: first run",
     {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1},
     u"2001:db8::1:0:0:1"},
    {"tie at both ends", {0, 0, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0}, u"::1:1:1:1:0:0"},
    {"longer run later", {0x20, 0x01, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, u"2001:0:0:1::1"},
    {"longer run later, zero prefix",
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0},
     u"::1:0:0:0"},
    {"short run first", {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, u"0:0:1::"},
    {"lower case, no leading zeros",
     {0xAB, 0xCD, 0x0E, 0xF0, 0, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34},
     u"abcd:ef0:a::1234"},
    {"all ones",
     {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
      0xff},
     u"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    {"6to4 stays hexadecimal",
     {0x20, 0x02, 0xc0, 0, 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
     u"2002:c000:201::1"},
    {"well-known translation prefix stays hexadecimal",
     {0, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0, 192, 0, 2, 33},
     u"64:ff9b::c000:221"},
    {"teredo stays hexadecimal",
     {0x20, 0x01, 0, 0, 0x41, 0x36, 0xe3, 0x78, 0x80, 0, 0x63, 0xbf, 0x3f, 0xff, 0xfd, 0xd2},
     u"2001:0:4136:e378:8000:63bf:3fff:fdd2"},
    // IPv4-compatible: dotted only when the seventh group is not zero.
    {"compatible", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}, u"::1.2.3.4"},
    {"compatible, low half zero", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, u"::0.1.0.0"},
    {"compatible high", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0}, u"::255.255.0.0"},
    {"seventh group zero: hexadecimal", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}, u"::100"},
    {"::ffff alone", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}, u"::ffff"},
    {"compatible needs a zero prefix",
     {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4},
     u"1::102:304"},
    // IPv4-mapped.
    {"mapped", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 1, 1}, u"::ffff:192.168.1.1"},
    {"mapped maximum",
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 255, 255, 255, 255},
     u"::ffff:255.255.255.255"},
    {"mapped, seventh group zero",
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 1},
     u"::ffff:0:1"},
    {"mapped zero", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0}, u"::ffff:0:0"},
    {"mapped, nonzero prefix",
     {0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0xff, 0xff, 1, 2, 3, 4},
     u"::1:0:ffff:102:304"},
    {"not mapped: fifth group 1",
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xff, 0xff, 1, 2, 3, 4},
     u"::1:ffff:102:304"},
    {"not mapped: ffff:ffff",
     {0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 1, 2, 3, 4},
     u"::ffff:ffff:102:304"},
    // IPv4-translated.
    {"translated", {0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 10, 0, 0, 1}, u"::ffff:0:10.0.0.1"},
    {"translated, low half zero",
     {0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 1, 0, 0},
     u"::ffff:0:0.1.0.0"},
    {"translated, seventh group zero",
     {0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0, 0, 1},
     u"::ffff:0:0:1"},
    {"translated zero", {0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0, 0, 0}, u"::ffff:0:0:0"},
    {"not translated: sixth group 1",
     {0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 1, 10, 0, 0, 1},
     u"::ffff:1:a00:1"},
    {"translated, nonzero prefix",
     {0, 0, 0, 0, 0, 0, 0, 1, 0xff, 0xff, 0, 0, 1, 2, 3, 4},
     u"::1:ffff:0:102:304"},
    // Intra-site tunnel interface ids (0:5efe and 200:5efe), dotted even when zero.
    {"tunnel link local",
     {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0x5e, 0xfe, 10, 0, 0, 1},
     u"fe80::5efe:10.0.0.1"},
    {"tunnel 200",
     {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 2, 0, 0x5e, 0xfe, 10, 0, 0, 1},
     u"fe80::200:5efe:10.0.0.1"},
    {"tunnel global",
     {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0x5e, 0xfe, 192, 0, 2, 1},
     u"2001:db8:0:1:0:5efe:192.0.2.1"},
    {"tunnel, zero prefix",
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5e, 0xfe, 10, 0, 0, 1},
     u"::5efe:10.0.0.1"},
    {"tunnel 200, zero prefix",
     {0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0x5e, 0xfe, 1, 2, 3, 4},
     u"::200:5efe:1.2.3.4"},
    {"tunnel, zero address",
     {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0x5e, 0xfe, 0, 0, 0, 1},
     u"fe80::5efe:0.0.0.1"},
    {"tunnel, all zero", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5e, 0xfe, 0, 0, 0, 0}, u"::5efe:0.0.0.0"},
    {"tunnel, run into the fifth group",
     {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0x5e, 0xfe, 1, 2, 3, 4},
     u"2001:db8::5efe:1.2.3.4"},
    {"tunnel, tie",
     {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0x5e, 0xfe, 1, 2, 3, 4},
     u"::1:0:0:5efe:1.2.3.4"},
    {"tunnel, single zeros kept",
     {0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0x5e, 0xfe, 1, 2, 3, 4},
     u"1::1:0:5efe:1.2.3.4"},
    {"tunnel, longest text",
     {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0, 0x5e, 0xfe, 255, 255, 255, 255},
     u"ffff:ffff:ffff:ffff:200:5efe:255.255.255.255"},
    {"not a tunnel: 300",
     {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 3, 0, 0x5e, 0xfe, 1, 2, 3, 4},
     u"fe80::300:5efe:102:304"},
    {"not a tunnel: 5eff",
     {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0x5e, 0xff, 1, 2, 3, 4},
     u"fe80::5eff:102:304"},
};

} // namespace

TEST_CASE("FormatIpv6Address prints what the Windows socket library prints") {
    StartSocketsOnce();
    for (const Ipv6Vector& v : kVectors) {
        CAPTURE(v.note);
        char16_t out[64];
        std::memset(out, 0xAA, sizeof out);
        REQUIRE(olv::FormatIpv6Address(v.bytes, out, 64));
        char text[64];
        olv::Utf16ToUtf8(out, olv::TextLength(out), text, sizeof text);
        CAPTURE(text);
        CHECK(olv::TextEquals(out, v.text));
    }
}

TEST_CASE("FormatIpv6Address refuses a buffer without room for the text and its terminator") {
    StartSocketsOnce();
    const uint8_t allOnes[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    const uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 255, 255, 255, 255};
    char16_t out[64];
    CHECK(olv::FormatIpv6Address(allOnes, out, 40)); // 39 characters
    CHECK(olv::TextLength(out) == 39);
    CHECK_FALSE(olv::FormatIpv6Address(allOnes, out, 39));
    CHECK(olv::FormatIpv6Address(mapped, out, 23)); // 22 characters
    CHECK_FALSE(olv::FormatIpv6Address(mapped, out, 22));
    CHECK_FALSE(olv::FormatIpv6Address(allOnes, out, 0));
}
