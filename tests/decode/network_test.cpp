// TCP and UDP events through DecodeEvent: operation names by opcode, IPv4 and IPv6 address
// pairs with ports in host order, the byte count, and the process named by the event's PID.
#include "doctest.h"

#include "decode/provider_fixture.h"

namespace olv {

namespace {

constexpr uint32_t kClientPid = 4321;

// An IPv4 address as the 32-bit property holds it: the first octet in the lowest byte.
constexpr uint32_t Ipv4(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return a | (b << 8) | (c << 16) | (d << 24);
}
// A port as the 16-bit property holds it: network byte order read as a little-endian value.
constexpr uint16_t NetPort(uint16_t port) {
    return static_cast<uint16_t>((port >> 8) | ((port & 0xFF) << 8));
}

const uint8_t kDocAddress1[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t kDocAddress2[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

struct NetworkFixture : ProviderFixture {
    NetworkFixture() { TrackLaunchedProcess(ts, kClientPid, u"client.exe"); }

    void Ipv4Event(const Guid& provider, uint8_t opcode, uint32_t size) {
        Begin(provider, opcode, kT0, kOtherPid); // the header names another process
        AddSimU32(e, u"PID", kClientPid);
        AddSimU32(e, u"size", size);
        AddSimU32(e, u"daddr", Ipv4(10, 0, 0, 9));
        AddSimU32(e, u"saddr", Ipv4(10, 0, 0, 5));
        AddSimU16(e, u"dport", NetPort(443));
        AddSimU16(e, u"sport", NetPort(80));
    }
    void Ipv6Event(const Guid& provider, uint8_t opcode, uint32_t size) {
        Begin(provider, opcode, kT0, kOtherPid);
        AddSimU32(e, u"PID", kClientPid);
        AddSimU32(e, u"size", size);
        AddSimBytes(e, u"daddr", kDocAddress2, 16);
        AddSimBytes(e, u"saddr", kDocAddress1, 16);
        AddSimU16(e, u"dport", NetPort(443));
        AddSimU16(e, u"sport", NetPort(80));
    }
};

} // namespace

TEST_CASE("network: a TCP send over IPv4 is charged to the event's PID") {
    NetworkFixture f;
    f.Ipv4Event(kTcpIpProvider, 10, 512);
    REQUIRE(f.Decode());
    CHECK(f.Operation() == "Sent data (TCP)");
    CHECK(f.Path() == "10.0.0.5:80 -> 10.0.0.9:443");
    CHECK(f.Detail() == "512 bytes");
    CHECK(f.Result() == "OK");
    CHECK(f.row.category == kCategoryNetwork);
    CHECK(f.row.pid == kClientPid);
    CHECK(U8(f.row.process) == "client.exe");
    CHECK(f.row.threadId == 77);
}

TEST_CASE("network: the same on IPv6") {
    NetworkFixture f;
    f.Ipv6Event(kTcpIpProvider, 26, 512);
    REQUIRE(f.Decode());
    CHECK(f.Operation() == "Sent data (TCP)");
    CHECK(f.Path() == "[2001:db8::1]:80 -> [2001:db8::2]:443");
    CHECK(f.Detail() == "512 bytes");
    CHECK(f.row.pid == kClientPid);
}

TEST_CASE("network: operation names by opcode, and the address form each opcode implies") {
    NetworkFixture f;
    struct Case {
        const Guid* provider;
        uint8_t opcode;
        const char* operation;
    } cases[] = {
        {&kTcpIpProvider, 9, "TCP traffic (9)"},
        {&kTcpIpProvider, 11, "Received data (TCP)"},
        {&kTcpIpProvider, 12, "Connected (TCP)"},
        {&kTcpIpProvider, 15, "Accepted a connection (TCP)"},
        {&kTcpIpProvider, 17, "TCP traffic (17)"},
        {&kTcpIpProvider, 18, "Copied data (TCP)"},
        {&kTcpIpProvider, 25, "TCP traffic (25)"},
        {&kTcpIpProvider, 27, "Received data (TCP)"},
        {&kTcpIpProvider, 31, "Accepted a connection (TCP)"},
        {&kTcpIpProvider, 33, "TCP traffic (33)"},
        {&kTcpIpProvider, 34, "Copied data (TCP)"},
        {&kTcpIpProvider, 35, "TCP traffic (35)"},
        {&kUdpIpProvider, 10, "Sent data (UDP)"},
        {&kUdpIpProvider, 11, "Received data (UDP)"},
        {&kUdpIpProvider, 12, "UDP traffic (12)"},
        {&kUdpIpProvider, 27, "Received data (UDP)"},
        {&kUdpIpProvider, 28, "UDP traffic (28)"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.operation);
        // IPv4-sized addresses: below opcode 26 they print, from 26 on they cannot be IPv6.
        f.Ipv4Event(*c.provider, c.opcode, 64);
        REQUIRE(f.Decode());
        CHECK(f.Operation() == c.operation);
        if (c.opcode < 26) {
            CHECK(f.Path() == "10.0.0.5:80 -> 10.0.0.9:443");
        } else {
            CHECK(f.Path() == "[::]:80 -> [::]:443");
        }
    }
}

TEST_CASE("network: missing and unreadable values") {
    NetworkFixture f;
    SUBCASE("a connect without a size leaves the detail empty") {
        f.Ipv4Event(kTcpIpProvider, 12, 0);
        REQUIRE(f.Decode());
        CHECK(f.Detail().empty());
    }
    SUBCASE("missing addresses and ports read as zeros") {
        f.Begin(kUdpIpProvider, 11, kT0, kOtherPid);
        AddSimU32(f.e, u"PID", kClientPid);
        REQUIRE(f.Decode());
        CHECK(f.Path() == "0.0.0.0:0 -> 0.0.0.0:0");
        CHECK(f.Detail().empty());
        f.Begin(kUdpIpProvider, 27, kT0, kOtherPid);
        AddSimU32(f.e, u"PID", kClientPid);
        REQUIRE(f.Decode());
        CHECK(f.Path() == "[::]:0 -> [::]:0");
    }
    SUBCASE("an IPv6 address that cannot be read prints ::") {
        f.Ipv6Event(kTcpIpProvider, 28, 0);
        FailSimPropertyRead(f.e, u"saddr");
        REQUIRE(f.Decode());
        CHECK(f.Path() == "[::]:80 -> [2001:db8::2]:443");
    }
    SUBCASE("ports and addresses at their extremes") {
        f.Begin(kTcpIpProvider, 10, kT0, kOtherPid);
        AddSimU32(f.e, u"PID", kClientPid);
        AddSimU32(f.e, u"saddr", Ipv4(255, 255, 255, 255));
        AddSimU32(f.e, u"daddr", Ipv4(192, 168, 0, 1));
        AddSimU16(f.e, u"sport", NetPort(65535));
        AddSimU16(f.e, u"dport", NetPort(1));
        AddSimU32(f.e, u"size", 4000000000u);
        REQUIRE(f.Decode());
        CHECK(f.Path() == "255.255.255.255:65535 -> 192.168.0.1:1");
        CHECK(f.Detail() == "4000000000 bytes");
    }
}

TEST_CASE("network: the process is the event's PID, or the header's when the PID is 0") {
    NetworkFixture f;
    // Header names the followed process, PID property 0.
    f.Begin(kTcpIpProvider, 10, kT0, kSamplePid);
    AddSimU32(f.e, u"PID", 0);
    REQUIRE(f.Decode());
    CHECK(f.row.pid == kSamplePid);
    CHECK(U8(f.row.process) == "sample.exe");

    // Followed header, PID property naming a process that is not followed: no row.
    f.Begin(kTcpIpProvider, 10, kT0, kSamplePid);
    AddSimU32(f.e, u"PID", kOtherPid);
    CHECK_FALSE(f.Decode());

    // A send of a process that is not followed, by header and property.
    f.Begin(kUdpIpProvider, 10, kT0, kOtherPid);
    CHECK_FALSE(f.Decode());
}

} // namespace olv
