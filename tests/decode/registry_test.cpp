// Registry events through DecodeEvent: key names learned from key events, full key paths where
// the key is known, and the rows whose key could not be named counted for later naming.
#include "doctest.h"

#include "decode/provider_fixture.h"

namespace olv {

namespace {

constexpr uint64_t kCreatedKey = 0xFFFF8A0012345670ull;
constexpr uint64_t kListedKey = 0xFFFF8A0012345680ull;
constexpr uint64_t kUnknownKey = 0xFFFF8A00ABCDEF00ull;
constexpr const char* kNoKey = "(key not identified)";

struct RegistryFixture : ProviderFixture {
    // A key event, logged by a process that is not followed; a null name leaves it out.
    void KeyEvent(uint8_t opcode, int64_t t, uint64_t key, const char16_t* name) {
        Begin(kRegistryProvider, opcode, t, kOtherPid);
        if (key != 0) AddSimPointer(e, u"KeyHandle", key);
        if (name != nullptr) AddSimWideString(e, u"KeyName", name);
        CHECK_FALSE(Decode());
    }
    // An operation of the sample process; a zero status leaves the property out.
    bool Act(uint8_t opcode, int64_t t, uint64_t key, const char16_t* name, uint32_t status = 0,
             uint32_t pid = kSamplePid) {
        Begin(kRegistryProvider, opcode, t, pid);
        if (key != 0) AddSimPointer(e, u"KeyHandle", key);
        if (name != nullptr) AddSimWideString(e, u"KeyName", name);
        if (status != 0) AddSimU32(e, u"Status", status);
        return Decode();
    }
};

} // namespace

TEST_CASE("registry: key names by creation, rundown and deletion; the paths composed from them") {
    RegistryFixture f;
    const int64_t t = kT0 + 500;
    f.KeyEvent(22, t, kCreatedKey, u"\\REGISTRY\\MACHINE\\SYSTEM");
    f.KeyEvent(24, t, kListedKey, u"\\REGISTRY\\USER\\S-1\\Software\\");
    f.KeyEvent(25, t, kListedKey, u"\\REGISTRY\\USER\\S-1\\Software\\"); // counted again
    f.KeyEvent(22, t, 0, u"\\REGISTRY\\MACHINE\\X");                     // no key
    f.KeyEvent(25, t, kUnknownKey, u"");                                 // no name
    CHECK(f.ts->keysNamedByCreate == 1);
    CHECK(f.ts->keysNamedByRundown == 2);
    CHECK(KeyNameCount(f.ts) == 2);
    f.KeyEvent(23, t + 10, kListedKey, nullptr);

    struct Case {
        uint8_t opcode;
        int64_t at;
        uint64_t key;
        const char16_t* name;
        const char* path;
        const char* detail;
        bool unresolved;
    } cases[] = {
        {14, t, kCreatedKey, u"Updater", "\\REGISTRY\\MACHINE\\SYSTEM", "Value: Updater", false},
        {16, t - 1, kCreatedKey, u"Updater", kNoKey, "Value: Updater", true}, // before creation
        {11, t, kCreatedKey, u"Sub", "\\REGISTRY\\MACHINE\\SYSTEM\\Sub", "", false},
        {11, t, kCreatedKey, u"\\REGISTRY\\USER", "\\REGISTRY\\USER", "", false},
        {11, kT0, kListedKey, u"Classes", "\\REGISTRY\\USER\\S-1\\Software\\Classes", "", false},
        {11, t + 11, kListedKey, u"Classes", "...\\Classes", "", true}, // after the deletion
        {10, t, kUnknownKey, u"\\REGISTRY\\USER", "\\REGISTRY\\USER", "", false},
        {13, t, kUnknownKey, nullptr, kNoKey, "", true},
        {15, t, 0, u"Shell", kNoKey, "Value: Shell", true},
        {14, t, kUnknownKey, nullptr, kNoKey, "", true},
    };
    uint32_t unresolved = 0;
    for (const Case& c : cases) {
        CAPTURE(c.path);
        REQUIRE(f.Act(c.opcode, c.at, c.key, c.name));
        CHECK((f.row.category == kCategoryRegistry && f.row.keyObject == c.key));
        CHECK(f.Path() + "|" + f.Detail() + "|" + f.Result() == // no Status property: OK
              std::string(c.path) + "|" + c.detail + "|OK");
        unresolved += c.unresolved ? 1 : 0;
        CHECK(f.ts->registryKeysNotResolved == unresolved);
    }
}

TEST_CASE("registry: operation texts, results and the events without rows") {
    RegistryFixture f;
    auto operation = [&f](uint8_t opcode, uint32_t pid = kSamplePid) {
        const bool kept = f.Act(opcode, kT0, kUnknownKey, nullptr, 0xC0000034, pid);
        return kept ? f.Operation() : std::string("(no row)");
    };
    CHECK(operation(9) == "Registry operation (9)");
    CHECK(f.Result() == "NOT FOUND");
    CHECK(operation(12) == "Deleted registry key");
    CHECK(operation(21) == "Flushed registry key");
    CHECK(operation(27) == "Closed registry key");
    CHECK(operation(28) == "Registry operation (28)");
    CHECK(operation(26) == "(no row)");
    CHECK(operation(11, kOtherPid) == "(no row)");
    CHECK(f.ts->registryKeysNotResolved == 5);
}

TEST_CASE("ComposeKeyPath cuts every text at the capacity less one") {
    char16_t out[8];
    CHECK(ComposeKeyPath(u"\\REGISTRY", u"MACHINE", out, 8));
    CHECK(U8(out) == "\\REGIST");
    CHECK_FALSE(ComposeKeyPath(u"", u"SOFTWARE", out, 8));
    CHECK(U8(out) == "...\\SOF");
    CHECK_FALSE(ComposeKeyPath(nullptr, nullptr, out, 8));
    CHECK(U8(out) == "(key no");
}

} // namespace olv
