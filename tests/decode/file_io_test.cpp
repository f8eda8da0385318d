// File events through DecodeEvent: names taught by opens and name events, rows held until their
// completion, and the fall-backs when a file cannot be named or no completion comes.
#include "doctest.h"

#include <string>

#include "decode/provider_fixture.h"
#include "platform/sim/sim_drives.h"

namespace olv {

namespace {

constexpr uint64_t kObject = 0xFFFFC0010A2B3C40ull;
constexpr uint64_t kFileKey = 0xFFFFC0010D0E0F00ull;
constexpr const char* kNoFile = "(file not identified)";

struct FileFixture : ProviderFixture {
    EventRow released{}; // the last row released from the held pool without a completion
    int releasedCount = 0;

    FileFixture() {
        auto sink = [](void* self, const EventRow* out) {
            static_cast<FileFixture*>(self)->released = *out;
            ++static_cast<FileFixture*>(self)->releasedCount;
        };
        SetRowSink(ts, sink, this);
        const char16_t* letters[] = {u"C:\\"};
        const char16_t* devices[] = {u"\\Device\\HarddiskVolume3"};
        SetSimulatedDrives(letters, devices, 1);
    }
    ~FileFixture() { ClearSimulatedDrives(); }

    // A request of the sample process; a zero object, key or packet leaves that property out.
    void Request(uint8_t opcode, int64_t t, uint64_t object, uint64_t key = 0, uint64_t irp = 0) {
        Begin(kFileIoProvider, opcode, t);
        if (object != 0) AddSimPointer(e, u"FileObject", object);
        if (key != 0) AddSimPointer(e, u"FileKey", key);
        if (irp != 0) AddSimPointer(e, u"IrpPtr", irp);
    }
    bool Complete(uint64_t irp, uint32_t status) {
        Begin(kFileIoProvider, 76, kT0 + kSecond, 4); // in any process's context
        AddSimPointer(e, u"IrpPtr", irp);
        AddSimU32(e, u"NtStatus", status);
        return Decode();
    }
    std::string ReadPath(int64_t t, uint64_t object, uint64_t key = 0) {
        Request(67, t, object, key);
        REQUIRE(Decode());
        return Path();
    }
};

} // namespace

TEST_CASE("file: names remembered in the kernel's form are shown with a drive or as UNC") {
    FileFixture f;
    SetSimulatedWindowsFolder(u"C:\\Windows");
    const int64_t t = kT0 + kSecond;
    struct Case {
        const char16_t* kernel;
        const char* shown;
    } cases[] = {
        {u"\\SystemRoot\\Temp\\a.tmp", "C:\\Windows\\Temp\\a.tmp"},
        {u"\\Users\\Public\\b.txt", "C:\\Users\\Public\\b.txt"},
        {u"\\??\\C:\\ProgramData\\c.dat", "C:\\ProgramData\\c.dat"},
        {u"\\Device\\LanmanRedirector\\;Z:0000000000020d40\\srv\\share\\d.doc",
         "\\\\srv\\share\\d.doc"},
    };
    uint64_t object = kObject;
    for (const Case& c : cases) {
        CAPTURE(U8(c.kernel));
        object += 0x40;
        f.Begin(kFileIoProvider, 0, t); // a name event: the table keeps the kernel's form
        AddSimPointer(f.e, u"FileObject", object);
        AddSimWideString(f.e, u"FileName", c.kernel);
        f.Decode();
        CHECK(f.ReadPath(t + 1, object) == c.shown);
    }
    SetSimulatedWindowsFolder(nullptr);
}

TEST_CASE("file: an open names its file object from its time on, its file key from 0") {
    FileFixture f;
    const int64_t t = kT0 + 5 * kSecond;
    const char* report = "C:\\Users\\report.docx";
    f.Request(64, t, kObject, kFileKey, 0xA000);
    AddSimWideString(f.e, u"OpenPath", u"\\Device\\HarddiskVolume3\\Users\\report.docx");
    AddSimWideString(f.e, u"FileName", u"\\Device\\HarddiskVolume3\\second choice");
    CHECK_FALSE(f.Decode()); // held until its completion
    REQUIRE(f.Complete(0xA000, 0));
    CHECK(f.Cells() == "sample.exe|Opened file|C:\\Users\\report.docx||OK");
    CHECK(f.row.timestamp == static_cast<uint64_t>(t)); // the request's, not the completion's

    struct Case {
        uint8_t opcode;
        int64_t at;
        uint64_t object, key;
        const char* path;
    } cases[] = {
        {67, t + 10, kObject, 0, report},  {67, t - 1, kObject, 0, kNoFile},
        {67, t - 1, 0, kFileKey, report},  {66, t + 20, kObject, 0, report}, // close
        {67, t + 15, kObject, 0, report},  {68, t + 30, kObject, kFileKey, report},
        {68, t + 40, kObject, 0, kNoFile},
    };
    for (const Case& c : cases) {
        CAPTURE(c.at - t);
        f.Request(c.opcode, c.at, c.object, c.key); // no packet: emitted at once
        AddSimU32(f.e, u"IoSize", 1536);
        REQUIRE(f.Decode());
        CHECK(f.Path() + "|" + f.Detail() + "|" + f.Result() ==
              std::string(c.path) + (c.opcode == 66 ? "||-" : "|1.5 KB|-"));
    }
    CHECK(f.ts->filesNotIdentified == 2);
}

TEST_CASE("file: a held request takes its completion's status and is scored again") {
    FileFixture f;
    const char16_t* dropped = u"\\Device\\HarddiskVolume3\\Windows\\Temp\\a.exe";
    // Denied, the write changed nothing: the executable-dropped rule no longer applies.
    for (uint32_t status : {0xC0000022u, 0u}) {
        f.Request(68, kT0, kObject, 0, 0xB000);
        AddSimWideString(f.e, u"FileName", dropped);
        CHECK_FALSE(f.Decode());
        REQUIRE(f.Complete(0xB000, status));
        CHECK(f.Cells() == (status == 0
                                ? "sample.exe|Wrote to file|C:\\Windows\\Temp\\a.exe||OK"
                                : "sample.exe|Wrote to file|C:\\Windows\\Temp\\a.exe||DENIED"));
        CHECK(f.row.severity == (status == 0 ? 3u : 0u));
    }
    // Never completed: released at the flush with "-" and what was set when it was held.
    f.Request(68, kT0, kObject, 0, 0xB008);
    AddSimWideString(f.e, u"FileName", dropped);
    CHECK_FALSE(f.Decode());
    CHECK_FALSE(f.Complete(0xC000, 0)); // another packet
    FlushHeldFileRows(f.ts);
    REQUIRE(f.releasedCount == 1);
    CHECK(U8(f.released.process) + "|" + U8(f.released.result) == "sample.exe|-");
    CHECK(f.released.severity == 3);
}

TEST_CASE("file: name events of any process teach names from 0, from their payload if need be") {
    const std::string cut(1023, 'x');
    char16_t longName[1100] = {};
    for (size_t i = 0; i + 1 < 1100; ++i)
        longName[i] = u'x';
    struct Case {
        uint8_t opcode;
        size_t pointer;        // 4: a 32-bit header
        uint64_t property;     // FileObject property, 0: none
        uint64_t key;          // the object named and asked for
        const char16_t* name;  // FileName property
        const char16_t* inner; // name in the payload, null: no payload
        size_t chars;          // characters of inner in the payload
        const char* path;
    } cases[] = {
        {0, 8, kObject, kObject, u"\\a", nullptr, 0, "\\a"},
        {36, 8, 0, kObject, nullptr, u"\\b", 3, "\\b"},           // rundown, terminated
        {0, 4, 0, 0x8A2B3C40, nullptr, u"\\cc", 4, "\\cc"},       // 32-bit
        {0, 8, kObject, kObject, nullptr, u"\\d", 3, "\\d"},      // the property's key wins
        {0, 8, 0, kObject, nullptr, u"\\eX", 3, "\\e"},           // unterminated: one short
        {0, 4, 0, 0x8A2B3C40, nullptr, u"abc", 3, kNoFile},       // 10 bytes: too short
        {0, 8, 0, kObject, nullptr, longName, 1100, cut.c_str()}, // cut at 1023 characters
    };
    for (const Case& c : cases) {
        CAPTURE(c.chars);
        FileFixture f;
        f.Begin(kFileIoProvider, c.opcode, kT0, kOtherPid);
        if (c.pointer == 4) SetSimEvent32BitHeader(f.e);
        if (c.property != 0) AddSimPointer(f.e, u"FileObject", c.property);
        if (c.name != nullptr) AddSimWideString(f.e, u"FileName", c.name);
        if (c.inner != nullptr) {
            uint8_t payload[8 + 2 * 1100];
            const uint64_t inPayload = c.key ^ c.property; // a wrong pointer when both are given
            std::memcpy(payload, &inPayload, c.pointer);
            std::memcpy(payload + c.pointer, c.inner, 2 * c.chars);
            SetSimPayload(f.e, payload, static_cast<uint16_t>(c.pointer + 2 * c.chars));
        }
        CHECK_FALSE(f.Decode());
        CHECK(f.ReadPath(kT0 - 50, c.key) == c.path);
    }
}

TEST_CASE("file: create events name from their time on; delete events end the name") {
    FileFixture f;
    f.Begin(kFileIoProvider, 32, kT0, kOtherPid);
    AddSimPointer(f.e, u"FileObject", kObject);
    AddSimWideString(f.e, u"FileName", u"\\new.txt");
    CHECK_FALSE(f.Decode());
    f.Begin(kFileIoProvider, 35, kT0 + 10, kOtherPid);
    AddSimPointer(f.e, u"FileObject", kObject);
    CHECK_FALSE(f.Decode());
    const char* expected[] = {kNoFile, "\\new.txt", "\\new.txt", kNoFile};
    const int64_t at[] = {kT0 - 1, kT0, kT0 + 10, kT0 + 11};
    for (int i = 0; i < 4; ++i)
        CHECK(f.ReadPath(at[i], kObject) == expected[i]);
}

TEST_CASE("file: operation texts and the opcodes without rows") {
    FileFixture f;
    auto operation = [&f](uint8_t opcode) {
        f.Request(opcode, kT0, kObject);
        AddSimWideString(f.e, u"OpenPath", u"\\x");
        return f.Decode() ? f.Operation() : std::string("(no row)");
    };
    CHECK(operation(37) == "Mapped file into memory");
    CHECK(operation(39) == "(no row)");
    CHECK(operation(40) == "(no row)");
    CHECK(operation(81) == "File operation (81)");
    CHECK(operation(82) == "Created new file");
    CHECK(f.ReadPath(kT0, kObject) == "\\x"); // taught by "Created new file"
}

TEST_CASE("file: folder queries join the pattern to the folder their file object names") {
    FileFixture f;
    f.Request(64, kT0, kObject);
    AddSimWideString(f.e, u"OpenPath", u"\\Device\\HarddiskVolume3\\Reports");
    REQUIRE(f.Decode());
    struct Case {
        uint8_t opcode;
        uint64_t object;
        const char16_t* name; // FileName property, null: none
        const char* path;
    } cases[] = {
        {72, kObject, u"*.rpt", "C:\\Reports\\*.rpt"},
        {77, kObject, u"*", "C:\\Reports\\*"},
        {72, kObject, nullptr, "C:\\Reports"},
        {72, kObject + 8, u"*.rpt", "*.rpt"}, // the folder is not known: the pattern alone
        {72, 0, u"*.rpt", "*.rpt"},
        {72, kObject, u"\\Device\\HarddiskVolume3\\x", "C:\\x"}, // a path already
    };
    for (const Case& c : cases) {
        CAPTURE(c.path);
        f.Request(c.opcode, kT0 + 10, c.object);
        if (c.name != nullptr) AddSimWideString(f.e, u"FileName", c.name);
        REQUIRE(f.Decode());
        CHECK(f.Path() == c.path);
    }
}

TEST_CASE("file: after an expiry, rows stay held only if a completion was ever seen") {
    for (bool completionSeen : {false, true}) {
        CAPTURE(completionSeen);
        FileFixture f;
        if (completionSeen) {
            f.Begin(kFileIoProvider, 76, kT0, 4); // even one without a packet counts
            CHECK_FALSE(f.Decode());
        }
        // One held request, then the 511 more file rows after which the pool is swept, 30
        // seconds later: the held row has expired.
        f.Request(67, kT0, kObject, 0, 0xE000);
        CHECK_FALSE(f.Decode());
        for (int i = 1; i < kFileRowsPerSweep; ++i)
            f.ReadPath(kT0 + 30 * kSecond, kObject);
        REQUIRE(f.releasedCount == 1);
        CHECK(U8(f.released.result) == "-");
        f.Request(67, kT0 + 31 * kSecond, kObject, 0, 0xE008);
        CHECK(f.Decode() == !completionSeen);
        CHECK(HeldFileRowCount(f.ts) == (completionSeen ? 1 : 0));
    }
}

} // namespace olv

