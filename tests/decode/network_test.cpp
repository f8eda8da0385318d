// TCP and UDP events through DecodeEvent: operation names by opcode, IPv4 and IPv6 address
// pairs with ports in host order, the byte count, and the process named by the event's PID.
#include "doctest.h"

#include <cstdio>

#include "decode/provider_fixture.h"
#include "support/test_random.h"

namespace olv {

namespace {

constexpr uint32_t kClientPid = 4321;
const uint8_t kDocAddress1[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t kDocAddress2[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

// A port as the 16-bit property holds it: network byte order read as a little-endian value.
constexpr uint16_t NetPort(uint16_t port) {
    return static_cast<uint16_t>((port >> 8) | ((port & 0xFF) << 8));
}

struct NetworkFixture : ProviderFixture {
    NetworkFixture() { TrackLaunchedProcess(ts, kClientPid, u"client.exe", 0); }

    // 10.0.0.5:80 -> 10.0.0.9:443, or the two documentation IPv6 addresses, logged in the
    // context of a process that is not followed and charged to kClientPid by its PID property.
    void Traffic(const Guid& provider, uint8_t opcode, bool ipv6, uint32_t size) {
        Begin(provider, opcode, kT0, kOtherPid);
        AddSimU32(e, u"PID", kClientPid);
        AddSimU32(e, u"size", size);
        if (ipv6) {
            AddSimBytes(e, u"saddr", kDocAddress1, 16);
            AddSimBytes(e, u"daddr", kDocAddress2, 16);
        } else {
            AddSimU32(e, u"saddr", 0x0500000A); // the first octet in the lowest byte
            AddSimU32(e, u"daddr", 0x0900000A);
        }
        AddSimU16(e, u"sport", NetPort(80));
        AddSimU16(e, u"dport", NetPort(443));
    }
};

} // namespace

TEST_CASE("network: a TCP send over IPv4 and over IPv6, charged to the event's PID") {
    NetworkFixture f;
    for (bool ipv6 : {false, true}) {
        f.Traffic(kTcpIpProvider, ipv6 ? 26 : 10, ipv6, 512);
        REQUIRE(f.Decode());
        CHECK(f.Cells() == (ipv6 ? "client.exe|Sent data (TCP)|[2001:db8::1]:80 -> "
                                   "[2001:db8::2]:443|512 bytes|OK"
                                 : "client.exe|Sent data (TCP)|10.0.0.5:80 -> 10.0.0.9:443|512 "
                                   "bytes|OK"));
        CHECK((f.row.category == kCategoryNetwork && f.row.pid == kClientPid));
    }
    // An IPv6 address that cannot be read prints as "::".
    f.Traffic(kTcpIpProvider, 26, true, 512);
    FailSimPropertyRead(f.e, u"saddr");
    REQUIRE(f.Decode());
    CHECK(f.Path() == "[::]:80 -> [2001:db8::2]:443");
}

TEST_CASE("network: operation names by opcode, and the address form each opcode implies") {
    NetworkFixture f;
    struct Case {
        const Guid* provider;
        uint8_t opcode;
        const char* operation;
    } cases[] = {
        {&kTcpIpProvider, 17, "TCP traffic (17)"},    {&kTcpIpProvider, 32, "Reconnected (TCP)"},
        {&kTcpIpProvider, 33, "TCP traffic (33)"},    {&kTcpIpProvider, 35, "TCP traffic (35)"},
        {&kUdpIpProvider, 11, "Received data (UDP)"}, {&kUdpIpProvider, 12, "UDP traffic (12)"},
        {&kUdpIpProvider, 27, "Received data (UDP)"}, {&kUdpIpProvider, 28, "UDP traffic (28)"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.operation);
        // IPv4-sized addresses print below opcode 26; from 26 on they cannot be IPv6 ones.
        f.Traffic(*c.provider, c.opcode, false, 0);
        REQUIRE(f.Decode());
        CHECK(f.Operation() == c.operation);
        CHECK(f.Path() == (c.opcode < 26 ? "10.0.0.5:80 -> 10.0.0.9:443" : "[::]:80 -> [::]:443"));
        CHECK(f.Detail().empty()); // size 0
    }
}

TEST_CASE("network: the process is the event's PID, or the header's when the PID is 0") {
    NetworkFixture f;
    f.Begin(kUdpIpProvider, 10, kT0, kSamplePid);
    AddSimU32(f.e, u"PID", 0);
    REQUIRE(f.Decode());
    CHECK(f.row.pid == kSamplePid);
    f.Begin(kTcpIpProvider, 10, kT0, kSamplePid);
    AddSimU32(f.e, u"PID", kOtherPid);
    CHECK_FALSE(f.Decode());
}

TEST_CASE("network: an IPv4 address pair and a byte count read as the printed numbers, for every "
          "width of number") {
    NetworkFixture f;
    TestRandom random{0x1b4};
    // Octets and ports at the edges of their digit counts, then random ones.
    const uint32_t edges[] = {0, 1, 9, 10, 99, 100, 199, 200, 255};
    const uint32_t portEdges[] = {0, 9, 10, 99, 100, 999, 1000, 9999, 10000, 65535};
    for (int round = 0; round < 2000; ++round) {
        uint32_t octets[8];
        for (uint32_t& o : octets)
            o = round < 200 ? edges[random.Below(9)] : random.Below(256);
        uint32_t ports[2];
        for (uint32_t& p : ports)
            p = round < 200 ? portEdges[random.Below(10)] : random.Below(65536);
        f.Begin(kTcpIpProvider, 10, kT0, kOtherPid);
        AddSimU32(f.e, u"PID", kClientPid);
        AddSimU32(f.e, u"saddr", octets[0] | octets[1] << 8 | octets[2] << 16 | octets[3] << 24);
        AddSimU32(f.e, u"daddr", octets[4] | octets[5] << 8 | octets[6] << 16 | octets[7] << 24);
        AddSimU16(f.e, u"sport", NetPort(static_cast<uint16_t>(ports[0])));
        AddSimU16(f.e, u"dport", NetPort(static_cast<uint16_t>(ports[1])));
        const uint32_t size = round % 3 == 0 ? 0 : round % 3 == 1 ? random.Below(100000) : random.Next();
        AddSimU32(f.e, u"size", size);
        REQUIRE(f.Decode());
        char detail[32] = "";
        if (size != 0) std::snprintf(detail, sizeof detail, "%u bytes", size);
        REQUIRE(f.Detail() == detail);
        REQUIRE(f.Result() == "OK");
        char expected[64];
        std::snprintf(expected, sizeof expected, "%u.%u.%u.%u:%u -> %u.%u.%u.%u:%u", octets[0],
                      octets[1], octets[2], octets[3], ports[0], octets[4], octets[5], octets[6],
                      octets[7], ports[1]);
        REQUIRE(f.Path() == expected);
    }
}

} // namespace olv
