// TcpIp and UdpIp providers: the traffic of followed processes as Network rows with the address
// pair and the byte count. A row is charged to the process in the event's "PID" property.
#include <cstring>

#include "base/format.h"
#include "base/text.h"
#include "decode/decode.h"
#include "decode/properties.h"

namespace olv {

namespace {

constexpr uint8_t kFirstIpv6Opcode = 26;
constexpr uint8_t kIpv6OpcodeOffset = 16;
constexpr size_t kEndpointChars = 128;
constexpr size_t kIpv6TextChars = 64;
constexpr uint32_t kIpv6AddressBytes = 16;

struct TrafficName {
    uint8_t opcode; // the IPv4 opcode; the IPv6 event is opcode + 16
    RowKind kind;
};

const TrafficName kTcpOperations[] = {
    {10, RowKind::SentTcp},    {11, RowKind::ReceivedTcp},
    {12, RowKind::ConnectedTcp},    {13, RowKind::DisconnectedTcp},
    {14, RowKind::RetransmittedTcp}, {15, RowKind::AcceptedTcp},
    {16, RowKind::ReconnectedTcp},  {18, RowKind::CopiedTcp},
};

const TrafficName kUdpOperations[] = {
    {10, RowKind::SentUdp},
    {11, RowKind::ReceivedUdp},
};

// A Network row of the opcode's kind; an opcode no kind names is of kind Other and says its
// number.
template <size_t N>
RowKind SetTrafficOperation(const TrafficName (&table)[N], const char16_t* otherFormat,
                            uint8_t opcode, EventRow* row) {
    for (const TrafficName& entry : table) {
        if (opcode == entry.opcode || opcode == entry.opcode + kIpv6OpcodeOffset) {
            return SetRowKind(row, entry.kind);
        }
    }
    row->category = kCategoryNetwork;
    FormatText(row->operation, kOperationChars, otherFormat, static_cast<int>(opcode));
    return RowKind::Other;
}

// Ports arrive in network byte order.
uint16_t NetworkToHostShort(uint32_t value) {
    return static_cast<uint16_t>(((value & 0xFFu) << 8) | ((value >> 8) & 0xFFu));
}

// Writes value in decimal at out[at]; returns the new end. At most five digits for a port.
size_t PutDecimal(char16_t* out, size_t at, uint32_t value) {
    char16_t digits[10];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        out[at++] = digits[--n];
    return at;
}

// The 256 octets as text, "0" to "255", made at compile time; each is padded to four
// characters, so that it is written with one 8-byte store.
struct OctetTexts {
    char16_t text[256][4];
    uint8_t length[256];
};

constexpr OctetTexts MakeOctetTexts() {
    OctetTexts t{};
    for (uint32_t v = 0; v < 256; ++v) {
        char16_t digits[3] = {};
        uint8_t n = 0;
        uint32_t rest = v;
        do {
            digits[n++] = static_cast<char16_t>(u'0' + rest % 10);
            rest /= 10;
        } while (rest != 0);
        for (uint8_t i = 0; i < n; ++i)
            t.text[v][i] = digits[n - 1 - i];
        t.length[v] = n;
    }
    return t;
}

constexpr OctetTexts kOctetTexts = MakeOctetTexts();

// "a.b.c.d:port", the text of "%u.%u.%u.%u:%u", written at out[at]; returns the new end. The
// 32-bit value holds the address in network order: its lowest byte is the first octet.
constexpr size_t kIpv4EndpointChars = 21; // "255.255.255.255:65535"
size_t PutIpv4Endpoint(char16_t* out, size_t at, uint32_t address, uint16_t port) {
    // The padding lands where the next character or the terminator goes.
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) out[at++] = u'.';
        const uint32_t value = (address >> (8 * octet)) & 0xFFu;
        std::memcpy(out + at, kOctetTexts.text[value], sizeof kOctetTexts.text[value]);
        at += kOctetTexts.length[value];
    }
    out[at++] = u':';
    return PutDecimal(out, at, port);
}

