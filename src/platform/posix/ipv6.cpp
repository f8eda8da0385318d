// IPv6 address text for the native build, character for character what the Windows socket
// library prints: lower-case hexadecimal without leading zeros, the longest run of two or more
// zero groups written as "::" (the first run on a tie), and an embedded IPv4 address in dotted
// form for the compatible (::a.b.c.d), mapped (::ffff:a.b.c.d), translated (::ffff:0:a.b.c.d)
// and intra-site tunnel (prefix:0:5efe:a.b.c.d, prefix:200:5efe:a.b.c.d) forms.
#include "platform/tracedata.h"

namespace olv {
namespace {

constexpr size_t kIpv6TextChars = 64;

struct TextBuilder {
    char16_t text[kIpv6TextChars];
    size_t length;
};

void Put(TextBuilder* b, char16_t c) {
    if (b->length + 1 < kIpv6TextChars) b->text[b->length++] = c;
}

void PutAscii(TextBuilder* b, const char* s) {
    while (*s != 0)
        Put(b, static_cast<char16_t>(*s++));
}

void PutHex(TextBuilder* b, uint16_t value) {
    static const char kDigits[] = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned digit = (value >> shift) & 0xF;
        if (digit != 0 || started || shift == 0) {
            Put(b, static_cast<char16_t>(kDigits[digit]));
            started = true;
        }
    }
}

void PutDecimal(TextBuilder* b, uint8_t value) {
    if (value >= 100) Put(b, static_cast<char16_t>(u'0' + value / 100));
    if (value >= 10) Put(b, static_cast<char16_t>(u'0' + (value / 10) % 10));
    Put(b, static_cast<char16_t>(u'0' + value % 10));
}

void PutIpv4(TextBuilder* b, const uint8_t* bytes) {
    for (int i = 0; i < 4; ++i) {
        if (i > 0) Put(b, u'.');
        PutDecimal(b, bytes[i]);
    }
}

// Groups [0, count) in hexadecimal, the longest run of at least two zero groups (the first of
// equal runs) written as "::".
void PutGroups(TextBuilder* b, const uint16_t* groups, int count) {
    int bestStart = -1;
    int bestLength = 1;
    for (int i = 0; i < count;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < count && groups[j] == 0)
            ++j;
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    for (int i = 0; i < count; ++i) {
        if (i == bestStart) {
            PutAscii(b, "::");
            i += bestLength - 1;
            continue;
        }
        if (i > 0 && i != bestStart + bestLength) Put(b, u':');
        PutHex(b, groups[i]);
    }
}

} // namespace

bool FormatIpv6Address(const uint8_t address[16], char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    if (address == nullptr) return false;

    uint16_t w[8];
    for (int i = 0; i < 8; ++i) {
        w[i] = static_cast<uint16_t>((address[2 * i] << 8) | address[2 * i + 1]);
    }

    TextBuilder b{};
    const bool zeroPrefix = w[0] == 0 && w[1] == 0 && w[2] == 0 && w[3] == 0;
    bool done = false;
    if (zeroPrefix && w[6] != 0) {
        if (w[4] == 0 && w[5] == 0) {
            PutAscii(&b, "::");
            done = true;
        } else if (w[4] == 0 && w[5] == 0xFFFF) {
            PutAscii(&b, "::ffff:");
            done = true;
        } else if (w[4] == 0xFFFF && w[5] == 0) {
            PutAscii(&b, "::ffff:0:");
            done = true;
        }
        if (done) PutIpv4(&b, address + 12);
    }
    if (!done && (w[4] == 0 || w[4] == 0x0200) && w[5] == 0x5EFE) {
        PutGroups(&b, w, 6);
        Put(&b, u':');
        PutIpv4(&b, address + 12);
        done = true;
    }
    if (!done) PutGroups(&b, w, 8);

    // Like the socket library: a text that does not fit with its terminator is an error.
    if (b.length + 1 > capacity) return false;
    for (size_t i = 0; i < b.length; ++i)
        out[i] = b.text[i];
    out[b.length] = 0;
    return true;
}

} // namespace olv
