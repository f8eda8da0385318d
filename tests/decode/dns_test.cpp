// DNS client events through DecodeEvent: the query and the answer rows, record type names and
// the answer list made from the provider's results text.
#include "doctest.h"

#include "decode/provider_fixture.h"

namespace olv {

namespace {

constexpr uint16_t kQuery = 3006;
constexpr uint16_t kAnswer = 3008;

struct DnsFixture : ProviderFixture {
    // A null name or results text leaves the property out; status 0 leaves QueryStatus out.
    bool Lookup(uint16_t id, const char16_t* name, uint32_t type, const char16_t* results = nullptr,
                uint32_t status = 0, uint32_t pid = kSamplePid) {
        Begin(kDnsClientProvider, 0, kT0, pid, id);
        if (name != nullptr) AddSimWideString(e, u"QueryName", name);
        AddSimU32(e, u"QueryType", type);
        if (results != nullptr) AddSimWideString(e, u"QueryResults", results);
        if (status != 0) AddSimU32(e, u"QueryStatus", status);
        return Decode();
    }
};

std::string Answers(const char16_t* results, size_t capacity = 200) {
    char16_t out[1024];
    FormatDnsResults(results, out, capacity);
    return U8(out);
}

} // namespace

// Query rows and answers with a CNAME and addresses are pinned by the scenario goldens.
TEST_CASE("dns: failed and empty answers, and the events without rows") {
    DnsFixture f;
    REQUIRE(f.Lookup(kAnswer, u"nonexistent.invalid", 28, u"", 9003));
    CHECK(f.Detail() == "Type: AAAA");
    CHECK(f.Result() == "FAIL 9003");
    REQUIRE(f.Lookup(kAnswer, nullptr, 64, u" ; ;;type: 5 ;"));
    CHECK(f.Path() == "(empty)");
    CHECK(f.Detail() == "Type: ?"); // nothing is left of any item

    CHECK_FALSE(f.Lookup(3009, u"example.com", 1));
    CHECK_FALSE(f.Lookup(kQuery, u"example.com", 1, nullptr, 0, kOtherPid));
}

TEST_CASE("DnsTypeName and FormatDnsResults") {
    CHECK(U8(DnsTypeName(0)) == "?");
    CHECK(U8(DnsTypeName(33)) == "SRV");
    CHECK(U8(DnsTypeName(64)) == "?");
    CHECK(U8(DnsTypeName(65)) == "HTTPS");
    CHECK(U8(DnsTypeName(255)) == "ANY");
    CHECK(Answers(u";;1.2.3.4;;  ;5.6.7.8") == "1.2.3.4, 5.6.7.8");
    CHECK(Answers(u"  1.2.3.4  ;  ::1") == "1.2.3.4  , ::1"); // trailing blanks are kept
    CHECK(Answers(u"type:   ;x") == "x");
    CHECK(Answers(u"type: 5 6 7;") == "6 7"); // one number only
}

TEST_CASE("dns: an item is cut at 255 characters, the answers of a row at 199") {
    char16_t text[1024] = {};
    for (int i = 0; i < 300; ++i)
        text[i] = static_cast<char16_t>(u'a' + i % 26);
    AppendBounded(text, 1024, u";next");
    const std::string answers = Answers(text, 1024);
    CHECK(answers.size() == 255 + 6);
    CHECK(answers.substr(255) == ", next");

    DnsFixture f;
    char16_t many[1024] = {};
    for (int i = 0; i < 40; ++i)
        AppendBounded(many, 1024, u"203.0.113.100;");
    REQUIRE(f.Lookup(kAnswer, u"cdn.example", 65, many));
    CHECK(TextStartsWith(f.row.detail, u"HTTPS \u2192 203.0.113.100, 203.0.113.100"));
    CHECK(TextLength(f.row.detail) == 8 + 199);
}

} // namespace olv
