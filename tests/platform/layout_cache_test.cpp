#include "doctest.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/atomic.h"
#include "base/text.h"
#include "platform/layout_cache.h"
#include "platform/memory.h"
#include "platform/sim/sim_schema.h"
#include "platform/thread.h"
#include "platform/trace_providers.h"
#include "support/text_check.h"

using namespace olv;

namespace {

// The schema the stand-in helper describes: the decoders' classes by provider, id, opcode and
// version, or `override` when set.
const SchemaClass* gOverride = nullptr;
uint32_t gDescribeCalls = 0;
std::string gReport;

uint32_t DescribeFromSchemas(const EventRecord* event, uint8_t* block, uint32_t* bytes) {
    AtomicAdd(gDescribeCalls, 1);
    if (gOverride == nullptr) return SimDescribeEvent(event, block, bytes);
    const size_t needed = WriteSchemaBlock(*gOverride, nullptr, 0, true);
    if (needed > *bytes) {
        *bytes = static_cast<uint32_t>(needed);
        return kErrorInsufficientBuffer;
    }
    *bytes = static_cast<uint32_t>(WriteSchemaBlock(*gOverride, block, needed));
    return 0;
}

void Report(const char16_t* text) {
    gReport += U8(text);
}

const LayoutSource kSource = {DescribeFromSchemas, SimTablePropertySize, SimTablePropertyRead,
                              Report};

struct CacheFixture {
    LayoutCache cache;
    CacheFixture() {
        gOverride = nullptr;
        gDescribeCalls = 0;
        gReport.clear();
        InitLayoutCache(&cache, &kSource);
    }
    ~CacheFixture() {
        ResetAllocationFaults();
        ReleaseLayoutCache(&cache);
    }
};

// Both ways for one name: the status, size and bytes through the cache equal the source's,
// with a buffer larger than the property, of its size and one byte short.
void CheckSame(LayoutCache* cache, const EventRecord* e, const char16_t* name) {
    CAPTURE(U8(name));
    uint32_t sizeCached = 77, sizeSource = 77;
    const uint32_t statusCached = CachedPropertySize(cache, e, name, &sizeCached);
    CHECK(statusCached == SimTablePropertySize(e, name, &sizeSource));
    CHECK(sizeCached == sizeSource);
    for (uint32_t bytes : {sizeSource + 8, sizeSource, sizeSource - 1}) {
        if (bytes > sizeSource + 8) continue; // no short read of an empty property
        CAPTURE(bytes);
        std::vector<uint8_t> a(sizeSource + 8, 0xAB), b(sizeSource + 8, 0xAB);
        CHECK(CachedPropertyRead(cache, e, name, a.data(), bytes) ==
              SimTablePropertyRead(e, name, b.data(), bytes));
        CHECK(a == b);
    }
}

} // namespace

TEST_CASE("through the cache: the source's sizes, bytes and failures for every class") {
    CacheFixture f;
    static SimEvent e;
    uint32_t fromSourceWhileChecked = 0;
    for (int round = 0; round < 3; ++round) {
        for (uint32_t s = 0; s < kDecoderSchemaCount; ++s) {
            for (uint32_t pointerBytes : {8u, 4u}) {
                const SchemaClass& schema = kDecoderSchemas[s];
                CAPTURE(schema.label);
                CAPTURE(pointerBytes);
                SampleEvent sample{};
                WriteSampleEvent(schema, pointerBytes, &e, &sample);
                // Enough reads to pass the check in round 0; rounds 1 and 2 read from the walk.
                for (uint32_t r = 0; r < kLayoutVerifyReads / 4 + 1; ++r) {
                    for (uint32_t i = 0; i < schema.fieldCount; ++i)
                        CheckSame(&f.cache, &e.record, schema.fields[i].name);
                    CheckSame(&f.cache, &e.record, u"NotInThisClass");
                }
                CHECK(LayoutStateOf(&f.cache, &e.record) == kLayoutTrusted);
            }
        }
        // Once trusted, nothing is asked of the source, not even for absent names.
        if (round == 0) fromSourceWhileChecked = ReadLayoutCacheCounts(&f.cache).readsFromSource;
        CHECK(ReadLayoutCacheCounts(&f.cache).readsFromSource == fromSourceWhileChecked);
    }
    const LayoutCacheCounts counts = ReadLayoutCacheCounts(&f.cache);
    CHECK(counts.classesTrusted == 2 * kDecoderSchemaCount);
    CHECK(counts.classesTurnedOff == 0);
    CHECK(counts.classesUnusable == 0);
    CHECK(counts.noRoom == 0);
    CHECK(gDescribeCalls == 2 * kDecoderSchemaCount);
    CHECK(gReport.empty());
}

