// DNS client events through DecodeEvent: the query and the answer rows, record type names and
// the answer list made from the provider's results text.
#include "doctest.h"

#include "base/text.h"
#include "decode/provider_fixture.h"

namespace olv {

namespace {

constexpr uint16_t kQuery = 3006;
constexpr uint16_t kAnswer = 3008;

struct DnsFixture : ProviderFixture {
    void Lookup(uint16_t id, const char16_t* name, uint32_t type, uint32_t pid = kSamplePid) {
        Begin(kDnsClientProvider, 0, kT0, pid, id);
        if (name != nullptr) AddSimWideString(e, u"QueryName", name);
        AddSimU32(e, u"QueryType", type);
    }
};

std::string Answers(const char16_t* results, size_t capacity = 200) {
    char16_t out[256];
    FormatDnsResults(results, out, capacity);
    return U8(out);
}

} // namespace

TEST_CASE("dns: a lookup of a followed process gives a query row and an answer row") {
    DnsFixture f;
    f.Lookup(kQuery, u"example.com", 1);
    REQUIRE(f.Decode());
    CHECK(f.Operation() == "DNS query");
    CHECK(f.Path() == "example.com");
    CHECK(f.Detail() == "Type: A");
    CHECK(f.Result() == "...");
    CHECK(f.row.category == kCategoryNetwork);
    CHECK(f.row.pid == kSamplePid);
    CHECK(U8(f.row.process) == "sample.exe");

    f.Lookup(kAnswer, u"example.com", 1);
    AddSimU32(f.e, u"QueryStatus", 0);
    AddSimWideString(f.e, u"QueryResults", u"93.184.216.34;93.184.216.35;");
    REQUIRE(f.Decode());
    CHECK(f.Operation() == "DNS answer");
    CHECK(f.Detail() == "A \xE2\x86\x92 93.184.216.34, 93.184.216.35");
    CHECK(f.Result() == "OK");
}

TEST_CASE("dns: a CNAME chain lists the target and then the addresses") {
    DnsFixture f;
    f.Lookup(kAnswer, u"www.example.org", 28);
    AddSimWideString(f.e, u"QueryResults",
                     u"type:  5 edge.example.net;::ffff:192.0.2.7;2001:db8::7;");
    REQUIRE(f.Decode());
    CHECK(f.Detail() == "AAAA \xE2\x86\x92 edge.example.net, ::ffff:192.0.2.7, 2001:db8::7");
    CHECK(f.Result() == "OK"); // no status property
}

TEST_CASE("dns: a failed lookup, missing values, other ids and other processes") {
    DnsFixture f;
    f.Lookup(kAnswer, u"nonexistent.invalid", 1);
    AddSimU32(f.e, u"QueryStatus", 9003);
    AddSimWideString(f.e, u"QueryResults", u"");
    REQUIRE(f.Decode());
    CHECK(f.Detail() == "Type: A");
    CHECK(f.Result() == "FAIL 9003");

    f.Lookup(kQuery, nullptr, 0);
    REQUIRE(f.Decode());
    CHECK(f.Path() == "(empty)");
    CHECK(f.Detail() == "Type: ?");

    f.Lookup(kAnswer, u"x.example", 64);
    AddSimWideString(f.e, u"QueryResults", u" ; ;;type: 5 ;");
    REQUIRE(f.Decode());
    CHECK(f.Detail() == "Type: ?"); // nothing left of any item

    f.Lookup(3009, u"example.com", 1);
    CHECK_FALSE(f.Decode());
    f.Lookup(kQuery, u"example.com", 1, kOtherPid);
    CHECK_FALSE(f.Decode());
}

TEST_CASE("DnsTypeName") {
    struct Case {
        uint32_t type;
        const char* name;
    } cases[] = {{0, "?"},    {1, "A"},      {2, "NS"},    {5, "CNAME"}, {6, "SOA"},
                 {12, "PTR"}, {15, "MX"},    {16, "TXT"},  {28, "AAAA"}, {33, "SRV"},
                 {64, "?"},   {65, "HTTPS"}, {255, "ANY"}, {256, "?"},   {0xFFFFFFFF, "?"}};
    for (const Case& c : cases) {
        CAPTURE(c.type);
        CHECK(U8(DnsTypeName(c.type)) == c.name);
    }
}

TEST_CASE("FormatDnsResults") {
    struct Case {
        const char16_t* results;
        const char* answers;
    } cases[] = {
        {u"", ""},
        {u"1.2.3.4", "1.2.3.4"},
        {u"1.2.3.4;", "1.2.3.4"},
        {u";;1.2.3.4;;  ;5.6.7.8;", "1.2.3.4, 5.6.7.8"},
        {u"  1.2.3.4  ;  5.6.7.8", "1.2.3.4  , 5.6.7.8"}, // trailing blanks are kept
        {u"type: 5 a.example;type:12 b.example;", "a.example, b.example"},
        {u"type:5", ""},
        {u"type:   ;x", "x"},
        {u"type: 5 6 7;", "6 7"},     // one number only
        {u"Type: 5 a;", "Type: 5 a"}, // the prefix is matched exactly
        {u"  type: 28   ::1", "::1"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.answers);
        CHECK(Answers(c.results) == c.answers);
    }
    CHECK(Answers(nullptr).empty());
}

TEST_CASE("FormatDnsResults: long items and lists are cut") {
    char16_t text[1024];
    // One item of 300 characters: its first 255 are kept, then the output cuts at 199.
    for (int i = 0; i < 300; ++i)
        text[i] = static_cast<char16_t>(u'a' + i % 26);
    text[300] = 0;
    char16_t out[256];
    FormatDnsResults(text, out, 256);
    CHECK(TextLength(out) == 255);
    FormatDnsResults(text, out, 200);
    CHECK(TextLength(out) == 199);

    // An item cut at 255 characters drops the rest of itself, not the next item.
    CopyBounded(text + 300, 10, u";next");
    char16_t big[1024];
    FormatDnsResults(text, big, 1024);
    CHECK(TextLength(big) == 255 + 6);
    CHECK(TextEndsWith(big, u", next"));

    // The answer row: answers at 199 characters, the detail within its 255.
    DnsFixture f;
    char16_t many[1024] = {};
    for (int i = 0; i < 40; ++i)
        AppendBounded(many, 1024, u"203.0.113.100;");
    f.Lookup(kAnswer, u"cdn.example", 65);
    AddSimWideString(f.e, u"QueryResults", many);
    REQUIRE(f.Decode());
    CHECK(TextStartsWith(f.row.detail, u"HTTPS \u2192 203.0.113.100, 203.0.113.100"));
    CHECK(TextLength(f.row.detail) == 8 + 199);
}

} // namespace olv