namespace olv {

namespace {

// An open of the sample with its path and create disposition (the top byte of CreateOptions).
bool Open(FileFixture& f, const char16_t* path, uint32_t disposition, uint64_t object = kObject) {
    f.Request(64, kT0 + kSecond, object);
    AddSimWideString(f.e, u"OpenPath", path);
    AddSimU32(f.e, u"CreateOptions", (disposition << 24) | 0x60);
    return f.Decode();
}

} // namespace

TEST_CASE("file: pipes are told apart by the open's disposition and shown as programs name them") {
    FileFixture f;
    struct Case {
        const char16_t* path;
        uint32_t disposition;
        const char* cells;
    } cases[] = {
        // CreateNamedPipe: the first instance may not exist yet, later ones open or create.
        {u"\\Device\\NamedPipe\\msagent_81", 2, "Created pipe|\\\\.\\pipe\\msagent_81|"},
        {u"\\Device\\NamedPipe\\msagent_81", 3, "Created pipe|\\\\.\\pipe\\msagent_81|"},
        // A client opens what exists; the other dispositions are refused by the pipe's device
        // but are still attempts to reach it.
        {u"\\Device\\NamedPipe\\msagent_81", 1, "Connected to pipe|\\\\.\\pipe\\msagent_81|"},
        {u"\\Device\\NamedPipe\\lsarpc", 0, "Connected to pipe|\\\\.\\pipe\\lsarpc|"},
        {u"\\device\\namedpipe\\Winsock2\\CatalogChangeListener-1a4-0", 1,
         "Connected to pipe|\\\\.\\pipe\\Winsock2\\CatalogChangeListener-1a4-0|"},
        // The device alone is opened to wait for a pipe: an open like any other.
        {u"\\Device\\NamedPipe\\", 1, "Opened file|\\\\.\\pipe\\|"},
        // Another device whose name begins alike.
        {u"\\Device\\NamedPipeX\\a", 2, "Opened file|\\Device\\NamedPipeX\\a|"},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.path));
        REQUIRE(Open(f, c.path, c.disposition));
        CHECK(f.Operation() + "|" + f.Path() + "|" + f.Detail() == c.cells);
        CHECK(f.row.category == kCategoryFile);
    }
    // A read on the pipe names it by its file object, in the same form.
    REQUIRE(Open(f, u"\\Device\\NamedPipe\\demo", 1, kObject + 0x40));
    CHECK(f.ReadPath(kT0 + 2 * kSecond, kObject + 0x40) == "\\\\.\\pipe\\demo");
    CHECK(f.Operation() == "Read file");
}

