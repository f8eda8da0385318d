// Text work of the rule engine (see sigma_match_text.h).
#include "sigma/sigma_match_text.h"

#include <cstring>

namespace olv::sigma {

namespace {

// Decodes one UTF-8 sequence at p (n bytes left): the code point and its length, or length 0
// when the bytes there are not a valid sequence.
uint32_t DecodeUtf8(const unsigned char* p, size_t n, size_t* length) {
    *length = 0;
    if (n == 0) return 0;
    const uint32_t c = p[0];
    if (c < 0x80) {
        *length = 1;
        return c;
    }
    size_t extra;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
        extra = 1;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (extra >= n) return 0;
    for (size_t i = 1; i <= extra; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    *length = extra + 1;
    return cp;
}

template <typename Put> void EachUtf16(const std::string& text, Put put) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0;
    while (i < text.size()) {
        size_t length = 0;
        uint32_t cp = DecodeUtf8(p + i, text.size() - i, &length);
        if (length == 0) {
            cp = 0xFFFD;
            length = 1;
        }
        i += length;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            if (!put(static_cast<char16_t>(0xD800 + (cp >> 10)), static_cast<char16_t>(0xDC00 + (cp & 0x3FF))))
                return;
        } else if (!put(static_cast<char16_t>(cp), char16_t{0})) {
            return;
        }
    }
}

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool ParseIpv4(const char16_t* t, size_t n, uint8_t out[4]) {
    size_t part = 0, i = 0;
    while (part < 4) {
        if (i >= n || t[i] < u'0' || t[i] > u'9') return false;
        uint32_t value = 0;
        size_t digits = 0;
        while (i < n && t[i] >= u'0' && t[i] <= u'9') {
            value = value * 10 + (t[i] - u'0');
            if (++digits > 3 || value > 255) return false;
            ++i;
        }
        out[part++] = static_cast<uint8_t>(value);
        if (part < 4) {
            if (i >= n || t[i] != u'.') return false;
            ++i;
        }
    }
    return i == n;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool ParseIpv6(const char16_t* t, size_t n, uint8_t out[16]) {
    uint16_t groups[8] = {};
    int count = 0, gap = -1;
    size_t i = 0;
    if (n >= 2 && t[0] == u':' && t[1] == u':') {
        gap = 0;
        i = 2;
    } else if (n >= 1 && t[0] == u':') {
        return false;
    }
    while (i < n) {
        if (count >= 8) return false;
        // A dotted IPv4 tail takes the last two groups.
        size_t end = i;
        bool dotted = false;
        while (end < n && t[end] != u':') {
            if (t[end] == u'.') dotted = true;
            ++end;
        }
        if (dotted) {
            uint8_t v4[4];
            if (end != n || count > 6 || !ParseIpv4(t + i, n - i, v4)) return false;
            groups[count++] = static_cast<uint16_t>((v4[0] << 8) | v4[1]);
            groups[count++] = static_cast<uint16_t>((v4[2] << 8) | v4[3]);
            i = n;
            break;
        }
        if (end == i || end - i > 4) return false;
        uint32_t value = 0;
        for (size_t k = i; k < end; ++k) {
            const int d = HexDigit(t[k]);
            if (d < 0) return false;
            value = (value << 4) | static_cast<uint32_t>(d);
        }
        groups[count++] = static_cast<uint16_t>(value);
        i = end;
        if (i < n) {
            ++i; // ':'
            if (i < n && t[i] == u':') {
                if (gap >= 0) return false;
                gap = count;
                ++i;
            } else if (i == n) {
                return false; // a trailing single ':'
            }
        }
    }
    if (gap < 0 && count != 8) return false;
    if (gap >= 0 && count > 7) return false;
    uint16_t full[8] = {};
    if (gap < 0) {
        std::memcpy(full, groups, sizeof full);
    } else {
        for (int k = 0; k < gap; ++k)
            full[k] = groups[k];
        const int tail = count - gap;
        for (int k = 0; k < tail; ++k)
            full[8 - tail + k] = groups[gap + k];
    }
    for (int k = 0; k < 8; ++k) {
        out[2 * k] = static_cast<uint8_t>(full[k] >> 8);
        out[2 * k + 1] = static_cast<uint8_t>(full[k] & 0xFF);
    }
    return true;
}

} // namespace

bool ValidUtf8(const char* bytes, size_t size, size_t* bad) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    while (i < size) {
        if (p[i] != 0 && p[i] < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        DecodeUtf8(p + i, size - i, &length);
        if (length == 0 || p[i] == 0) {
            if (bad != nullptr) *bad = i;
            return false;
        }
        i += length;
    }
    return true;
}

void Utf8ToUtf16(const std::string& text, std::u16string* out) {
    out->clear();
    out->reserve(text.size());
    EachUtf16(text, [&](char16_t a, char16_t b) {
        out->push_back(a);
        if (b != 0) out->push_back(b);
        return true;
    });
}

void Utf8ToUtf16Bounded(const std::string& text, char16_t* out, size_t capacity) {
    if (capacity == 0) return;
    size_t n = 0;
    EachUtf16(text, [&](char16_t a, char16_t b) {
        const size_t need = b != 0 ? 2 : 1;
        if (n + need >= capacity) return false;
        out[n++] = a;
        if (b != 0) out[n++] = b;
        return true;
    });
    out[n] = 0;
}

bool EqualsAsciiFolded(const std::string& text, const char* lower) {
    size_t i = 0;
    for (; i < text.size(); ++i) {
        if (lower[i] == 0) return false;
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != lower[i]) return false;
    }
    return lower[i] == 0;
}

