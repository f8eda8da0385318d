// The texts rules compare for registry value data, token facts and signatures.
#include "doctest.h"

#include <cstring>
#include <string>
#include <vector>

#include "facts/fact_texts.h"
#include "platform/file_trust.h"
#include "support/text_check.h"

namespace olv {

using namespace std::string_literals;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int value : values)
        bytes.push_back(static_cast<uint8_t>(value));
    return bytes;
}

// UTF-16 little-endian bytes of text, with extra bytes after it.
std::vector<uint8_t> Utf16Bytes(const std::u16string& text, std::initializer_list<int> after = {}) {
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    for (int value : after)
        bytes.push_back(static_cast<uint8_t>(value));
    return bytes;
}

struct Formatted {
    std::string text;
    DetailsOutcome outcome;
};

Formatted Format(uint32_t type, const std::vector<uint8_t>& data, bool cut = false,
                 size_t capacity = kDetailsChars) {
    std::vector<char16_t> out(capacity + 1, u'#');
    const DetailsOutcome outcome = FormatRegistryDetails(
        type, data.data(), static_cast<uint32_t>(data.size()), cut, out.data(), capacity);
    CHECK(out[capacity] == u'#'); // nothing written past the capacity
    return {capacity > 0 ? U8(out.data()) : std::string(), outcome};
}

} // namespace

TEST_CASE("registry value data as the rules write it, every type and edge") {
    struct Row {
        const char* what;
        uint32_t type;
        std::vector<uint8_t> data;
        const char* text;
        DetailsOutcome outcome;
    };
    const Row rows[] = {
        {"dword", kRegDword, Bytes({0x0a, 0, 0, 0}), "DWORD (0x0000000a)", kDetailsWhole},
        {"dword all bits", kRegDword, Bytes({0xef, 0xbe, 0xad, 0xde}), "DWORD (0xdeadbeef)",
         kDetailsWhole},
        {"big-endian dword", kRegDwordBigEndian, Bytes({0, 0, 0x01, 0x02}), "DWORD (0x00000102)",
         kDetailsWhole},
        {"dword of 3 bytes", kRegDword, Bytes({1, 0, 0}), "Binary Data", kDetailsWhole},
        {"dword of 8 bytes", kRegDword, Bytes({1, 0, 0, 0, 0, 0, 0, 0}), "Binary Data",
         kDetailsWhole},
        {"qword: high half first", kRegQword, Bytes({0x0a, 0, 0, 0, 0x02, 0, 0, 0x80}),
         "QWORD (0x80000002-0x0000000a)", kDetailsWhole},
        {"qword of 4 bytes", kRegQword, Bytes({1, 0, 0, 0}), "Binary Data", kDetailsWhole},
        {"string with terminator", kRegSz, Utf16Bytes(u"C:\\x.exe", {0, 0}), "C:\\x.exe",
         kDetailsWhole},
        {"string without terminator", kRegSz, Utf16Bytes(u"abc"), "abc", kDetailsWhole},
        {"string, odd byte count", kRegSz, Utf16Bytes(u"abc", {0x41}), "abc", kDetailsWhole},
        {"string, text after the terminator", kRegSz, Utf16Bytes(u"ab", {0, 0, 'z', 0}), "ab",
         kDetailsWhole},
        {"string, one byte", kRegSz, Bytes({0x41}), "(Empty)", kDetailsWhole},
        {"string, terminator only", kRegSz, Bytes({0, 0}), "(Empty)", kDetailsWhole},
        {"expandable string, not expanded", kRegExpandSz, Utf16Bytes(u"%SystemRoot%\\a", {0, 0}),
         "%SystemRoot%\\a", kDetailsWhole},
        {"link", kRegLink, Utf16Bytes(u"\\REGISTRY\\MACHINE\\X"), "\\REGISTRY\\MACHINE\\X",
         kDetailsWhole},
        {"unpaired surrogate", kRegSz, Utf16Bytes(u"a\xD800z"), "a\xEF\xBF\xBDz", kDetailsWhole},
        {"multi-string", kRegMultiSz, Utf16Bytes(u"one\0two\0\0"s), "one two", kDetailsWhole},
        {"multi-string without final terminators", kRegMultiSz, Utf16Bytes(u"one\0two"s), "one two",
         kDetailsWhole},
        {"multi-string, strings after the empty one", kRegMultiSz, Utf16Bytes(u"a\0\0b\0\0"s), "a",
         kDetailsWhole},
        {"multi-string, empty", kRegMultiSz, Bytes({0, 0, 0, 0}), "(Empty)", kDetailsWhole},
        {"binary", kRegBinary, Bytes({1, 2, 3}), "Binary Data", kDetailsWhole},
        {"none with data", kRegNone, Bytes({1}), "Binary Data", kDetailsWhole},
        {"resource list", kRegResourceList, Bytes({1, 2}), "Binary Data", kDetailsWhole},
        {"type unknown to the system", 0x1234, Bytes({1}), "Binary Data", kDetailsWhole},
        {"empty dword", kRegDword, {}, "(Empty)", kDetailsWhole},
        {"empty binary", kRegBinary, {}, "(Empty)", kDetailsWhole},
        {"empty string", kRegSz, {}, "(Empty)", kDetailsWhole},
    };
    for (const Row& row : rows) {
        CAPTURE(row.what);
        const Formatted formatted = Format(row.type, row.data);
        CHECK(formatted.text == row.text);
        CHECK(formatted.outcome == row.outcome);
    }
}

