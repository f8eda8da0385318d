#include "doctest.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "decode/dispatch.h"
#include "decode/provider_fixture.h"
#include "platform/time.h"
#include "rules/threat_rules.h"

using namespace olv;

TEST_CASE("each provider goes to its own decoder; any other provider to none") {
    const struct {
        Guid provider;
        EventDecoder decoder;
    } routes[] = {{{0x90cbdc39, 0x4a3e, 0x11d1, {0x84, 0xf4, 0x00, 0x00, 0xf8, 0x04, 0x64, 0xe3}},
                   DecodeFileIoEvent},
                  {{0xae53722e, 0xc863, 0x11d2, {0x86, 0x59, 0x00, 0xc0, 0x4f, 0xa3, 0x21, 0xa1}},
                   DecodeRegistryEvent},
                  {{0x9a280ac0, 0xc8e0, 0x11d1, {0x84, 0xe2, 0x00, 0xc0, 0x4f, 0xb9, 0x98, 0xa2}},
                   DecodeTcpIpEvent},
                  {{0xbf3a50c5, 0xa9c9, 0x4988, {0xa0, 0x05, 0x2d, 0xf0, 0xb7, 0xc8, 0x0f, 0x80}},
                   DecodeUdpIpEvent},
                  {{0x3d6fa8d0, 0xfe05, 0x11d0, {0x9d, 0xda, 0x00, 0xc0, 0x4f, 0xd7, 0xba, 0x7c}},
                   DecodeProcessEvent},
                  {{0x2cb15d1d, 0x5fc1, 0x11d2, {0xab, 0xe1, 0x00, 0xa0, 0xc9, 0x11, 0xf5, 0x18}},
                   DecodeImageEvent},
                  {{0x1c95126e, 0x7eea, 0x49a9, {0xa3, 0xfe, 0xa3, 0x78, 0xb0, 0x3d, 0xdb, 0x4d}},
                   DecodeDnsEvent},
                  {{0x3d6fa8d1, 0xfe05, 0x11d0, {0x9d, 0xda, 0x00, 0xc0, 0x4f, 0xd7, 0xba, 0x7c}},
                   DecodeThreadEvent}};
    for (const auto& r : routes) {
        CAPTURE(r.provider.data1);
        CHECK((DecoderForProvider(r.provider) == r.decoder));
        for (int i = 0; i < 16; ++i) { // every byte of the id counts
            Guid nearMiss = r.provider;
            reinterpret_cast<unsigned char*>(&nearMiss)[i] ^= 0x01;
            // The kernel's Process and Thread providers differ in one bit.
            bool listed = false;
            for (const auto& other : routes)
                listed = listed || other.provider == nearMiss;
            if (!listed) CHECK((DecoderForProvider(nearMiss) == nullptr));
        }
    }
    CHECK(U8(CategoryLabel(kCategoryRegistry)) == "Registry");
    CHECK(U8(CategoryLabel(4)) == "Unknown");
}

