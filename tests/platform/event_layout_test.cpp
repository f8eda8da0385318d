#include "doctest.h"

#include <cstring>
#include <vector>

#include "platform/event_layout.h"
#include "platform/sim/sim_schema.h"
#include "support/event_builder.h"

using namespace olv;

namespace {

constexpr Guid kAnyProvider = {0xA1, 0xB2, 0xC3, {1, 2, 3, 4, 5, 6, 7, 8}};

EventLayout BuildLayout(const SchemaClass& schema) {
    static uint8_t block[8192];
    EventLayout layout{};
    const size_t bytes = WriteSchemaBlock(schema, block, sizeof block);
    REQUIRE(bytes > 0);
    REQUIRE(BuildEventLayout(block, bytes, &layout) == LayoutBuild::kBuilt);
    return layout;
}

SchemaClass Custom(const SchemaField* fields, uint32_t count) {
    return SchemaClass{"custom", kAnyProvider, 1, 0, 0, fields, count, nullptr, 0};
}

// Walks a copy of the payload in a block of exactly its size, so a read past it trips the
// address sanitizer.
WalkResult Walk(const EventLayout& layout, const std::vector<uint8_t>& payload,
                uint32_t pointerBytes, PropertySpan* spans) {
    std::vector<uint8_t> exact(payload);
    exact.shrink_to_fit();
    return WalkEventPayload(layout, exact.empty() ? nullptr : exact.data(),
                            static_cast<uint32_t>(exact.size()), pointerBytes, spans,
                            kLayoutMaxProperties);
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

} // namespace

TEST_CASE("a payload cut anywhere: the properties before the cut, nothing read past it") {
    static SimEvent e;
    for (const char* label : {"FileIo create", "Process start", "Image load", "DNS answer",
                              "TcpIp send IPv6", "Registry open"}) {
        const SchemaClass& schema = *FindSchema(label);
        const EventLayout layout = BuildLayout(schema);
        for (uint32_t pointerBytes : {8u, 4u}) {
            SampleEvent sample{};
            WriteSampleEvent(schema, pointerBytes, &e, &sample);
            const auto* payload = static_cast<const uint8_t*>(e.record.userData);
            for (uint32_t cut = 0; cut < e.record.userDataLength; ++cut) {
                CAPTURE(label);
                CAPTURE(cut);
                std::vector<uint8_t> bytes(payload, payload + cut);
                PropertySpan spans[kLayoutMaxProperties] = {};
                const WalkResult walk = Walk(layout, bytes, pointerBytes, spans);
                CHECK(walk.status == WalkStatus::kTruncated);
                REQUIRE(walk.located < schema.fieldCount);
                for (uint32_t i = 0; i < walk.located; ++i) {
                    CHECK(spans[i].offset + spans[i].size <= cut);
                    CHECK(spans[i].size == sample.spans[i].size);
                }
                // The first property not located is the one the cut falls in.
                const PropertySpan& next = sample.spans[walk.located];
                CHECK(next.offset + next.size > cut);
            }
        }
    }
}

TEST_CASE("strings: empty, unterminated, an odd byte at the end, nothing left") {
    const SchemaField fields[] = {{u"A", kInTypeUInt32},
                                  {u"S", kInTypeUnicodeString},
                                  {u"T", kInTypeAnsiString},
                                  {u"B", kInTypeUInt16}};
    const EventLayout layout = BuildLayout(Custom(fields, 4));
    struct Case {
        const char* what;
        std::vector<uint8_t> payload;
        WalkStatus status;
        uint32_t located;
        uint32_t sizeS, sizeT; // when located
    } cases[] = {
        {"both empty", Bytes({1, 0, 0, 0, 0, 0, 0, 9, 0}), WalkStatus::kComplete, 4, 2, 1},
        {"text in both", Bytes({1, 0, 0, 0, 'h', 0, 'i', 0, 0, 0, 'o', 'k', 0, 9, 0}),
         WalkStatus::kComplete, 4, 6, 3},
        {"wide unterminated", Bytes({1, 0, 0, 0, 'h', 0, 'i', 0}), WalkStatus::kTruncated, 1, 0, 0},
        {"wide with an odd byte", Bytes({1, 0, 0, 0, 'h', 0, 'i'}), WalkStatus::kTruncated, 1, 0,
         0},
        {"nothing after A", Bytes({1, 0, 0, 0}), WalkStatus::kTruncated, 1, 0, 0},
        {"8-bit unterminated", Bytes({1, 0, 0, 0, 0, 0, 'o', 'k'}), WalkStatus::kTruncated, 2, 2,
         0},
        {"last one cut", Bytes({1, 0, 0, 0, 0, 0, 0, 9}), WalkStatus::kTruncated, 3, 2, 1},
        {"trailing bytes are not ours", Bytes({1, 0, 0, 0, 0, 0, 0, 9, 0, 7, 7}),
         WalkStatus::kComplete, 4, 2, 1},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        PropertySpan spans[kLayoutMaxProperties] = {};
        const WalkResult walk = Walk(layout, c.payload, 8, spans);
        CHECK(walk.status == c.status);
        CHECK(walk.located == c.located);
        if (walk.located > 1) CHECK(spans[1].size == c.sizeS);
        if (walk.located > 2) CHECK(spans[2].size == c.sizeT);
        if (walk.located > 3) CHECK(spans[3].offset + 2 <= c.payload.size());
    }
}

TEST_CASE("what the walk does not size stops it there; earlier properties stay found") {
    struct Case {
        const char* what;
        SchemaField odd;
    } cases[] = {
        {"unknown in-type", {u"X", 999}},
        {"counted string", {u"X", 22}},
        {"structure", {u"X", kInTypeUInt32, 0, kSchemaFlagStruct}},
        {"array by count", {u"X", kInTypeUInt32, 0, 0, 4}},
        {"array by property", {u"X", kInTypeUInt32, 0, kSchemaFlagParamCount}},
        {"custom schema", {u"X", kInTypeUInt32, 0, kSchemaFlagHasCustomSchema}},
        {"binary without length", {u"X", kInTypeBinary}},
        {"scalar of another length", {u"X", kInTypeUInt32, 8}},
        {"length from a later property", {u"X", kInTypeBinary, 2, kSchemaFlagParamLength}},
        {"length from a string", {u"X", kInTypeBinary, 1, kSchemaFlagParamLength}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        const SchemaField fields[] = {
            {u"A", kInTypeUInt16}, {u"S", kInTypeUnicodeString}, c.odd, {u"B", kInTypeUInt32}};
        const EventLayout layout = BuildLayout(Custom(fields, 4));
        CHECK(layout.props[2].length == kLengthUnknown);
        PropertySpan spans[kLayoutMaxProperties] = {};
        const WalkResult walk =
            Walk(layout, Bytes({5, 0, 'a', 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), 8, spans);
        CHECK(walk.status == WalkStatus::kUnsized);
        CHECK(walk.located == 2);
        CHECK(spans[1].offset == 2);
        CHECK(spans[1].size == 4);
    }
}

TEST_CASE("lengths taken from another property, and SIDs") {
    const SchemaField fields[] = {{u"Chars", kInTypeUInt16},
                                  {u"Bytes", kInTypeUInt8},
                                  {u"Name", kInTypeUnicodeString, 0, kSchemaFlagParamLength},
                                  {u"Blob", kInTypeBinary, 1, kSchemaFlagParamLength},
                                  {u"Sid", kInTypeSid},
                                  {u"Fixed", kInTypeUnicodeString, 2}};
    const EventLayout layout = BuildLayout(Custom(fields, 6));
    struct Case {
        const char* what;
        std::vector<uint8_t> payload;
        WalkStatus status;
        uint32_t located;
    } cases[] = {
        {"all there", Bytes({2, 0, 3, 'a', 0, 'b', 0, 7, 8, 9,   1, 1,   0,
                             0, 0, 0, 0,   5, 18,  0, 0, 0, 'x', 0, 'y', 0}),
         WalkStatus::kComplete, 6},
        {"zero lengths", Bytes({0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 5, 'x', 0, 'y', 0}),
         WalkStatus::kComplete, 6},
        {"length beyond the payload", Bytes({0xFF, 0xFF, 0, 'a', 0}), WalkStatus::kTruncated, 2},
        {"SID of 16 sub-authorities", Bytes({0, 0, 0, 1, 16, 0, 0, 0, 0, 0, 0}),
         WalkStatus::kUnsure, 4},
        {"SID cut", Bytes({0, 0, 0, 1, 2, 0, 0, 0, 0, 0, 5, 1, 0, 0, 0}), WalkStatus::kTruncated,
         4},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        PropertySpan spans[kLayoutMaxProperties] = {};
        const WalkResult walk = Walk(layout, c.payload, 8, spans);
        CHECK(walk.status == c.status);
        CHECK(walk.located == c.located);
        if (c.located == 6) {
            const uint32_t chars = c.payload[0], blob = c.payload[2];
            CHECK(spans[2].size == chars * 2);
            CHECK(spans[3].size == blob);
            CHECK(spans[5].size == 4);
            CHECK(spans[5].offset + 4 == c.payload.size());
        }
    }

    // A TOKEN_USER of zero carries no SID: the helper decides its size.
    const SchemaField wbem[] = {{u"UserSID", kInTypeWbemSid}, {u"After", kInTypeUInt8}};
    const EventLayout token = BuildLayout(Custom(wbem, 2));
    PropertySpan spans[kLayoutMaxProperties] = {};
    CHECK(Walk(token, Bytes({0, 0, 0, 0, 9}), 8, spans).status == WalkStatus::kUnsure);
    CHECK(Walk(token, Bytes({1, 0, 0}), 8, spans).status == WalkStatus::kTruncated);
    const WalkResult ok = Walk(
        token, Bytes({1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0, 9}), 4, spans);
    CHECK(ok.status == WalkStatus::kComplete);
    CHECK(spans[0].size == 8 + 12);
    CHECK(spans[1].offset == 20);
}

TEST_CASE("damaged or oversized schema blocks are refused") {
    const SchemaClass& schema = *FindSchema("FileIo create");
    uint8_t good[4096];
    const size_t size = WriteSchemaBlock(schema, good, sizeof good);
    REQUIRE(size > 0);
    auto put32 = [](uint8_t* block, size_t at, uint32_t v) { std::memcpy(block + at, &v, 4); };
    struct Case {
        const char* what;
        size_t at;
        uint32_t value;
        size_t length;
        LayoutBuild expected;
    } cases[] = {
        {"as written", 0, 0, size, LayoutBuild::kBuilt},
        {"shorter than the header", 0, 0, 111, LayoutBuild::kBadBlock},
        {"property array past the end", kSchemaPropertyCountOffset, 0xFFFFFFFF, size,
         LayoutBuild::kBadBlock},
        {"more top-level than all", kSchemaTopLevelCountOffset, 8, size, LayoutBuild::kBadBlock},
        {"name past the end", kSchemaPropertyArrayOffset + kSchemaInfoNameOffset, 50000, size,
         LayoutBuild::kBadBlock},
        {"last name unterminated", 0, 0, size - 2, LayoutBuild::kBadBlock},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        std::vector<uint8_t> block(good, good + size);
        if (c.at != 0) put32(block.data(), c.at, c.value);
        block.resize(c.length);
        EventLayout layout{};
        CHECK(BuildEventLayout(block.data(), block.size(), &layout) == c.expected);
        if (c.expected != LayoutBuild::kBuilt) CHECK(layout.count == 0);
    }
    const EventLayout dns = BuildLayout(*FindSchema("DNS answer"));
    CHECK(FindLayoutProperty(dns, u"QueryResults") >= 0); // only the whole name is found
    CHECK(FindLayoutProperty(dns, u"QueryResult") == -1);
    CHECK(FindLayoutProperty(dns, u"QueryResultsX") == -1);
    CHECK(FindLayoutProperty(dns, u"") == -1);
    CHECK(FindLayoutProperty(dns, nullptr) == -1);

    std::vector<SchemaField> many(kLayoutMaxProperties + 1, SchemaField{u"P", kInTypeUInt8});
    std::vector<uint8_t> block(16384);
    EventLayout layout{};
    size_t bytes = WriteSchemaBlock(Custom(many.data(), static_cast<uint32_t>(many.size())),
                                    block.data(), block.size());
    CHECK(BuildEventLayout(block.data(), bytes, &layout) == LayoutBuild::kTooLarge);
    const SchemaField longName[] = {{u"ANameOfFortyCharactersWhichIsTooLongToKeep", kInTypeUInt8}};
    bytes = WriteSchemaBlock(Custom(longName, 1), block.data(), block.size());
    CHECK(BuildEventLayout(block.data(), bytes, &layout) == LayoutBuild::kTooLarge);
    CHECK(BuildEventLayout(nullptr, 0, &layout) == LayoutBuild::kBadBlock);
}
