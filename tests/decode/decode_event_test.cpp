#include "doctest.h"

#include <cstring>
#include <memory>

#include "decode/dispatch.h"
#include "decode/provider_fixture.h"
#include "platform/time.h"
#include "rules/threat_rules.h"

using namespace olv;

namespace {

struct Route {
    const char* name;
    const Guid* provider;
    EventDecoder decoder;
};

const Route kRoutes[] = {
    {"FileIo", &kFileIoProvider, DecodeFileIoEvent},
    {"Registry", &kRegistryProvider, DecodeRegistryEvent},
    {"TcpIp", &kTcpIpProvider, DecodeTcpIpEvent},
    {"UdpIp", &kUdpIpProvider, DecodeUdpIpEvent},
    {"Process", &kProcessProvider, DecodeProcessEvent},
    {"Image", &kImageProvider, DecodeImageEvent},
    {"DNS client", &kDnsClientProvider, DecodeDnsEvent},
};

bool RowIsZero(const EventRow& row) {
    static const EventRow zero{};
    return std::memcmp(&row, &zero, sizeof row) == 0;
}

} // namespace

TEST_CASE("CategoryLabel names the four categories and nothing else") {
    CHECK(U8(CategoryLabel(kCategoryFile)) == "File");
    CHECK(U8(CategoryLabel(kCategoryRegistry)) == "Registry");
    CHECK(U8(CategoryLabel(kCategoryNetwork)) == "Network");
    CHECK(U8(CategoryLabel(kCategoryProcess)) == "Process");
    CHECK(U8(CategoryLabel(4)) == "Unknown");
    CHECK(U8(CategoryLabel(0xFFFFFFFF)) == "Unknown");
}

TEST_CASE("each provider goes to its own decoder; any other provider to none") {
    for (const Route& r : kRoutes) {
        CAPTURE(r.name);
        CHECK((DecoderForProvider(*r.provider) == r.decoder));
        // Every byte of the id counts.
        for (int i = 0; i < 16; ++i) {
            Guid nearMiss = *r.provider;
            reinterpret_cast<unsigned char*>(&nearMiss)[i] ^= 0x01;
            CAPTURE(i);
            CHECK((DecoderForProvider(nearMiss) == nullptr));
        }
    }
    CHECK((DecoderForProvider(Guid{}) == nullptr));
}

TEST_CASE("DecodeEvent fills time, ids and time stamp before any decoder runs") {
    ProviderFixture f;
    const int64_t t = kT0 + 1234567;
    SystemTime expectedTime{};
    REQUIRE(FileTimeToLocalTime(t, &expectedTime));

    const Guid unknown = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
    const Guid* providers[] = {
        &kFileIoProvider,  &kRegistryProvider, &kTcpIpProvider,     &kUdpIpProvider,
        &kProcessProvider, &kImageProvider,    &kDnsClientProvider, &unknown};
    for (const Guid* provider : providers) {
        // An event of a process nobody follows, with an opcode no decoder knows: no row.
        BeginSimEvent(f.e, *provider, 0xEE, 0xEEEE, kOtherPid, 4242, t);
        f.row.severity = 3;
        CHECK_FALSE(DecodeEvent(f.ts, &f.e->record, &f.row));
        CHECK(std::memcmp(&f.row.time, &expectedTime, sizeof expectedTime) == 0);
        CHECK(f.row.pid == kOtherPid);
        CHECK(f.row.threadId == 4242);
        CHECK(f.row.timestamp == static_cast<uint64_t>(t));
        CHECK(f.row.severity == 0);
        // A rejected event is neither named nor scored.
        CHECK(f.row.process[0] == 0);
        CHECK(f.row.threat[0] == 0);
        std::memset(static_cast<void*>(&f.row), 0, sizeof f.row);
    }

    // A time stamp that cannot be converted leaves the time zero.
    BeginSimEvent(f.e, unknown, 0, 0, 5, 6, -1);
    CHECK_FALSE(DecodeEvent(f.ts, &f.e->record, &f.row));
    const SystemTime zeroTime{};
    CHECK(std::memcmp(&f.row.time, &zeroTime, sizeof zeroTime) == 0);
    CHECK(f.row.pid == 5);

    EventRow untouched{};
    CHECK_FALSE(DecodeEvent(f.ts, nullptr, &untouched));
    CHECK(RowIsZero(untouched));
}

TEST_CASE("an event of an unknown provider changes nothing in the tracking state") {
    ProviderFixture f;
    auto before = std::make_unique<unsigned char[]>(sizeof(TrackingState));
    std::memcpy(before.get(), static_cast<const void*>(f.ts), sizeof(TrackingState));
    const int64_t live = LiveAllocationCount();

    const Guid unknown = {0x90cbdc39, 0x4a3e, 0x11d1, {0x84, 0xf4, 0, 0, 0xf8, 0x04, 0x64, 0xe4}};
    BeginSimEvent(f.e, unknown, 64, 0, kSamplePid, 1, kT0);
    AddSimPointer(f.e, u"FileObject", 0x1000);
    AddSimWideString(f.e, u"OpenPath", u"C:\\x.txt");
    CHECK_FALSE(DecodeEvent(f.ts, &f.e->record, &f.row));
    CHECK(std::memcmp(before.get(), static_cast<const void*>(f.ts), sizeof(TrackingState)) == 0);
    CHECK(LiveAllocationCount() == live);
    CHECK(f.released->count == 0);
}

TEST_CASE("a kept row is named from the process table, then scored") {
    ProviderFixture f;
    // A DLL load names no process itself: the name comes from the lookup.
    f.Begin(kImageProvider, 10, kT0);
    AddSimU32(f.e, u"ProcessId", kSamplePid);
    AddSimWideString(f.e, u"FileName", u"C:\\Windows\\System32\\comsvcs.dll");
    AddSimU32(f.e, u"ImageSize", 4096);
    REQUIRE(f.Decode());
    CHECK(U8(f.row.process) == "sample.exe");

    // The rules saw the finished row, process name included.
    EventRow copy = f.row;
    copy.threat[0] = 0;
    const int32_t expected = ScoreRow(&copy, copy.threat, kThreatChars);
    CHECK(expected > 0);
    CHECK(f.row.severity == static_cast<uint32_t>(expected));
    CHECK(U8(f.row.threat) == U8(copy.threat));
    CHECK(f.row.threadId == 77);
    CHECK(f.row.timestamp == static_cast<uint64_t>(kT0));

    // A row whose decoder named the process keeps that name.
    f.Begin(kProcessProvider, 2, kT0 + kSecond);
    AddSimU32(f.e, u"ProcessId", kSamplePid);
    AddSimAnsiString(f.e, u"ImageFileName", "renamed.exe");
    AddSimU32(f.e, u"ExitStatus", 0);
    REQUIRE(f.Decode());
    CHECK(U8(f.row.process) == "renamed.exe");
}