bool ParseBool(const std::string& text, bool* value) {
    if (EqualsAsciiFolded(text, "true") || EqualsAsciiFolded(text, "yes")) {
        *value = true;
        return true;
    }
    if (EqualsAsciiFolded(text, "false") || EqualsAsciiFolded(text, "no")) {
        *value = false;
        return true;
    }
    return false;
}

void ParseWildcards(const std::u16string& value, std::vector<Elem>* out) {
    out->clear();
    out->reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        const char16_t c = value[i];
        if (c == u'\\' && i + 1 < value.size() &&
            (value[i + 1] == u'*' || value[i + 1] == u'?' || value[i + 1] == u'\\')) {
            out->push_back(Elem{value[i + 1], ElemKind::kChar});
            ++i;
        } else if (c == u'*') {
            if (out->empty() || out->back().kind != ElemKind::kAnyRun) out->push_back(Elem{0, ElemKind::kAnyRun});
        } else if (c == u'?') {
            out->push_back(Elem{0, ElemKind::kAnyOne});
        } else {
            out->push_back(Elem{c, ElemKind::kChar});
        }
    }
}

void EncodeValue(const std::u16string& value, int encoding, std::string* bytes) {
    bytes->clear();
    if (encoding == 0) {
        char buffer[4];
        for (size_t i = 0; i < value.size(); ++i) {
            uint32_t cp = value[i];
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < value.size() && value[i + 1] >= 0xDC00 &&
                value[i + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (value[i + 1] - 0xDC00);
                ++i;
            } else if (cp >= 0xD800 && cp <= 0xDFFF) {
                cp = 0xFFFD;
            }
            size_t n;
            if (cp < 0x80) {
                buffer[0] = static_cast<char>(cp);
                n = 1;
            } else if (cp < 0x800) {
                buffer[0] = static_cast<char>(0xC0 | (cp >> 6));
                buffer[1] = static_cast<char>(0x80 | (cp & 0x3F));
                n = 2;
            } else if (cp < 0x10000) {
                buffer[0] = static_cast<char>(0xE0 | (cp >> 12));
                buffer[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                buffer[2] = static_cast<char>(0x80 | (cp & 0x3F));
                n = 3;
            } else {
                buffer[0] = static_cast<char>(0xF0 | (cp >> 18));
                buffer[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                buffer[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                buffer[3] = static_cast<char>(0x80 | (cp & 0x3F));
                n = 4;
            }
            bytes->append(buffer, n);
        }
        return;
    }
    if (encoding == 3) bytes->append("\xFF\xFE", 2);
    for (const char16_t c : value) {
        const char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
        if (encoding == 2) {
            bytes->push_back(hi);
            bytes->push_back(lo);
        } else {
            bytes->push_back(lo);
            bytes->push_back(hi);
        }
    }
}

std::string Base64(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
        out.push_back(kBase64Alphabet[v >> 18]);
        out.push_back(kBase64Alphabet[(v >> 12) & 63]);
        out.push_back(kBase64Alphabet[(v >> 6) & 63]);
        out.push_back(kBase64Alphabet[v & 63]);
    }
    const size_t rest = bytes.size() - i;
    if (rest != 0) {
        const uint32_t v = (uint32_t{p[i]} << 16) | (rest == 2 ? uint32_t{p[i + 1]} << 8 : 0);
        out.push_back(kBase64Alphabet[v >> 18]);
        out.push_back(kBase64Alphabet[(v >> 12) & 63]);
        out.push_back(rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

void Base64Offsets(const std::string& bytes, std::string out[3]) {
    // With k bytes before the value, the first characters mix in those bytes (none, two or
    // three characters); at the end, the characters that mix in what follows the value go too
    // (none, three or two, by where the value ends within a group of three).
    static constexpr size_t kDropStart[3] = {0, 2, 3};
    static constexpr size_t kDropEnd[3] = {0, 3, 2};
    for (size_t k = 0; k < 3; ++k) {
        const std::string encoded = Base64(std::string(k, ' ') + bytes);
        const size_t dropEnd = kDropEnd[(bytes.size() + k) % 3];
        if (encoded.size() <= kDropStart[k] + dropEnd) {
            out[k].clear();
            continue;
        }
        out[k] = encoded.substr(kDropStart[k], encoded.size() - kDropStart[k] - dropEnd);
    }
}

bool ParseIp(const char16_t* text, size_t length, uint8_t bytes[16], uint8_t* family) {
    std::memset(bytes, 0, 16);
    bool v6 = false;
    for (size_t i = 0; i < length; ++i)
        v6 = v6 || text[i] == u':';
    if (!v6) {
        if (!ParseIpv4(text, length, bytes)) return false;
        *family = 4;
        return true;
    }
    uint8_t full[16];
    if (!ParseIpv6(text, length, full)) return false;
    static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(full, kMapped, 12) == 0) {
        std::memcpy(bytes, full + 12, 4);
        *family = 4;
        return true;
    }
    std::memcpy(bytes, full, 16);
    *family = 6;
    return true;
}

bool ParseCidr(const std::u16string& text, Cidr* out) {
    std::memset(out, 0, sizeof *out);
    const size_t slash = text.find(u'/');
    const size_t addressLength = slash == std::u16string::npos ? text.size() : slash;
    uint8_t family = 0;
    if (!ParseIp(text.data(), addressLength, out->bytes, &family)) return false;
    // A written IPv4-mapped network keeps its IPv6 prefix length in IPv4 terms.
    bool mapped = family == 4 && text.find(u':') < addressLength;
    uint32_t prefix = family == 4 ? 32 : 128;
    if (slash != std::u16string::npos) {
        if (slash + 1 >= text.size() || text.size() - slash - 1 > 3) return false;
        prefix = 0;
        for (size_t i = slash + 1; i < text.size(); ++i) {
            if (text[i] < u'0' || text[i] > u'9') return false;
            prefix = prefix * 10 + (text[i] - u'0');
        }
        if (mapped) {
            if (prefix < 96) return false;
            prefix -= 96;
        }
        if (prefix > (family == 4 ? 32u : 128u)) return false;
    }
    out->family = family;
    out->prefix = static_cast<uint8_t>(prefix);
    return true;
}

bool InCidr(const Cidr& network, const uint8_t bytes[16], uint8_t family) {
    if (family != network.family) return false;
    const uint32_t full = network.prefix / 8;
    if (std::memcmp(network.bytes, bytes, full) != 0) return false;
    const uint32_t bits = network.prefix % 8;
    if (bits == 0) return true;
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - bits));
    return (network.bytes[full] & mask) == (bytes[full] & mask);
}

bool ParseNumber(const char16_t* text, size_t length, double* value) {
    size_t i = 0;
    while (i < length && (text[i] == u' ' || text[i] == u'\t')) ++i;
    while (length > i && (text[length - 1] == u' ' || text[length - 1] == u'\t')) --length;
    if (i >= length) return false;
    bool negative = false;
    if (text[i] == u'-' || text[i] == u'+') {
        negative = text[i] == u'-';
        ++i;
    }
    if (i >= length) return false;
    double result = 0;
    if (length - i > 2 && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        i += 2;
        if (length - i > 16) return false;
        for (; i < length; ++i) {
            const int d = HexDigit(text[i]);
            if (d < 0) return false;
            result = result * 16 + d;
        }
    } else {
        size_t digits = 0;
        for (; i < length && text[i] >= u'0' && text[i] <= u'9'; ++i, ++digits)
            result = result * 10 + (text[i] - u'0');
        if (i < length && text[i] == u'.') {
            double scale = 0.1;
            for (++i; i < length && text[i] >= u'0' && text[i] <= u'9'; ++i, ++digits, scale /= 10)
                result += (text[i] - u'0') * scale;
        }
        if (digits == 0 || i != length || digits > 40) return false;
    }
    *value = negative ? -result : result;
    return true;
}

void FailureTable(const std::u16string& literal, std::vector<uint32_t>* next) {
    next->assign(literal.size() + 1, 0);
    uint32_t k = 0;
    for (size_t i = 1; i < literal.size(); ++i) {
        while (k > 0 && literal[i] != literal[k]) k = (*next)[k];
        if (literal[i] == literal[k]) ++k;
        (*next)[i + 1] = k;
    }
}

bool ContainsLiteral(const char16_t* text, size_t n, const std::u16string& literal,
                     const std::vector<uint32_t>& next) {
    const size_t m = literal.size();
    if (m == 0) return true;
    if (m > n) return false;
    const char16_t first = literal[0];
    uint32_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        if (k == 0) {
            // Skip quickly to the next place the first character occurs.
            while (i < n && text[i] != first) ++i;
            if (i >= n) return false;
        }
        while (k > 0 && text[i] != literal[k]) k = next[k];
        if (text[i] == literal[k]) ++k;
        if (k == m) return true;
    }
    return false;
}

} // namespace olv::sigma
