// File events through DecodeEvent: names taught by opens and name events, rows held until their
// completion, and the fall-backs when a file cannot be named or no completion comes.
#include "doctest.h"

#include <cstring>

#include "base/text.h"
#include "decode/provider_fixture.h"
#include "platform/sim/sim_drives.h"

namespace olv {

namespace {

constexpr uint64_t kFileObject = 0xFFFFC0010A2B3C40ull;
constexpr uint64_t kFileKey = 0xFFFFC0010D0E0F00ull;
constexpr const char16_t* kVolume = u"\\Device\\HarddiskVolume3";

struct FileFixture : ProviderFixture {
    FileFixture() {
        const char16_t* letters[] = {u"C:\\"};
        const char16_t* devices[] = {kVolume};
        SetSimulatedDrives(letters, devices, 1);
    }
    ~FileFixture() { ClearSimulatedDrives(); }

    // A request of the sample process; irp 0 leaves the packet out.
    void Request(uint8_t opcode, int64_t t, uint64_t fileObject, uint64_t fileKey, uint64_t irp,
                 uint32_t pid = kSamplePid) {
        Begin(kFileIoProvider, opcode, t, pid);
        if (fileObject != 0) AddSimPointer(e, u"FileObject", fileObject);
        if (fileKey != 0) AddSimPointer(e, u"FileKey", fileKey);
        if (irp != 0) AddSimPointer(e, u"IrpPtr", irp);
    }
    bool Complete(int64_t t, uint64_t irp, uint32_t status) {
        Begin(kFileIoProvider, 76, t, 4); // completions arrive in any process's context
        AddSimPointer(e, u"IrpPtr", irp);
        AddSimU32(e, u"NtStatus", status);
        return Decode();
    }
};

// A name event payload: the file object pointer (4 or 8 bytes) followed by the UTF-16 name.
uint16_t NamePayload(uint8_t* out, size_t pointerSize, uint64_t fileObject, const char16_t* name,
                     bool terminated) {
    std::memcpy(out, &fileObject, pointerSize);
    size_t chars = TextLength(name) + (terminated ? 1 : 0);
    std::memcpy(out + pointerSize, name, chars * 2);
    return static_cast<uint16_t>(pointerSize + chars * 2);
}

} // namespace

TEST_CASE("file: an open names its file object for later reads, until it is closed") {
    FileFixture f;
    const int64_t t = kT0 + 5 * kSecond;

    // The open is held until its completion arrives.
    f.Request(64, t, kFileObject, kFileKey, 0xA000);
    AddSimWideString(f.e, u"OpenPath", u"\\Device\\HarddiskVolume3\\Users\\ana\\report.docx");
    CHECK_FALSE(f.Decode());
    CHECK(HeldFileRowCount(f.ts) == 1);
    REQUIRE(f.Complete(t + 3, 0xA000, 0));
    CHECK(f.Operation() == "Opened file");
    CHECK(f.Path() == "C:\\Users\\ana\\report.docx");
    CHECK(f.Result() == "OK");
    CHECK(U8(f.row.process) == "sample.exe");
    CHECK(f.row.pid == kSamplePid);
    CHECK(f.row.threadId == 77);
    CHECK(f.row.timestamp == static_cast<uint64_t>(t)); // the request's time, not the completion's
    CHECK(f.row.category == kCategoryFile);

    // A read carries no name: its file object names it. No packet: emitted at once.
    f.Request(67, t + 10, kFileObject, 0, 0);
    AddSimU32(f.e, u"IoSize", 1536);
    REQUIRE(f.Decode());
    CHECK(f.Operation() == "Read file");
    CHECK(f.Path() == "C:\\Users\\ana\\report.docx");
    CHECK(f.Detail() == "1.5 KB");
    CHECK(f.Result() == "-");

    f.Request(66, t + 20, kFileObject, 0, 0);
    REQUIRE(f.Decode());
    CHECK(f.Operation() == "Closed file");
    CHECK(f.Path() == "C:\\Users\\ana\\report.docx");
    CHECK(f.Detail().empty());

    // After the close the file object no longer names it; its file key still does.
    f.Request(67, t + 30, kFileObject, kFileKey, 0);
    REQUIRE(f.Decode());
    CHECK(f.Path() == "C:\\Users\\ana\\report.docx");
    CHECK(f.ts->filesNotIdentified == 0);

    f.Request(68, t + 40, kFileObject, 0, 0);
    AddSimU32(f.e, u"IoSize", 100);
    REQUIRE(f.Decode());
    CHECK(f.Operation() == "Wrote to file");
    CHECK(f.Path() == "(file not identified)");
    CHECK(f.Detail() == "100 bytes");
    CHECK(f.ts->filesNotIdentified == 1);

    // A read stamped before the close is still inside the file object's name interval.
    f.Request(67, t + 15, kFileObject, 0, 0);
    REQUIRE(f.Decode());
    CHECK(f.Path() == "C:\\Users\\ana\\report.docx");
}

TEST_CASE("file: requests of processes that are not followed leave no trace") {
    FileFixture f;
    f.Request(64, kT0, kFileObject, kFileKey, 0xA000, kOtherPid);
    AddSimWideString(f.e, u"OpenPath", u"\\Device\\HarddiskVolume3\\x.txt");
    CHECK_FALSE(f.Decode());
    CHECK(HeldFileRowCount(f.ts) == 0);
    // The completion of a request that was never held yields nothing either.
    CHECK_FALSE(f.Complete(kT0 + 1, 0xA000, 0));

    f.Request(67, kT0 + 2, kFileObject, 0, 0);
    REQUIRE(f.Decode());
    CHECK(f.Path() == "(file not identified)"); // the foreign open taught nothing
    CHECK(f.released->count == 0);
}

TEST_CASE("file: a held request is completed with its status and scored again") {
    FileFixture f;
    const char16_t* dropped = u"\\Device\\HarddiskVolume3\\Windows\\Temp\\a.exe";

    // Denied: the write changed nothing, so the drop rule no longer applies.
    f.Request(68, kT0, kFileObject, 0, 0xB000);
    AddSimWideString(f.e, u"FileName", dropped);
    AddSimU32(f.e, u"IoSize", 2 * 1048576 + 104858);
    CHECK_FALSE(f.Decode());
    REQUIRE(f.Complete(kT0 + 1, 0xB000, 0xC0000022));
    CHECK(f.Path() == "C:\\Windows\\Temp\\a.exe");
    CHECK(f.Detail() == "2.1 MB");
    CHECK(f.Result() == "DENIED");
    CHECK(f.row.severity == 0);
    CHECK(U8(f.row.threat).empty());

    f.Request(68, kT0 + 2, kFileObject, 0, 0xB000);
    AddSimWideString(f.e, u"FileName", dropped);
    CHECK_FALSE(f.Decode());
    REQUIRE(f.Complete(kT0 + 3, 0xB000, 0));
    CHECK(f.Result() == "OK");
    CHECK(f.row.severity == 3);
    CHECK(U8(f.row.threat) == "Executable dropped in Temp");

    // No completion: released at the flush with "-", keeping the score made when it was held.
    f.Request(68, kT0 + 4, kFileObject, 0, 0xB008);
    AddSimWideString(f.e, u"FileName", dropped);
    CHECK_FALSE(f.Decode());
    CHECK_FALSE(f.Complete(kT0 + 5, 0xC000, 0)); // another packet
    FlushHeldFileRows(f.ts);
    REQUIRE(f.released->count == 1);
    const EventRow& r = f.released->rows[0];
    CHECK(U8(r.result) == "-");
    CHECK(r.severity == 3);
    CHECK(U8(r.threat) == "Executable dropped in Temp");
    CHECK(U8(r.process) == "sample.exe");
    CHECK(r.timestamp == static_cast<uint64_t>(kT0 + 4));
    CHECK(f.ts->fileResultsMissing == 1);
}

TEST_CASE("file: name events teach names, from their payload when the properties are missing") {
    FileFixture f;
    const int64_t t = kT0 + 100;

    SUBCASE("properties") {
        f.Begin(kFileIoProvider, 0, t, kOtherPid); // names are learned from every process
        AddSimPointer(f.e, u"FileObject", kFileObject);
        AddSimWideString(f.e, u"FileName", u"\\Device\\HarddiskVolume3\\Windows\\a.dll");
        CHECK_FALSE(f.Decode());
        f.Request(67, t - 50, kFileObject, 0, 0); // a name event's name holds from 0
        REQUIRE(f.Decode());
        CHECK(f.Path() == "C:\\Windows\\a.dll");
    }
    SUBCASE("64-bit payload") {
        uint8_t payload[256];
        uint16_t size =
            NamePayload(payload, 8, kFileObject, u"\\Device\\HarddiskVolume3\\b.dll", true);
        f.Begin(kFileIoProvider, 36, t); // rundown
        SetSimPayload(f.e, payload, size);
        CHECK_FALSE(f.Decode());
        f.Request(67, t + 1, kFileObject, 0, 0);
        REQUIRE(f.Decode());
        CHECK(f.Path() == "C:\\b.dll");
    }
    SUBCASE("32-bit payload, and a 32-bit request naming the same object") {
        const uint64_t object32 = 0x8A2B3C40;
        uint8_t payload[256];
        uint16_t size =
            NamePayload(payload, 4, object32, u"\\Device\\HarddiskVolume3\\c.txt", true);
        f.Begin(kFileIoProvider, 0, t);
        SetSimEvent32BitHeader(f.e);
        SetSimPayload(f.e, payload, size);
        CHECK_FALSE(f.Decode());
        f.Begin(kFileIoProvider, 67, t + 1);
        SetSimEvent32BitHeader(f.e);
        AddSimPointer(f.e, u"FileObject", object32);
        REQUIRE(f.Decode());
        CHECK(f.Path() == "C:\\c.txt");
    }
    SUBCASE("the key from its property, the name from the payload") {
        uint8_t payload[256];
        uint16_t size = NamePayload(payload, 8, 0x1234, u"\\Device\\HarddiskVolume3\\d.txt", true);
        f.Begin(kFileIoProvider, 0, t);
        AddSimPointer(f.e, u"FileObject", kFileObject); // wins over the payload's pointer
        SetSimPayload(f.e, payload, size);
        CHECK_FALSE(f.Decode());
        f.Request(67, t + 1, kFileObject, 0, 0);
        REQUIRE(f.Decode());
        CHECK(f.Path() == "C:\\d.txt");
    }
    SUBCASE("an unterminated payload name ends one character short, inside the payload") {
        uint8_t payload[256];
        uint16_t size =
            NamePayload(payload, 8, kFileObject, u"\\Device\\HarddiskVolume3\\e.txtX", false);
        f.Begin(kFileIoProvider, 0, t);
        SetSimPayload(f.e, payload, size);
        CHECK_FALSE(f.Decode());
        f.Request(67, t + 1, kFileObject, 0, 0);
        REQUIRE(f.Decode());
        CHECK(f.Path() == "C:\\e.txt");
    }
    SUBCASE("a payload shorter than 11 bytes teaches nothing") {
        uint8_t payload[10] = {0x40, 0x3C, 0x2B, 0x0A, 0x01, 0xC0, 0xFF, 0xFF, u'x', 0};
        f.Begin(kFileIoProvider, 0, t);
        SetSimPayload(f.e, payload, sizeof payload);
        CHECK_FALSE(f.Decode());
        f.Request(67, t + 1, kFileObject, 0, 0);
        REQUIRE(f.Decode());
        CHECK(f.Path() == "(file not identified)");
    }
}

TEST_CASE("file: create events name from their time on; delete events end the name") {
    FileFixture f;
    const int64_t t = kT0 + 1000;
    f.Begin(kFileIoProvider, 32, t);
    AddSimPointer(f.e, u"FileObject", kFileObject);
    AddSimWideString(f.e, u"FileName", u"\\Device\\HarddiskVolume3\\new.txt");
    CHECK_FALSE(f.Decode());

    struct Case {
        int64_t at;
        const char* path;
    } before[] = {{t - 1, "(file not identified)"}, {t, "C:\\new.txt"}, {t + 5, "C:\\new.txt"}};
    for (const Case& c : before) {
        f.Request(74, c.at, kFileObject, 0, 0);
        REQUIRE(f.Decode());
        CHECK(f.Path() == c.path);
    }

    f.Begin(kFileIoProvider, 35, t + 10);
    AddSimPointer(f.e, u"FileObject", kFileObject);
    CHECK_FALSE(f.Decode());
    f.Request(74, t + 11, kFileObject, 0, 0);
    REQUIRE(f.Decode());
    CHECK(f.Path() == "(file not identified)");
    f.Request(74, t + 9, kFileObject, 0, 0);
    REQUIRE(f.Decode());
    CHECK(f.Path() == "C:\\new.txt");
}

TEST_CASE("file: operation texts and the opcodes without rows") {
    FileFixture f;
    struct Case {
        uint8_t opcode;
        const char* operation; // null: no row
    } cases[] = {
        {37, "Mapped file into memory"},
        {39, nullptr},
        {40, nullptr},
        {41, "File operation (41)"},
        {65, "Released file handle"},
        {77, "Watching folder for changes"},
        {81, "File operation (81)"},
        {82, "Created new file"},
        {86, "Read extended attributes"},
        {87, "File operation (87)"},
    };
    for (const Case& c : cases) {
        CAPTURE(static_cast<int>(c.opcode));
        f.Request(c.opcode, kT0, 0, 0, 0);
        AddSimWideString(f.e, u"OpenPath", u"C:\\x");
        AddSimU32(f.e, u"IoSize", 4096); // only reads and writes show a size
        if (c.operation == nullptr) {
            CHECK_FALSE(f.Decode());
            continue;
        }
        REQUIRE(f.Decode());
        CHECK(f.Operation() == c.operation);
        CHECK(f.Path() == "C:\\x");
        CHECK(f.Detail().empty());
    }
}

// Holds one request at kT0, then makes the 511 more file rows after which the pool is swept, 30
// seconds later: the held row has expired.
static void FillUntilSweep(FileFixture& f) {
    f.Request(67, kT0, kFileObject, 0, 0xE000);
    CHECK_FALSE(f.Decode());
    for (int i = 1; i < kFileRowsPerSweep; ++i) {
        f.Request(67, kT0 + 30 * kSecond, kFileObject, 0, 0);
        REQUIRE(f.Decode());
    }
    REQUIRE(f.released->count == 1);
    CHECK(U8(f.released->rows[0].result) == "-");
    CHECK(f.released->rows[0].timestamp == static_cast<uint64_t>(kT0));
    CHECK(f.ts->fileResultsMissing == 1);
}

TEST_CASE("file: a trace without completions stops holding rows after the first expiry") {
    FileFixture f;
    FillUntilSweep(f);
    f.Request(67, kT0 + 31 * kSecond, kFileObject, 0, 0xE008);
    REQUIRE(f.Decode()); // emitted at once
    CHECK(f.Result() == "-");
    CHECK(HeldFileRowCount(f.ts) == 0);
}

TEST_CASE("file: a completion without a packet still counts as seen, so rows stay held") {
    FileFixture f;
    f.Begin(kFileIoProvider, 76, kT0, 4);
    CHECK_FALSE(f.Decode());
    FillUntilSweep(f);
    f.Request(67, kT0 + 31 * kSecond, kFileObject, 0, 0xE008);
    CHECK_FALSE(f.Decode());
    CHECK(HeldFileRowCount(f.ts) == 1);
}

} // namespace olv