TEST_CASE("file: alternate data streams written or created, and the opens that only read one") {
    FileFixture f;
    struct Case {
        const char16_t* path;
        uint32_t disposition;
        const char* cells;
    } cases[] = {
        {u"\\Device\\HarddiskVolume3\\Users\\a\\setup.exe:Zone.Identifier", 5,
         "Wrote alternate data stream|C:\\Users\\a\\setup.exe:Zone.Identifier|"
         "Stream: Zone.Identifier"},
        {u"\\Device\\HarddiskVolume3\\x\\file.txt:payload.exe:$DATA", 2,
         "Wrote alternate data stream|C:\\x\\file.txt:payload.exe:$DATA|Stream: payload.exe"},
        // Reading a zone mark (every start from a download does) creates nothing.
        {u"\\Device\\HarddiskVolume3\\Users\\a\\setup.exe:Zone.Identifier", 1,
         "Opened file|C:\\Users\\a\\setup.exe:Zone.Identifier|"},
        // The unnamed data stream, a folder's index and a colon in a folder name are no streams.
        {u"\\Device\\HarddiskVolume3\\x\\file.txt::$DATA", 2, "Opened file|C:\\x\\file.txt::$DATA|"},
        {u"\\Device\\HarddiskVolume3\\x:$I30:$INDEX_ALLOCATION", 2,
         "Opened file|C:\\x:$I30:$INDEX_ALLOCATION|"},
        {u"\\Device\\HarddiskVolume3\\odd:dir\\file.txt", 2, "Opened file|C:\\odd:dir\\file.txt|"},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.path));
        REQUIRE(Open(f, c.path, c.disposition));
        CHECK(f.Operation() + "|" + f.Path() + "|" + f.Detail() == c.cells);
    }
    // A write through a file object that names a stream, with its size; a write to the file
    // itself stays a write.
    REQUIRE(Open(f, u"\\Device\\HarddiskVolume3\\x\\notes.txt:hidden", 1, kObject + 0x80));
    f.Request(68, kT0 + 2 * kSecond, kObject + 0x80);
    AddSimU32(f.e, u"IoSize", 26);
    REQUIRE(f.Decode());
    CHECK(f.Cells() == "sample.exe|Wrote alternate data stream|C:\\x\\notes.txt:hidden|"
                       "Stream: hidden, 26 bytes|-");
    REQUIRE(Open(f, u"\\Device\\HarddiskVolume3\\x\\notes.txt", 1, kObject + 0xC0));
    f.Request(68, kT0 + 2 * kSecond, kObject + 0xC0);
    AddSimU32(f.e, u"IoSize", 26);
    REQUIRE(f.Decode());
    CHECK(f.Operation() + "|" + f.Detail() == "Wrote to file|26 bytes");
}

