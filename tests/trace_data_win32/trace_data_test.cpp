// The real readers (Olvetta.exe's): the layout cache in front of the Trace Data Helper of the
// system the suite runs on. Every answer must be the helper's own; which path gave it depends on
// whether the helper can describe the event's class, and the test says which one ran. Wine's
// helper (8.0) has TdhGetPropertySize and TdhGetProperty only as stubs that end the process when
// called: there the reads are not made, and the test says that instead.
#include "doctest.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <evntcons.h>
#include <tdh.h>
#include <vector>

#include "base/text.h"
#include "platform/event_layout.h"
#include "platform/layout_cache.h"
#include "platform/tracedata.h"
#include "platform/win32/real/trace_layout.h"

using namespace olv;

namespace {

constexpr Guid kFileIo = {
    0x90cbdc39, 0x4a3e, 0x11d1, {0x84, 0xf4, 0x00, 0x00, 0xf8, 0x04, 0x64, 0xe3}};
constexpr Guid kDnsClient = {
    0x1c95126e, 0x7eea, 0x49a9, {0xa3, 0xfe, 0xa3, 0x78, 0xb0, 0x3d, 0xdb, 0x4d}};

struct Built {
    EventRecord record;
    std::vector<uint8_t> payload;
};

void Append(std::vector<uint8_t>& out, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
}

void AppendWide(std::vector<uint8_t>& out, const char16_t* text) {
    Append(out, text, (TextLength(text) + 1) * 2);
}

void Begin(Built* b, const Guid& provider, uint16_t id, uint8_t version, uint8_t opcode) {
    std::memset(static_cast<void*>(&b->record), 0, sizeof b->record);
    b->record.header.size = sizeof(EventHeader);
    b->record.header.flags = kEventHeaderFlag64BitHeader;
    b->record.header.providerId = provider;
    b->record.header.descriptor.id = id;
    b->record.header.descriptor.version = version;
    b->record.header.descriptor.opcode = opcode;
    b->record.header.processId = 4242;
}

void Finish(Built* b) {
    b->record.userData = b->payload.data();
    b->record.userDataLength = static_cast<uint16_t>(b->payload.size());
}

// Every read of the names through the real readers equals the helper's direct answer.
void CheckAgainstHelper(const EventRecord* e, const char16_t* const* names, size_t count) {
    PEVENT_RECORD record = reinterpret_cast<PEVENT_RECORD>(const_cast<EventRecord*>(e));
    for (int round = 0; round < 2 * static_cast<int>(kLayoutVerifyReads); ++round) {
        for (size_t i = 0; i < count; ++i) {
            CAPTURE(i);
            PROPERTY_DATA_DESCRIPTOR d{};
            d.PropertyName = reinterpret_cast<ULONGLONG>(names[i]);
            d.ArrayIndex = 0xFFFFFFFF;
            ULONG helperSize = 0;
            const ULONG helperStatus = TdhGetPropertySize(record, 0, nullptr, 1, &d, &helperSize);
            uint32_t size = 99;
            CHECK(TracePropertySize(e, names[i], &size) == helperStatus);
            CHECK(size == (helperStatus == ERROR_SUCCESS ? helperSize : 0u));
            uint8_t mine[512] = {}, theirs[512] = {};
            CHECK(TracePropertyRead(e, names[i], mine, sizeof mine) ==
                  TdhGetProperty(record, 0, nullptr, 1, &d, sizeof theirs, theirs));
            CHECK(std::memcmp(mine, theirs, sizeof mine) == 0);
        }
    }
}

void SayWhichPath(const char* what, const EventRecord* e) {
    const uint32_t state = TraceLayoutStateOf(e);
    CHECK(state != 0);
    if (state == kLayoutUnusable) {
        MESSAGE(what << ": this system's helper does not describe the class; every read went "
                        "to the helper (the fallback path)");
    } else if (state == kLayoutTrusted) {
        MESSAGE(what << ": the helper described the class and the check passed; later reads "
                        "came from the layout");
    } else if (state == kLayoutOff) {
        MESSAGE(what << ": the layout differed from the helper and was turned off");
    } else {
        MESSAGE(what << ": the payload was never walked in full; every read went to the helper");
    }
}

// Wine's ntdll names its version; Windows' does not.
bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace

TEST_CASE("a schema block laid out with the Windows structures reads as the layout") {
    alignas(8) uint8_t block[512] = {};
    auto* info = reinterpret_cast<TRACE_EVENT_INFO*>(block);
    info->PropertyCount = 3;
    info->TopLevelPropertyCount = 3;
    const char16_t* names[] = {u"FileObject", u"Sizes", u"FileName"};
    const USHORT inTypes[] = {16, 8, 1}; // pointer, 32-bit unsigned, UTF-16 text
    size_t nameAt =
        offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray) + 3 * sizeof(EVENT_PROPERTY_INFO);
    for (int i = 0; i < 3; ++i) {
        EVENT_PROPERTY_INFO& p = info->EventPropertyInfoArray[i];
        p.NameOffset = static_cast<ULONG>(nameAt);
        p.nonStructType.InType = inTypes[i];
        p.count = i == 1 ? 2 : 1;
        const size_t bytes = (TextLength(names[i]) + 1) * 2;
        std::memcpy(block + nameAt, names[i], bytes);
        nameAt += bytes;
    }
    EventLayout layout{};
    REQUIRE(BuildEventLayout(block, nameAt, &layout) == LayoutBuild::kBuilt);
    CHECK(layout.count == 3);
    CHECK(FindLayoutProperty(layout, u"FileName") == 2);
    CHECK(layout.props[0].length == kLengthPointer);
    CHECK(layout.props[1].length == kLengthUnknown); // an array of two
    CHECK(layout.props[2].length == kLengthWideZ);
}