// The address pair of an IPv4 event, "source -> destination", written into the row's path.
void SetIpv4Path(const EventRecord* event, EventRow* row) {
    static_assert(2 * kIpv4EndpointChars + 4 < kPathChars);
    const uint32_t source = ReadIntProperty(event, u"saddr");
    const uint16_t sourcePort = NetworkToHostShort(ReadIntProperty(event, u"sport"));
    const uint32_t destination = ReadIntProperty(event, u"daddr");
    const uint16_t destinationPort = NetworkToHostShort(ReadIntProperty(event, u"dport"));
    size_t at = PutIpv4Endpoint(row->path, 0, source, sourcePort);
    static constexpr char16_t kArrow[] = u" -> ";
    for (size_t i = 0; i + 1 < sizeof kArrow / sizeof kArrow[0]; ++i)
        row->path[at++] = kArrow[i];
    at = PutIpv4Endpoint(row->path, at, destination, destinationPort);
    row->path[at] = 0;
}

void FormatIpv6Endpoint(const EventRecord* event, const char16_t* addressName,
                        const char16_t* portName, char16_t* out, size_t capacity) {
    char16_t text[kIpv6TextChars];
    CopyAscii(text, kIpv6TextChars, "::");
    uint32_t size = 0;
    if (TracePropertySize(event, addressName, &size) == 0 && size == kIpv6AddressBytes) {
        uint8_t bytes[kIpv6AddressBytes] = {};
        if (TracePropertyRead(event, addressName, bytes, kIpv6AddressBytes) != 0 ||
            !FormatIpv6Address(bytes, text, kIpv6TextChars)) {
            CopyAscii(text, kIpv6TextChars, "::");
        }
    }
    const uint16_t port = NetworkToHostShort(ReadIntProperty(event, portName));
    FormatText(out, capacity, u"[%s]:%u", static_cast<const char16_t*>(text),
               static_cast<uint32_t>(port));
}

template <size_t N>
bool DecodeIpTraffic(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                     RowKind* kind, const TrafficName (&table)[N], const char16_t* otherFormat) {
    if (ts == nullptr || event == nullptr || row == nullptr || kind == nullptr) return false;
    uint32_t pid = ReadIntProperty(event, u"PID");
    if (pid == 0) pid = event->header.processId;
    if (!IsProcessFollowed(ts, pid, t)) return false;

    const uint8_t opcode = event->header.descriptor.opcode;
    StartRow(event, row);
    row->pid = pid;
    *kind = SetTrafficOperation(table, otherFormat, opcode, row);

    if (opcode < kFirstIpv6Opcode) {
        SetIpv4Path(event, row);
    } else {
        char16_t first[kEndpointChars];
        char16_t second[kEndpointChars];
        FormatIpv6Endpoint(event, u"saddr", u"sport", first, kEndpointChars);
        FormatIpv6Endpoint(event, u"daddr", u"dport", second, kEndpointChars);
        CopyBounded(row->path, kPathChars, first);
        AppendBounded(row->path, kPathChars, u" -> ");
        AppendBounded(row->path, kPathChars, second);
    }

    // "%lu bytes" and "OK", written directly.
    const uint32_t size = ReadIntProperty(event, u"size");
    if (size != 0) {
        static constexpr char16_t kBytes[] = u" bytes";
        const size_t at = PutDecimal(row->detail, 0, size);
        std::memcpy(row->detail + at, kBytes, sizeof kBytes);
    }
    row->result[0] = u'O';
    row->result[1] = u'K';
    row->result[2] = 0;
    return true;
}

} // namespace

bool DecodeTcpIpEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                      RowKind* kind) {
    return DecodeIpTraffic(ts, event, row, t, kind, kTcpOperations, u"TCP traffic (%d)");
}

bool DecodeUdpIpEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                      RowKind* kind) {
    return DecodeIpTraffic(ts, event, row, t, kind, kUdpOperations, u"UDP traffic (%d)");
}

} // namespace olv