TEST_CASE("file: volumes and disks opened whole, and the paths on them that are not") {
    FileFixture f;
    struct Case {
        const char16_t* path;
        bool raw;
    } cases[] = {
        {u"\\Device\\HarddiskVolume3", true},
        {u"\\Device\\HarddiskVolume12", true},
        {u"\\Device\\HarddiskVolumeShadowCopy4", true},
        {u"\\Device\\Harddisk0\\DR0", true},
        {u"\\Device\\Harddisk1\\Partition2", true},
        {u"\\??\\PhysicalDrive0", true},
        {u"\\\\.\\PhysicalDrive1", true},
        {u"\\??\\C:", true},
        {u"\\\\.\\d:", true},
        {u"\\Device\\HarddiskVolume3\\", false},
        {u"\\Device\\HarddiskVolume3\\Windows", false},
        {u"\\Device\\Harddisk0\\DR0\\x", false},
        {u"\\Device\\Harddisk0\\DRx", false},
        {u"\\Device\\HarddiskX\\DR0", false},
        {u"\\??\\C:\\x", false},
        {u"\\??\\PhysicalDriveA", false},
        {u"\\??\\CC:", false},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.path));
        REQUIRE(Open(f, c.path, 1));
        CHECK(f.Operation() == (c.raw ? "Opened disk for raw access" : "Opened file"));
    }
}

TEST_CASE("file: pipes, streams and disks of a process that is not followed make no row") {
    FileFixture f;
    for (const char16_t* path : {u"\\Device\\NamedPipe\\a", u"\\Device\\HarddiskVolume3",
                                 u"\\Device\\HarddiskVolume3\\f.txt:s"}) {
        f.Begin(kFileIoProvider, 64, kT0 + kSecond, kOtherPid);
        AddSimWideString(f.e, u"OpenPath", path);
        AddSimU32(f.e, u"CreateOptions", 2u << 24);
        CHECK_FALSE(f.Decode());
    }
}

} // namespace olv