TEST_CASE("the real readers give the helper's answers for a kernel file create and a DNS answer") {
    if (RunningUnderWine()) {
        MESSAGE("Wine: the helper's property calls are unimplemented stubs; no read is made "
                "(the layout cache is checked natively against the stand-in readers)");
        CHECK(TraceLayoutCounts().readsFromSource == 0);
        return;
    }
    static Built create, answer;
    Begin(&create, kFileIo, 0, 2, 64);
    const uint64_t irp = 0xffffc60f2a4d1008, ttid = 0x1a2c, fileObject = 0xffffc60f1e7a2070;
    const uint32_t options = 0x01000060, attributes = 0x80, share = 7;
    Append(create.payload, &irp, 8);
    Append(create.payload, &ttid, 8);
    Append(create.payload, &fileObject, 8);
    Append(create.payload, &options, 4);
    Append(create.payload, &attributes, 4);
    Append(create.payload, &share, 4);
    AppendWide(create.payload, u"\\Device\\HarddiskVolume3\\Users\\a\\x.dat");
    Finish(&create);
    const char16_t* const createNames[] = {u"IrpPtr",  u"FileObject", u"OpenPath",
                                           u"FileKey", u"FileName",   u"IoSize"};
    CheckAgainstHelper(&create.record, createNames, 6);
    SayWhichPath("FileIo create", &create.record);

    Begin(&answer, kDnsClient, 3008, 0, 0);
    const uint32_t type = 1, status = 0;
    const uint64_t queryOptions = 0x40000000;
    AppendWide(answer.payload, u"update.example.org");
    Append(answer.payload, &type, 4);
    Append(answer.payload, &queryOptions, 8);
    Append(answer.payload, &status, 4);
    AppendWide(answer.payload, u"93.184.216.34;");
    Finish(&answer);
    const char16_t* const answerNames[] = {u"QueryName", u"QueryType", u"QueryStatus",
                                           u"QueryResults", u"NoSuchProperty"};
    CheckAgainstHelper(&answer.record, answerNames, 5);
    SayWhichPath("DNS answer", &answer.record);

    const LayoutCacheCounts counts = TraceLayoutCounts();
    if (counts.classesUnusable == 2) CHECK(counts.readsFromSource > 0);
    CHECK(counts.noRoom == 0);
}