TEST_CASE("a walk that differs from the source turns its class off, counted and reported") {
    static SimEvent e;
    struct Case {
        const char* what;
        const char16_t* property;
        int tamper; // 0 flip a byte of the table's copy, 1 fail the read, 2 drop a property
    } cases[] = {
        {"other bytes", u"FileName", 0},
        {"read refused", u"FileObject", 1},
        {"a property the layout lacks", u"FileName", 2},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        CacheFixture f;
        const SchemaClass& schema = *FindSchema("FileIo name");
        SampleEvent sample{};
        WriteSampleEvent(schema, 8, &e, &sample);
        if (c.tamper == 0) e.data[e.table.props[1].offset + 3] ^= 0x20;
        if (c.tamper == 1) FailSimPropertyRead(&e, c.property);
        // The helper knows a property the schema does not list.
        const SchemaField shorter[] = {{u"FileObject", kInTypePointer}};
        const SchemaClass less = {"less", schema.provider, 0, 2, 0, shorter, 1, nullptr, 0};
        if (c.tamper == 2) gOverride = &less;

        for (int r = 0; r < 3; ++r) {
            CheckSame(&f.cache, &e.record, c.property);
            CheckSame(&f.cache, &e.record, u"FileObject");
        }
        CHECK(LayoutStateOf(&f.cache, &e.record) == kLayoutOff);
        CHECK(ReadLayoutCacheCounts(&f.cache).classesTurnedOff == 1);
        CHECK(gReport.find("differs from the helper") != std::string::npos);
        CHECK(gReport.find(
                  "{90CBDC39-4A3E-11D1-84F4-0000F80464E3} id 0 version 2 opcode 0 (64-bit)") !=
              std::string::npos);
        CHECK(gReport.find(U8(c.property)) != std::string::npos);
    }
}

TEST_CASE("what the cache leaves to the source, with the source's answers") {
    static SimEvent e;
    const SchemaClass& create = *FindSchema("FileIo create");
    const SchemaField unsized[] = {{u"FileObject", kInTypePointer},
                                   {u"Keys", kInTypeUInt32, 0, 0, 4}};
    const SchemaClass array = {"array", create.provider, 0, 2, 64, unsized, 2, nullptr, 0};
    std::vector<SchemaField> wide(kLayoutMaxProperties,
                                  SchemaField{u"APropertyNameOfThirtyCharacter", kInTypeUInt8});
    wide[0] = SchemaField{u"FileObject", kInTypePointer};
    const SchemaClass large = {"large",     create.provider,      0,       2, 64,
                               wide.data(), kLayoutMaxProperties, nullptr, 0};

    struct Case {
        const char* what;
        const SchemaClass* schema; // described instead of the class's own; null: unknown
        uint32_t cut;              // bytes taken off the payload's end
        uint32_t state;
    } cases[] = {
        {"unknown to the helper", nullptr, 0, kLayoutUnusable},
        {"an array", &array, 0, kLayoutUnusable},
        {"a block above the first capacity", &large, 0, kLayoutOff},
        {"a payload cut short", &create, 5, kLayoutVerifying},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        CacheFixture f;
        SampleEvent sample{};
        WriteSampleEvent(create, 8, &e, &sample);
        if (c.schema == nullptr) e.record.header.descriptor.opcode = 99; // no schema matches
        gOverride = c.schema;
        e.record.userDataLength = static_cast<uint16_t>(e.record.userDataLength - c.cut);
        for (int r = 0; r < 40; ++r) {
            CheckSame(&f.cache, &e.record, u"FileObject");
            CheckSame(&f.cache, &e.record, u"OpenPath");
        }
        CHECK(LayoutStateOf(&f.cache, &e.record) == c.state);
        CHECK(ReadLayoutCacheCounts(&f.cache).readsFromSource > 0);
        CHECK(gDescribeCalls == (c.schema == &large ? 2u : 1u)); // once per class (large: retried)
    }
}

TEST_CASE("memory refused for a class: its reads go to the source until an entry is made") {
    CacheFixture f;
    static SimEvent e;
    SampleEvent sample{};
    WriteSampleEvent(*FindSchema("Registry open"), 8, &e, &sample);
    uint32_t expected = 0;
    REQUIRE(SimTablePropertySize(&e.record, u"KeyName", &expected) == 0);
    for (int nth = 1; nth <= 2; ++nth) { // the entry, then the schema block
        RefuseNthAllocation(nth);
        uint32_t size = 0;
        CHECK(CachedPropertySize(&f.cache, &e.record, u"KeyName", &size) == 0);
        CHECK(size == expected);
        ResetAllocationFaults();
        CHECK(LayoutStateOf(&f.cache, &e.record) == 0);
    }
    CHECK(ReadLayoutCacheCounts(&f.cache).noRoom == 2);
    const int64_t live = LiveAllocationCount();
    for (uint32_t r = 0; r <= kLayoutVerifyReads; ++r)
        CheckSame(&f.cache, &e.record, u"KeyName");
    CHECK(LayoutStateOf(&f.cache, &e.record) == kLayoutTrusted);
    CHECK(LiveAllocationCount() == live + 1); // one entry, the schema block freed
}

