#include "facts/fact_texts.h"

#include "base/text.h"
#include "platform/file_trust.h"

namespace olv {

namespace {

uint32_t LittleEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

char16_t Utf16Unit(const uint8_t* bytes) {
    return static_cast<char16_t>(bytes[0] | bytes[1] << 8);
}

// Writes value as 8 lower-case hex digits.
void AppendHex8(char16_t* out, size_t capacity, uint32_t value) {
    char16_t digits[9];
    for (int i = 7; i >= 0; --i) {
        digits[i] = u"0123456789abcdef"[value & 15];
        value >>= 4;
    }
    digits[8] = 0;
    AppendBounded(out, capacity, digits);
}

// A fixed-form text: whole when it fits.
DetailsOutcome Fixed(const char16_t* text, char16_t* out, size_t capacity) {
    return CopyBounded(out, capacity, text) == TextLength(text) ? kDetailsWhole : kDetailsCut;
}

bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// Appends the units [from, from + count) of the string data; false when they did not all fit
// (cut before a high surrogate whose pair would not fit).
bool AppendUnits(const uint8_t* data, size_t from, size_t count, char16_t* out, size_t capacity,
                 size_t* used) {
    bool whole = true;
    for (size_t i = 0; i < count && whole; ++i) {
        const char16_t unit = Utf16Unit(data + 2 * (from + i));
        const size_t units = IsHighSurrogate(unit) && i + 1 < count ? 2 : 1;
        if (*used + units >= capacity) {
            whole = false;
        } else {
            out[(*used)++] = unit;
        }
    }
    out[*used] = 0;
    return whole;
}

DetailsOutcome StringDetails(const uint8_t* data, size_t units, bool multi, bool dataCut,
                             char16_t* out, size_t capacity) {
    size_t used = 0;
    bool whole = true;
    bool any = false;
    size_t start = 0;
    while (start < units) {
        size_t end = start;
        while (end < units && Utf16Unit(data + 2 * end) != 0)
            ++end;
        if (end == start) break; // an empty string ends a list (and is an empty text)
        if (any) {
            if (used + 1 >= capacity) {
                whole = false;
                break;
            }
            out[used++] = u' ';
            out[used] = 0;
        }
        any = true;
        if (!AppendUnits(data, start, end - start, out, capacity, &used)) {
            whole = false;
            break;
        }
        if (!multi) break;
        start = end + 1;
    }
    ReplaceUnpairedSurrogates(out, used);
    if (!any) {
        if (dataCut) {
            out[0] = 0;
            return kDetailsUnknown;
        }
        return Fixed(u"(Empty)", out, capacity);
    }
    return whole && !dataCut ? kDetailsWhole : kDetailsCut;
}

} // namespace

DetailsOutcome FormatRegistryDetails(uint32_t type, const uint8_t* data, uint32_t size,
                                     bool dataCut, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return kDetailsUnknown;
    out[0] = 0;
    if (data == nullptr) size = 0;
    const bool isString =
        type == kRegSz || type == kRegExpandSz || type == kRegLink || type == kRegMultiSz;
    if (size == 0 && !dataCut) return Fixed(u"(Empty)", out, capacity);
    if (isString) {
        return StringDetails(data, size / 2, type == kRegMultiSz, dataCut, out, capacity);
    }
    if ((type == kRegDword || type == kRegDwordBigEndian) && size == 4 && !dataCut) {
        uint32_t value = LittleEndian32(data);
        if (type == kRegDwordBigEndian) {
            value = (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) |
                    (value << 24);
        }
        char16_t text[24];
        CopyBounded(text, 24, u"DWORD (0x");
        AppendHex8(text, 24, value);
        AppendBounded(text, 24, u")");
        return Fixed(text, out, capacity);
    }
    if (type == kRegQword && size == 8 && !dataCut) {
        char16_t text[40];
        CopyBounded(text, 40, u"QWORD (0x");
        AppendHex8(text, 40, LittleEndian32(data + 4));
        AppendBounded(text, 40, u"-0x");
        AppendHex8(text, 40, LittleEndian32(data));
        AppendBounded(text, 40, u")");
        return Fixed(text, out, capacity);
    }
    // What is not a number of its size or a text is binary, however much of it was read.
    return Fixed(u"Binary Data", out, capacity);
}

DetailsOutcome RegistryDetailsText(const RegistryValue& value, char16_t* out, size_t capacity) {
    if (value.status == kRegistryValueRead) {
        return FormatRegistryDetails(value.type, value.data, value.size, false, out, capacity);
    }
    if (value.status == kRegistryValueTooLarge) {
        return FormatRegistryDetails(value.type, nullptr, 0, true, out, capacity);
    }
    if (out != nullptr && capacity > 0) out[0] = 0;
    return kDetailsUnknown;
}

const char16_t* IntegrityLevelName(uint32_t rid) {
    if (rid < 0x1000) return u"Untrusted";
    if (rid < 0x2000) return u"Low";
    if (rid < 0x3000) return u"Medium";
    if (rid < 0x4000) return u"High";
    if (rid < 0x5000) return u"System";
    return u"Protected";
}

size_t LogonIdText(uint64_t logonId, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    char16_t text[19] = u"0x";
    char16_t digits[16];
    int count = 0;
    do {
        digits[count++] = u"0123456789abcdef"[logonId & 15];
        logonId >>= 4;
    } while (logonId != 0);
    for (int i = 0; i < count; ++i)
        text[2 + i] = digits[count - 1 - i];
    text[2 + count] = 0;
    return CopyBounded(out, capacity, text);
}

SignatureVerdict SignatureVerdictOf(uint32_t trustResult) {
    switch (trustResult) {
    case kTrustOk:
        return {true, true, u"Valid"};
    case kTrustCertExpired:
        return {true, true, u"Expired"};
    case kTrustCertRevoked:
    case kTrustCryptRevoked:
    case kTrustExplicitDistrust:
        return {true, true, u"Revoked"};
    case kTrustCertUntrustedRoot:
    case kTrustCertChaining:
    case kTrustCertUntrustedTestRoot:
    case kTrustCertWrongUsage:
    case kTrustSubjectNotTrusted:
    case kTrustSecuritySettings:
        return {true, true, u"Untrusted"};
    case kTrustBadDigest:
    case kTrustCertSignature:
        return {true, true, u"Invalid"};
    case kTrustNoSignature:
    case kTrustSubjectFormUnknown:
    case kTrustProviderUnknown:
        return {true, false, u"Unavailable"};
    default:
        return {false, false, u"Unavailable"};
    }
}

const char16_t* SignedText(bool isSigned) {
    return isSigned ? u"true" : u"false";
}

} // namespace olv
