// Registry events through DecodeEvent: key names learned from key events, full key paths where
// the key is known, and the rows whose key could not be named counted for later naming.
#include "doctest.h"

#include "base/text.h"
#include "decode/provider_fixture.h"

namespace olv {

namespace {

constexpr uint64_t kRunKey = 0xFFFF8A0012345670ull;
constexpr uint64_t kUnknownKey = 0xFFFF8A00ABCDEF00ull;
constexpr const char16_t* kRunKeyName =
    u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

struct RegistryFixture : ProviderFixture {
    void KeyEvent(uint8_t opcode, int64_t t, uint64_t key, const char16_t* name,
                  uint32_t pid = kOtherPid) {
        Begin(kRegistryProvider, opcode, t, pid);
        if (key != 0) AddSimPointer(e, u"KeyHandle", key);
        if (name != nullptr) AddSimWideString(e, u"KeyName", name);
        CHECK_FALSE(Decode());
    }
    // An operation of the sample process; a null name leaves the property out.
    bool Act(uint8_t opcode, int64_t t, uint64_t key, const char16_t* name, uint32_t status = 0) {
        Begin(kRegistryProvider, opcode, t);
        if (key != 0) AddSimPointer(e, u"KeyHandle", key);
        if (name != nullptr) AddSimWideString(e, u"KeyName", name);
        AddSimU32(e, u"Status", status);
        return Decode();
    }
    uint32_t Unresolved() const { return ts->registryKeysNotResolved; }
};

} // namespace

TEST_CASE("registry: a key created during the recording is named from its creation on") {
    RegistryFixture f;
    const int64_t t = kT0 + 50;
    f.KeyEvent(22, t, kRunKey, kRunKeyName);
    CHECK(f.ts->keysNamedByCreate == 1);

    REQUIRE(f.Act(14, t + 1, kRunKey, u"Updater"));
    CHECK(f.Operation() == "Wrote registry value");
    CHECK(f.Path() == "\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
    CHECK(f.Detail() == "Value: Updater");
    CHECK(f.Result() == "OK");
    CHECK(f.row.category == kCategoryRegistry);
    CHECK(f.row.keyObject == kRunKey);
    CHECK(U8(f.row.process) == "sample.exe");
    CHECK(f.row.severity == 3);
    CHECK(U8(f.row.threat) == "Run key persistence");
    CHECK(f.Unresolved() == 0);

    // Before its creation the key object had no name.
    REQUIRE(f.Act(16, t - 1, kRunKey, u"Updater"));
    CHECK(f.Path() == "(key not identified)");
    CHECK(f.Detail() == "Value: Updater");
    CHECK(f.Unresolved() == 1);
}

TEST_CASE("registry: a key listed by the rundown is named from 0; a deleted key no longer") {
    RegistryFixture f;
    const int64_t t = kT0 + 500;
    f.KeyEvent(24, t, kRunKey, u"\\REGISTRY\\USER\\S-1-5-21\\Software\\");
    CHECK(f.ts->keysNamedByRundown == 1);
    f.KeyEvent(24, t, kRunKey, u"\\REGISTRY\\USER\\S-1-5-21\\Software\\"); // counted per event
    CHECK(f.ts->keysNamedByRundown == 2);

    REQUIRE(f.Act(11, kT0, kRunKey, u"Classes\\CLSID"));
    CHECK(f.Operation() == "Opened registry key");
    CHECK(f.Path() == "\\REGISTRY\\USER\\S-1-5-21\\Software\\Classes\\CLSID"); // one backslash

    f.KeyEvent(23, t + 10, kRunKey, nullptr);
    REQUIRE(f.Act(11, t + 11, kRunKey, u"Classes"));
    CHECK(f.Path() == "...\\Classes");
    CHECK(f.Unresolved() == 1);
    REQUIRE(f.Act(11, t + 9, kRunKey, u"Classes"));
    CHECK(f.Path() == "\\REGISTRY\\USER\\S-1-5-21\\Software\\Classes");

    // A new key control block at the same address takes a name of its own.
    f.KeyEvent(22, t + 20, kRunKey, u"\\REGISTRY\\MACHINE\\SYSTEM");
    REQUIRE(f.Act(13, t + 21, kRunKey, nullptr));
    CHECK(f.Operation() == "Read registry key");
    CHECK(f.Path() == "\\REGISTRY\\MACHINE\\SYSTEM");
    REQUIRE(f.Act(13, t + 15, kRunKey, nullptr));
    CHECK(f.Path() == "(key not identified)");
    CHECK(f.Unresolved() == 2);
}

TEST_CASE("registry: key events without a key or a name teach and count nothing") {
    RegistryFixture f;
    f.KeyEvent(22, kT0, 0, u"\\REGISTRY\\MACHINE\\X");
    f.KeyEvent(22, kT0, kRunKey, u"");
    f.KeyEvent(25, kT0, kRunKey, nullptr);
    CHECK(f.ts->keysNamedByCreate == 0);
    CHECK(f.ts->keysNamedByRundown == 0);
    CHECK(KeyNameCount(f.ts) == 0);
    f.KeyEvent(25, kT0, kRunKey, u"\\REGISTRY\\MACHINE\\X", kSamplePid);
    CHECK(f.ts->keysNamedByRundown == 1);
    CHECK(KeyNameCount(f.ts) == 1);
}

TEST_CASE("registry: paths of keys that are not known") {
    RegistryFixture f;
    struct Case {
        uint8_t opcode;
        uint64_t key;
        const char16_t* name;
        const char* path;
        const char* detail;
        bool counted;
    } cases[] = {
        {11, kUnknownKey, u"Software\\Evil", "...\\Software\\Evil", "", true},
        {10, kUnknownKey, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Evil",
         "\\REGISTRY\\MACHINE\\SOFTWARE\\Evil", "", false},
        {11, 0, u"\\REGISTRY\\MACHINE\\SOFTWARE", "\\REGISTRY\\MACHINE\\SOFTWARE", "", false},
        {13, kUnknownKey, nullptr, "(key not identified)", "", true},
        {15, kUnknownKey, u"Shell", "(key not identified)", "Value: Shell", true},
        {16, 0, u"\\Absolute", "(key not identified)", "Value: \\Absolute", true},
        {14, kUnknownKey, nullptr, "(key not identified)", "", true},
    };
    uint32_t expected = 0;
    for (const Case& c : cases) {
        CAPTURE(c.path);
        REQUIRE(f.Act(c.opcode, kT0, c.key, c.name));
        CHECK(f.Path() == c.path);
        CHECK(f.Detail() == c.detail);
        CHECK(f.row.keyObject == c.key);
        if (c.counted) ++expected;
        CHECK(f.Unresolved() == expected);
    }
}

TEST_CASE("registry: operation texts, results and the events without rows") {
    RegistryFixture f;
    f.KeyEvent(24, kT0, kRunKey, u"\\REGISTRY\\MACHINE\\SOFTWARE");
    struct Case {
        uint8_t opcode;
        const char* operation;
    } cases[] = {
        {9, "Registry operation (9)"},        {12, "Deleted registry key"},
        {19, "Read several registry values"}, {27, "Closed registry key"},
        {28, "Registry operation (28)"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.operation);
        REQUIRE(f.Act(c.opcode, kT0, kRunKey, nullptr, 0xC0000034));
        CHECK(f.Operation() == c.operation);
        CHECK(f.Result() == "NOT FOUND");
    }
    CHECK_FALSE(f.Act(26, kT0, kRunKey, nullptr));

    // A missing status reads as success.
    f.Begin(kRegistryProvider, 11, kT0);
    AddSimPointer(f.e, u"KeyHandle", kRunKey);
    REQUIRE(f.Decode());
    CHECK(f.Result() == "OK");

    // Operations of other processes make no row and count nothing.
    f.Begin(kRegistryProvider, 11, kT0, kOtherPid);
    AddSimWideString(f.e, u"KeyName", u"Relative");
    CHECK_FALSE(f.Decode());
    CHECK(f.Unresolved() == 0);
}

TEST_CASE("ComposeKeyPath joins a key name and a relative name") {
    struct Case {
        const char16_t* base;
        const char16_t* relative;
        const char* path;
        bool named;
    } cases[] = {
        {u"\\REGISTRY\\MACHINE", u"SOFTWARE", "\\REGISTRY\\MACHINE\\SOFTWARE", true},
        {u"\\REGISTRY\\MACHINE\\", u"SOFTWARE", "\\REGISTRY\\MACHINE\\SOFTWARE", true},
        {u"\\REGISTRY\\MACHINE", u"", "\\REGISTRY\\MACHINE", true},
        {u"\\REGISTRY\\MACHINE", nullptr, "\\REGISTRY\\MACHINE", true},
        {u"\\REGISTRY\\MACHINE", u"\\REGISTRY\\USER", "\\REGISTRY\\USER", true},
        {u"", u"\\REGISTRY\\USER", "\\REGISTRY\\USER", true},
        {u"", u"SOFTWARE", "...\\SOFTWARE", false},
        {nullptr, u"", "(key not identified)", false},
        {u"", nullptr, "(key not identified)", false},
    };
    for (const Case& c : cases) {
        CAPTURE(c.path);
        char16_t out[kPathChars];
        CHECK(ComposeKeyPath(c.base, c.relative, out, kPathChars) == c.named);
        CHECK(U8(out) == c.path);
    }

    // Every text is cut at the capacity less one.
    char16_t small[8];
    CHECK(ComposeKeyPath(u"\\REGISTRY", u"MACHINE", small, 8));
    CHECK(U8(small) == "\\REGIST");
    CHECK_FALSE(ComposeKeyPath(u"", u"", small, 8));
    CHECK(U8(small) == "(key no");
    char16_t exact[11];
    CHECK(ComposeKeyPath(u"\\REGISTRY", u"A", exact, 11)); // the backslash fits, "A" does not
    CHECK(U8(exact) == "\\REGISTRY\\");
}

} // namespace olv