namespace {

struct ThreadWork {
    LayoutCache* cache;
    const char* labels[3];
    uint32_t mismatches;
};

uint32_t ReadMany(void* argument) {
    auto* work = static_cast<ThreadWork*>(argument);
    static thread_local SimEvent e;
    for (int round = 0; round < 200; ++round) {
        for (const char* label : work->labels) {
            const SchemaClass& schema = *FindSchema(label);
            SampleEvent sample{};
            WriteSampleEvent(schema, round % 2 == 0 ? 8 : 4, &e, &sample);
            for (uint32_t i = 0; i < schema.fieldCount; ++i) {
                uint32_t a = 0, b = 0;
                CachedPropertySize(work->cache, &e.record, schema.fields[i].name, &a);
                SimTablePropertySize(&e.record, schema.fields[i].name, &b);
                if (a != b) ++work->mismatches;
            }
        }
    }
    return 0;
}

} // namespace

TEST_CASE("two threads fill and read the table at once") {
    CacheFixture f;
    ThreadWork one = {&f.cache, {"FileIo read", "Registry open", "DNS answer"}, 0};
    ThreadWork two = {&f.cache, {"FileIo read", "TcpIp send IPv4", "DNS answer"}, 0};
    ThreadHandle t1 = StartThread(ReadMany, &one, nullptr);
    ThreadHandle t2 = StartThread(ReadMany, &two, nullptr);
    REQUIRE(t1 != nullptr);
    REQUIRE(t2 != nullptr);
    JoinThread(t1); // each thread ends after its fixed number of reads
    JoinThread(t2);
    CHECK(one.mismatches == 0);
    CHECK(two.mismatches == 0);
    const LayoutCacheCounts counts = ReadLayoutCacheCounts(&f.cache);
    CHECK(counts.classesTrusted == 8); // four classes, two pointer sizes, each entry kept once
    CHECK(counts.classesTurnedOff == 0);
}

TEST_CASE("a kept walk serves only a payload equal to the one walked, of the same cache") {
    // Two texts in a row: payloads of one length whose texts split at other places.
    const SchemaField fields[] = {{u"First", kInTypeUnicodeString},
                                  {u"Second", kInTypeUnicodeString}};
    const SchemaField swapped[] = {{u"Second", kInTypeUnicodeString},
                                   {u"First", kInTypeUnicodeString}};
    const SchemaClass twoTexts = {"two texts", kFileIoProvider, 0, 2, 0, fields, 2, nullptr, 0};
    const SchemaClass swappedTexts = {"swapped", kFileIoProvider, 0, 2, 0, swapped, 2, nullptr, 0};
    static SimEvent early, late, other;
    auto make = [](SimEvent* e, const char16_t* first, const char16_t* second) {
        BeginSimEvent(e, kFileIoProvider, 0, 0, 4242, 77, 133565403100000000);
        AddSimWideString(e, u"First", first);
        AddSimWideString(e, u"Second", second);
        uint8_t payload[64] = {};
        const size_t a = (TextLength(first) + 1) * 2, b = (TextLength(second) + 1) * 2;
        std::memcpy(payload, first, a);
        std::memcpy(payload + a, second, b);
        SetSimPayload(e, payload, static_cast<uint16_t>(a + b));
    };
    make(&early, u"ab", u"c");
    make(&late, u"a", u"bc");
    CacheFixture f;
    gOverride = &twoTexts;
    for (uint32_t r = 0; r <= kLayoutVerifyReads; ++r)
        CheckSame(&f.cache, &early.record, u"First");
    REQUIRE(LayoutStateOf(&f.cache, &early.record) == kLayoutTrusted);
    for (int r = 0; r < 3; ++r) {
        for (const SimEvent* e : {&early, &early, &late, &late}) {
            CheckSame(&f.cache, &e->record, u"Second");
            CheckSame(&f.cache, &e->record, u"First");
        }
    }
    // A new cache, made where the old one was, whose class lays the same bytes out otherwise.
    const uint32_t generation = f.cache.generation;
    ReleaseLayoutCache(&f.cache);
    InitLayoutCache(&f.cache, &kSource);
    CHECK((f.cache.generation != 0 && f.cache.generation != generation));
    gOverride = &swappedTexts;
    make(&other, u"c", u"ab"); // the source's table, for the swapped names, over early's bytes
    std::memcpy(other.payload, early.payload, early.record.userDataLength);
    for (uint32_t r = 0; r <= kLayoutVerifyReads; ++r)
        CheckSame(&f.cache, &other.record, u"Second");
    CHECK(LayoutStateOf(&f.cache, &other.record) == kLayoutTrusted);
    CheckSame(&f.cache, &other.record, u"First");
}