TEST_CASE("a kept row gets time, ids and time stamp whatever the caller's row held; a rejected "
          "event leaves the row as it was, neither named nor scored") {
    ProviderFixture f;
    const int64_t t = kT0 + 1234567;
    SystemTime expectedTime{};
    REQUIRE(FileTimeToLocalTime(t, &expectedTime));
    const Guid unknown = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
    EventRow garbage;
    std::memset(static_cast<void*>(&garbage), 0xA5, sizeof garbage);
    for (const Guid* provider : {&kFileIoProvider, &kProcessProvider, &kImageProvider, &unknown}) {
        // An event of a process nobody follows, with an opcode no decoder knows: no row.
        BeginSimEvent(f.e, *provider, 0xEE, 0xEEEE, kOtherPid, 4242, t);
        f.row = garbage;
        CHECK_FALSE(DecodeEvent(f.ts, &f.e->record, &f.row));
        CHECK(std::memcmp(&f.row, &garbage, sizeof garbage) == 0);
    }
    // A kept row decoded over garbage is the row decoded over zeros, up to each text's terminator
    // (what the ring takes of it).
    f.Begin(kImageProvider, 10, t, kSamplePid);
    AddSimU32(f.e, u"ProcessId", kSamplePid);
    AddSimWideString(f.e, u"FileName", u"C:\\Windows\\System32\\user32.dll");
    f.row = garbage;
    REQUIRE(DecodeEvent(f.ts, &f.e->record, &f.row));
    EventRow overGarbage = f.row;
    REQUIRE(f.Decode());
    for (EventRow* row : {&overGarbage, &f.row}) {
        const struct {
            char16_t* text;
            size_t chars;
        } fields[] = {{row->operation, kOperationChars}, {row->path, kPathChars},
                      {row->detail, kDetailChars},       {row->result, kResultChars},
                      {row->process, kProcessChars},     {row->threat, kThreatChars}};
        for (const auto& field : fields)
            std::fill(field.text + FieldTextLength(field.text, field.chars),
                      field.text + field.chars, u'\0');
    }
    CHECK(std::memcmp(&overGarbage, &f.row, sizeof f.row) == 0);
    CHECK(std::memcmp(&f.row.time, &expectedTime, sizeof expectedTime) == 0);
    CHECK((f.row.pid == kSamplePid && f.row.threadId == 77));
    CHECK(f.row.timestamp == static_cast<uint64_t>(t));
    // A time stamp that cannot be converted leaves the time zero.
    f.Begin(kImageProvider, 10, -1, kSamplePid);
    AddSimU32(f.e, u"ProcessId", kSamplePid);
    f.row = garbage;
    REQUIRE(DecodeEvent(f.ts, &f.e->record, &f.row));
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

TEST_CASE("every decoder makes its rows through their kind: the kind it reports is the kind of "
          "the row's category and text, and the carried kind scores as the looked-up one") {
    ProviderFixture f;
    bool seen[kRowKindCount] = {};
    int64_t t = kT0;
    auto decodeAs = [&](EventDecoder decoder) {
        std::memset(static_cast<void*>(&f.row), 0, sizeof f.row);
        RowKind kind = static_cast<RowKind>(0x7777);
        if (!decoder(f.ts, &f.e->record, &f.row, t, &kind)) return;
        CAPTURE(U8(f.row.operation));
        if (kind == kRowKindUnknown) kind = RowKindOfRow(f.row); // a held row, released
        CHECK(kind == RowKindOfRow(f.row));
        if (kind != RowKind::Other) {
            CHECK(f.row.category == RowKindCategory(kind));
            CHECK(U8(f.row.operation) == U8(RowKindOperation(kind)));
            seen[static_cast<size_t>(kind)] = true;
        } else {
            CHECK(f.row.operation[0] != 0); // an unnamed opcode says its number
        }
        char16_t carried[kThreatChars];
        char16_t looked[kThreatChars];
        CHECK(ScoreRowOfKind(&f.row, kind, carried, kThreatChars) ==
              ScoreRow(&f.row, looked, kThreatChars));
        CHECK(U8(carried) == U8(looked));
    };
    for (int opcode = 1; opcode < 100; ++opcode) {
        const auto op = static_cast<uint8_t>(opcode);
        t += kSecond;
        for (const Guid* provider : {&kFileIoProvider, &kRegistryProvider}) {
            f.Begin(*provider, op, t);
            AddSimWideString(f.e, u"OpenPath", u"C:\\Users\\a\\AppData\\Roaming\\x.exe");
            AddSimWideString(f.e, u"KeyName",
                             u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\"
                             u"CurrentVersion\\Run");
            decodeAs(DecoderForProvider(*provider));
        }
        for (const Guid* provider : {&kTcpIpProvider, &kUdpIpProvider}) {
            f.Begin(*provider, op, t);
            AddSimU32(f.e, u"PID", kSamplePid);
            decodeAs(DecoderForProvider(*provider));
        }
        f.Begin(kImageProvider, op, t);
        AddSimU32(f.e, u"ProcessId", kSamplePid);
        AddSimWideString(f.e, u"FileName", u"C:\\Users\\a\\AppData\\Local\\Temp\\e.dll");
        decodeAs(DecodeImageEvent);
    }
    // Opens that name a pipe, a stream or a whole disk.
    const struct {
        const char16_t* path;
        uint32_t disposition;
    } opens[] = {{u"\\Device\\NamedPipe\\a", 2},
                 {u"\\Device\\NamedPipe\\a", 1},
                 {u"\\Device\\HarddiskVolume3\\f.txt:s", 2},
                 {u"\\Device\\HarddiskVolume3", 1}};
    for (const auto& open : opens) {
        t += kSecond;
        f.Begin(kFileIoProvider, 64, t);
        AddSimWideString(f.e, u"OpenPath", open.path);
        AddSimU32(f.e, u"CreateOptions", open.disposition << 24);
        decodeAs(DecodeFileIoEvent);
    }
    // A driver loaded by the system, then an open of another process.
    f.Begin(kImageProvider, 10, t, 4);
    AddSimU32(f.e, u"ProcessId", 0);
    AddSimWideString(f.e, u"FileName", u"C:\\Windows\\System32\\drivers\\x.sys");
    decodeAs(DecodeImageEvent);
    f.Begin(kKernelAuditProvider, 0, t, kSamplePid, 5);
    AddSimU32(f.e, u"TargetProcessId", 712);
    AddSimU32(f.e, u"DesiredAccess", 0x1410);
    decodeAs(DecodeKernelAuditEvent);
    // A child's start, then its exit.
    f.Begin(kProcessProvider, 1, t, kSamplePid);
    AddSimU32(f.e, u"ProcessId", 4321);
    AddSimU32(f.e, u"ParentId", kSamplePid);
    decodeAs(DecodeProcessEvent);
    f.Begin(kProcessProvider, 2, t + 1, 4321);
    AddSimU32(f.e, u"ProcessId", 4321);
    decodeAs(DecodeProcessEvent);
    for (uint16_t id : {uint16_t{3006}, uint16_t{3008}}) {
        f.Begin(kDnsClientProvider, 0, t, kSamplePid, id);
        AddSimWideString(f.e, u"QueryName", u"example.org");
        decodeAs(DecodeDnsEvent);
    }
    for (uint16_t id : {uint16_t{4103}, uint16_t{4104}}) {
        f.Begin(kPowerShellProvider, 0, t, kSamplePid, id);
        AddSimWideString(f.e, u"ScriptBlockText", u"Invoke-Expression $x");
        AddSimWideString(f.e, u"Payload", u"Invoke-Expression $x");
        decodeAs(DecodePowerShellEvent);
    }
    f.Begin(kAmsiProvider, 0, t, kSamplePid, 1101);
    AddSimBytes(f.e, u"content", "Invoke-Expression", 17);
    decodeAs(DecodeAmsiEvent);
    f.Begin(kThreadProvider, 1, t, kSamplePid);
    AddSimU32(f.e, u"ProcessId", kOtherPid);
    AddSimPointer(f.e, u"Win32StartAddr", 0x10000);
    decodeAs(DecodeThreadEvent);
    // Every kind but the two rows the recorder makes itself comes from a decoder.
    for (size_t k = 1; k < kRowKindCount; ++k) {
        const auto kind = static_cast<RowKind>(k);
        CAPTURE(U8(RowKindOperation(kind)));
        CHECK(seen[k] == !IsRecorderRowKind(kind));
    }
}
