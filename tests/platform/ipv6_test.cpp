// IPv6 address texts: the same vectors run natively (our own formatter) and under the Windows
// build (the socket library), so both builds print identical texts.
#include "doctest.h"

#include <string>

#include "platform/tracedata.h"
#include "support/text_check.h"

#ifdef _WIN32
#include <winsock2.h>
#endif

namespace {

// The text for the address written as 32 hexadecimal digits (blanks are skipped), formatted
// into capacity characters; "(refused)" when the formatter fails.
std::string Text(const char* hex, size_t capacity = 64) {
#ifdef _WIN32
    static bool started = false;
    WSADATA data;
    if (!started) started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
#endif
    uint8_t bytes[16] = {};
    for (int digits = 0; *hex != 0 && digits < 32; ++hex) {
        if (*hex == ' ') continue;
        const int v = *hex <= '9' ? *hex - '0' : *hex - 'a' + 10;
        bytes[digits / 2] = static_cast<uint8_t>(digits % 2 == 0 ? v << 4 : bytes[digits / 2] | v);
        ++digits;
    }
    char16_t out[64];
    if (!olv::FormatIpv6Address(bytes, out, capacity)) return "(refused)";
    return olv::U8(out);
}

} // namespace

TEST_CASE("FormatIpv6Address prints what the Windows socket library prints") {
    CHECK(Text("0000 0000 0000 0000 0000 0000 0000 0000") == "::");
    CHECK(Text("0000 0000 0000 0000 0000 0000 0000 0001") == "::1");
    CHECK(Text("2001 0db8 0000 0000 0000 0000 0000 0000") == "2001:db8::");
    CHECK(Text("2001 0db8 0000 0001 0001 0001 0001 0001") == "2001:db8:0:1:1:1:1:1");
    CHECK(Text("2001 0db8 0000 0000 0001 0000 0000 0001") == "2001:db8::1:0:0:1");
    CHECK(Text("2001 0000 0000 0001 0000 0000 0000 0001") == "2001:0:0:1::1");
    CHECK(Text("abcd 0ef0 000a 0000 0000 0000 0000 1234") == "abcd:ef0:a::1234");
    // Compatible: dotted only when the seventh group is not zero.
    CHECK(Text("0000 0000 0000 0000 0000 0000 0102 0304") == "::1.2.3.4");
    CHECK(Text("0000 0000 0000 0000 0000 0000 0001 0000") == "::0.1.0.0");
    CHECK(Text("0000 0000 0000 0000 0000 0000 0000 0100") == "::100");
    CHECK(Text("0001 0000 0000 0000 0000 0000 0102 0304") == "1::102:304");
    // Mapped and translated.
    CHECK(Text("0000 0000 0000 0000 0000 ffff c0a8 0101") == "::ffff:192.168.1.1");
    CHECK(Text("0000 0000 0000 0000 0000 ffff 0000 0001") == "::ffff:0:1");
    CHECK(Text("0000 0000 0000 0000 0001 ffff 0102 0304") == "::1:ffff:102:304");
    CHECK(Text("0000 0000 0000 0000 ffff 0000 0a00 0001") == "::ffff:0:10.0.0.1");
    // Intra-site tunnel interface ids, dotted even when zero.
    CHECK(Text("fe80 0000 0000 0000 0000 5efe 0a00 0001") == "fe80::5efe:10.0.0.1");
    CHECK(Text("fe80 0000 0000 0000 0200 5efe 0000 0000") == "fe80::200:5efe:0.0.0.0");
    CHECK(Text("0000 0000 0000 0000 0000 5efe 0a00 0001") == "::5efe:10.0.0.1");
    CHECK(Text("ffff ffff ffff ffff 0200 5efe ffff ffff") ==
          "ffff:ffff:ffff:ffff:200:5efe:255.255.255.255");
    CHECK(Text("fe80 0000 0000 0000 0300 5efe 0102 0304") == "fe80::300:5efe:102:304");
}

TEST_CASE("FormatIpv6Address refuses a buffer without room for the text and its terminator") {
    const char* allOnes = "ffff ffff ffff ffff ffff ffff ffff ffff"; // 39 characters
    CHECK(Text(allOnes, 40).size() == 39);
    CHECK(Text(allOnes, 39) == "(refused)");
    CHECK(Text(allOnes, 0) == "(refused)");
}