TEST_CASE("registry value data that does not fit, or was not read whole") {
    SUBCASE("a string longer than the text is cut, never splitting a surrogate pair") {
        const Formatted cut = Format(kRegSz, Utf16Bytes(u"abcdef"), false, 4);
        CHECK(cut.text == "abc");
        CHECK(cut.outcome == kDetailsCut);
        const Formatted pair = Format(kRegSz, Utf16Bytes(u"ab\xD83D\xDE00"), false, 4);
        CHECK(pair.text == "ab"); // the pair needs two units, one is left
        CHECK(pair.outcome == kDetailsCut);
        const Formatted fits = Format(kRegSz, Utf16Bytes(u"ab\xD83D\xDE00"), false, 5);
        CHECK(fits.text == "ab\xF0\x9F\x98\x80");
        CHECK(fits.outcome == kDetailsWhole);
        const Formatted list = Format(kRegMultiSz, Utf16Bytes(u"ab\0cd"s), false, 3);
        CHECK(list.text == "ab");
        CHECK(list.outcome == kDetailsCut);
    }
    SUBCASE("a huge string fills the text and says so") {
        const std::u16string huge(kRegistryValueDataMax / 2, u'x');
        const Formatted formatted = Format(kRegExpandSz, Utf16Bytes(huge));
        CHECK(formatted.text == std::string(kDetailsChars - 1, 'x'));
        CHECK(formatted.outcome == kDetailsCut);
    }
    SUBCASE("fixed forms cut by a small text") {
        CHECK(Format(kRegDword, Bytes({1, 0, 0, 0}), false, 8).outcome == kDetailsCut);
        CHECK(Format(kRegBinary, Bytes({1}), false, 11).text == "Binary Dat");
        CHECK(Format(kRegBinary, Bytes({1}), false, 12).outcome == kDetailsWhole);
        CHECK(Format(kRegQword, Bytes({1, 0, 0, 0, 0, 0, 0, 0}), false, 29).outcome == kDetailsCut);
        CHECK(Format(kRegQword, Bytes({1, 0, 0, 0, 0, 0, 0, 0}), false, 30).outcome ==
              kDetailsWhole);
    }
    SUBCASE("data read only in part") {
        // The start of a text is known as a start only; a binary value is binary however long.
        CHECK(Format(kRegSz, Utf16Bytes(u"abc"), true).text == "abc");
        CHECK(Format(kRegSz, Utf16Bytes(u"abc"), true).outcome == kDetailsCut);
        CHECK(Format(kRegSz, {}, true).outcome == kDetailsUnknown);
        CHECK(Format(kRegSz, {}, true).text.empty());
        CHECK(Format(kRegBinary, {}, true).text == "Binary Data");
        CHECK(Format(kRegBinary, {}, true).outcome == kDetailsWhole);
        // A number whose bytes were not all read is not that number.
        CHECK(Format(kRegDword, Bytes({1, 0, 0, 0}), true).text == "Binary Data");
    }
    SUBCASE("no room, no data pointer") {
        CHECK(FormatRegistryDetails(kRegDword, nullptr, 4, false, nullptr, 8) == kDetailsUnknown);
        char16_t out[2] = {u'#', u'#'};
        CHECK(FormatRegistryDetails(kRegDword, nullptr, 0, false, out, 0) == kDetailsUnknown);
        CHECK(out[0] == u'#');
        char16_t text[16];
        CHECK(FormatRegistryDetails(kRegDword, nullptr, 4, false, text, 16) == kDetailsWhole);
        CHECK(U8(text) == "(Empty)");
    }
}

