#include "doctest.h"

#include <cstring>
#include <memory>

#include "decode/dispatch.h"
#include "decode/provider_fixture.h"
#include "platform/time.h"
#include "rules/threat_rules.h"

using namespace olv;

TEST_CASE("each provider goes to its own decoder; any other provider to none") {
    const struct {
        const Guid* provider;
        EventDecoder decoder;
    } routes[] = {
        {&kFileIoProvider, DecodeFileIoEvent},   {&kRegistryProvider, DecodeRegistryEvent},
        {&kTcpIpProvider, DecodeTcpIpEvent},     {&kUdpIpProvider, DecodeUdpIpEvent},
        {&kProcessProvider, DecodeProcessEvent}, {&kImageProvider, DecodeImageEvent},
        {&kDnsClientProvider, DecodeDnsEvent}};
    for (const auto& r : routes) {
        CAPTURE(r.provider->data1);
        CHECK((DecoderForProvider(*r.provider) == r.decoder));
        for (int i = 0; i < 16; ++i) { // every byte of the id counts
            Guid nearMiss = *r.provider;
            reinterpret_cast<unsigned char*>(&nearMiss)[i] ^= 0x01;
            CHECK((DecoderForProvider(nearMiss) == nullptr));
        }
    }
    CHECK(U8(CategoryLabel(kCategoryRegistry)) == "Registry");
    CHECK(U8(CategoryLabel(4)) == "Unknown");
}

TEST_CASE("DecodeEvent fills time, ids and time stamp; a rejected event is neither named nor "
          "scored") {
    ProviderFixture f;
    const int64_t t = kT0 + 1234567;
    SystemTime expectedTime{};
    REQUIRE(FileTimeToLocalTime(t, &expectedTime));
    const Guid unknown = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
    for (const Guid* provider : {&kFileIoProvider, &kProcessProvider, &kImageProvider, &unknown}) {
        // An event of a process nobody follows, with an opcode no decoder knows: no row.
        BeginSimEvent(f.e, *provider, 0xEE, 0xEEEE, kOtherPid, 4242, t);
        std::memset(static_cast<void*>(&f.row), 0, sizeof f.row);
        f.row.severity = 3;
        CHECK_FALSE(DecodeEvent(f.ts, &f.e->record, &f.row));
        CHECK(std::memcmp(&f.row.time, &expectedTime, sizeof expectedTime) == 0);
        CHECK((f.row.pid == kOtherPid && f.row.threadId == 4242));
        CHECK((f.row.timestamp == static_cast<uint64_t>(t) && f.row.severity == 0));
        CHECK((f.row.process[0] == 0 && f.row.threat[0] == 0));
    }
    // A time stamp that cannot be converted leaves the time zero.
    BeginSimEvent(f.e, unknown, 0, 0, 5, 6, -1);
    CHECK_FALSE(f.Decode());
    CHECK(f.row.time.year == 0);
    CHECK_FALSE(DecodeEvent(f.ts, nullptr, &f.row));
}

TEST_CASE("an event of an unknown provider changes nothing in the tracking state") {
    ProviderFixture f;
    auto before = std::make_unique<unsigned char[]>(sizeof(TrackingState));
    std::memcpy(before.get(), static_cast<const void*>(f.ts), sizeof(TrackingState));
    const int64_t live = LiveAllocationCount();
    // One bit off the FileIo id, with what a file create would carry.
    const Guid unknown = {0x90cbdc39, 0x4a3e, 0x11d1, {0x84, 0xf4, 0, 0, 0xf8, 0x04, 0x64, 0xe4}};
    f.Begin(unknown, 64, kT0);
    AddSimPointer(f.e, u"FileObject", 0x1000);
    AddSimWideString(f.e, u"OpenPath", u"C:\\x.txt");
    CHECK_FALSE(f.Decode());
    CHECK(std::memcmp(before.get(), static_cast<const void*>(f.ts), sizeof(TrackingState)) == 0);
    CHECK(LiveAllocationCount() == live);
}

TEST_CASE("a kept row is named from the process table, then scored; a decoder's name is kept") {
    ProviderFixture f;
    // A DLL load names no process itself: the name comes from the lookup.
    f.Begin(kImageProvider, 10, kT0);
    AddSimU32(f.e, u"ProcessId", kSamplePid);
    AddSimWideString(f.e, u"FileName", u"C:\\Windows\\System32\\comsvcs.dll");
    REQUIRE(f.Decode());
    CHECK(U8(f.row.process) == "sample.exe");
    // The rules saw the finished row, process name included.
    EventRow copy = f.row;
    const int32_t expected = ScoreRow(&copy, copy.threat, kThreatChars);
    CHECK(expected > 0);
    CHECK(f.row.severity == static_cast<uint32_t>(expected));
    CHECK(U8(f.row.threat) == U8(copy.threat));

    f.Begin(kProcessProvider, 2, kT0 + kSecond);
    AddSimU32(f.e, u"ProcessId", kSamplePid);
    AddSimAnsiString(f.e, u"ImageFileName", "renamed.exe");
    REQUIRE(f.Decode());
    CHECK(U8(f.row.process) == "renamed.exe");
}