TEST_CASE("a read's Details: known only for what was read") {
    static RegistryValue value; // 64 KB: not on the test's stack
    char16_t out[kDetailsChars];
    value.status = kRegistryValueRead;
    value.type = kRegDword;
    value.size = 4;
    value.fullSize = 4;
    std::memcpy(value.data, "\x01\x00\x00\x00", 4);
    CHECK(RegistryDetailsText(value, out, kDetailsChars) == kDetailsWhole);
    CHECK(U8(out) == "DWORD (0x00000001)");

    value.status = kRegistryValueTooLarge;
    value.type = kRegBinary;
    value.size = 0;
    value.fullSize = kRegistryValueDataMax + 1;
    CHECK(RegistryDetailsText(value, out, kDetailsChars) == kDetailsWhole);
    CHECK(U8(out) == "Binary Data");
    value.type = kRegSz;
    CHECK(RegistryDetailsText(value, out, kDetailsChars) == kDetailsUnknown);

    for (RegistryValueStatus status :
         {kRegistryValueGone, kRegistryKeyGone, kRegistryAccessDenied, kRegistryBadPath,
          kRegistryReadFailed, kRegistryNotAvailable}) {
        CAPTURE(RegistryValueStatusName(status));
        value.status = status;
        value.type = kRegDword;
        value.size = 4;
        out[0] = u'#';
        CHECK(RegistryDetailsText(value, out, kDetailsChars) == kDetailsUnknown);
        CHECK(out[0] == 0);
    }
}

TEST_CASE("token facts as rules compare them") {
    SUBCASE("integrity levels by range") {
        const std::pair<uint32_t, const char*> levels[] = {
            {0x0000, "Untrusted"}, {0x0fff, "Untrusted"},      {0x1000, "Low"},
            {0x1fff, "Low"},       {0x2000, "Medium"},         {0x2100, "Medium"},
            {0x3000, "High"},      {0x3fff, "High"},           {0x4000, "System"},
            {0x5000, "Protected"}, {0xffffffffu, "Protected"},
        };
        for (const auto& level : levels) {
            CAPTURE(level.first);
            CHECK(U8(IntegrityLevelName(level.first)) == level.second);
        }
    }
    SUBCASE("logon ids in lower-case hex without leading zeros") {
        char16_t out[24];
        CHECK(LogonIdText(0x3e7, out, 24) == 5);
        CHECK(U8(out) == "0x3e7");
        LogonIdText(0, out, 24);
        CHECK(U8(out) == "0x0");
        LogonIdText(0x00000001000abcdeull, out, 24); // the high part counts
        CHECK(U8(out) == "0x1000abcde");
        LogonIdText(~0ull, out, 24);
        CHECK(U8(out) == "0xffffffffffffffff");
        CHECK(LogonIdText(0x3e7, out, 4) == 3);
        CHECK(U8(out) == "0x3");
        CHECK(LogonIdText(0x3e7, nullptr, 4) == 0);
    }
}

TEST_CASE("trust check answers in the rules' words") {
    struct Row {
        uint32_t result;
        bool signedKnown;
        bool isSigned;
        const char* status;
    };
    const Row rows[] = {
        {kTrustOk, true, true, "Valid"},
        {kTrustCertExpired, true, true, "Expired"},
        {kTrustCertRevoked, true, true, "Revoked"},
        {kTrustCryptRevoked, true, true, "Revoked"},
        {kTrustExplicitDistrust, true, true, "Revoked"},
        {kTrustCertUntrustedRoot, true, true, "Untrusted"},
        {kTrustCertChaining, true, true, "Untrusted"},
        {kTrustCertWrongUsage, true, true, "Untrusted"},
        {kTrustSubjectNotTrusted, true, true, "Untrusted"},
        {kTrustBadDigest, true, true, "Invalid"},
        {kTrustCertSignature, true, true, "Invalid"},
        {kTrustNoSignature, true, false, "Unavailable"},
        {kTrustSubjectFormUnknown, true, false, "Unavailable"},
        {kTrustProviderUnknown, true, false, "Unavailable"},
        {0x80070005u, false, false, "Unavailable"}, // access denied: nothing said either way
    };
    for (const Row& row : rows) {
        CAPTURE(row.result);
        const SignatureVerdict verdict = SignatureVerdictOf(row.result);
        CHECK(verdict.signedKnown == row.signedKnown);
        CHECK(verdict.isSigned == row.isSigned);
        CHECK(U8(verdict.status) == row.status);
    }
    CHECK(U8(SignedText(true)) == "true");
    CHECK(U8(SignedText(false)) == "false");
}

} // namespace olv
