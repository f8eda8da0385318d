// Key paths as the trace and the rows write them, and the stand-ins' answers for registry values,
// process tokens and the trust check.
#include "doctest.h"

#include <string>

#include "base/text.h"
#include "platform/registry_values.h"
#include "platform/sim/sim_facts.h"
#include "support/text_check.h"

namespace olv {

TEST_CASE("key paths split into root and subkey") {
    struct Row {
        const char16_t* path;
        RegistryRoot root;
        const char* subkey;
    };
    const Row rows[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Run", kRegistryRootMachine, "SOFTWARE\\Run"},
        {u"\\registry\\machine", kRegistryRootMachine, ""},
        {u"HKLM\\SYSTEM\\CurrentControlSet", kRegistryRootMachine, "SYSTEM\\CurrentControlSet"},
        {u"HKEY_LOCAL_MACHINE\\A", kRegistryRootMachine, "A"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1_Classes\\x", kRegistryRootUsers, "S-1-5-21-1_Classes\\x"},
        {u"HKU\\S-1-5-18", kRegistryRootUsers, "S-1-5-18"},
        {u"hkey_users\\.DEFAULT", kRegistryRootUsers, ".DEFAULT"},
        {u"HKCU\\Software", kRegistryRootCurrentUser, "Software"},
        {u"HKEY_CURRENT_USER", kRegistryRootCurrentUser, ""},
        {u"HKCR\\.txt", kRegistryRootClassesRoot, ".txt"},
        {u"HKEY_CLASSES_ROOT\\CLSID", kRegistryRootClassesRoot, "CLSID"},
    };
    for (const Row& row : rows) {
        CAPTURE(U8(row.path));
        const char16_t* subkey = nullptr;
        CHECK(SplitRegistryKeyPath(row.path, &subkey) == row.root);
        REQUIRE(subkey != nullptr);
        CHECK(U8(subkey) == row.subkey);
    }
    // Roots this interface does not open, and names that only start like a root.
    for (const char16_t* path : {u"\\REGISTRY\\A\\{guid}\\x", u"\\REGISTRY\\USERS\\x", u"HKUX\\a",
                                 u"HKLMSOFTWARE", u"SOFTWARE\\x", u"\\REGISTRY", u"HK", u""}) {
        CAPTURE(U8(path));
        const char16_t* subkey = u"#";
        CHECK(SplitRegistryKeyPath(path, &subkey) == kRegistryRootNone);
        CHECK(subkey == nullptr);
    }
    CHECK(SplitRegistryKeyPath(nullptr, nullptr) == kRegistryRootNone);
}

TEST_CASE("the stand-in registry answers each outcome a read can have") {
    static RegistryValue value; // 64 KB: not on the test's stack
    ClearSimulatedRegistry();
    const uint8_t one[4] = {1, 0, 0, 0};
    SetSimulatedRegistryValue(u"HKLM\\Software\\T", u"Start", kRegDword, one, 4);
    SetSimulatedRegistryKeyTime(u"HKLM\\Software\\T", 1234);

    // Another spelling of the same key and value name.
    CHECK(ReadRegistryValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\t", u"START", &value));
    CHECK(value.status == kRegistryValueRead);
    CHECK(value.type == kRegDword);
    CHECK(value.size == 4);
    CHECK(value.data[0] == 1);
    CHECK(value.keyLastWrite == 1234);

    CHECK_FALSE(ReadRegistryValue(u"HKLM\\Software\\T", u"Other", &value));
    CHECK(value.status == kRegistryValueGone);
    RemoveSimulatedRegistryValue(u"HKLM\\Software\\T", u"start");
    CHECK_FALSE(ReadRegistryValue(u"HKLM\\Software\\T", u"Start", &value));
    CHECK(value.status == kRegistryValueGone);
    CHECK_FALSE(ReadRegistryValue(u"HKLM\\Software\\U", u"Start", &value));
    CHECK(value.status == kRegistryKeyGone);
    CHECK_FALSE(ReadRegistryValue(u"\\REGISTRY\\A\\x", u"Start", &value));
    CHECK(value.status == kRegistryBadPath);

    SetSimulatedRegistryKey(u"HKU\\S-1-5-18\\Locked", true);
    CHECK_FALSE(ReadRegistryValue(u"\\REGISTRY\\USER\\S-1-5-18\\Locked", nullptr, &value));
    CHECK(value.status == kRegistryAccessDenied);

    // Over the limit: type and size known, no data.
    const std::string big(kRegistryValueDataMax + 1, 'x');
    SetSimulatedRegistryValue(u"HKCU\\Big", nullptr, kRegBinary, big.data(),
                              static_cast<uint32_t>(big.size()));
    CHECK_FALSE(ReadRegistryValue(u"HKCU\\Big", u"", &value));
    CHECK(value.status == kRegistryValueTooLarge);
    CHECK(value.type == kRegBinary);
    CHECK(value.size == 0);
    CHECK(value.fullSize == kRegistryValueDataMax + 1);
    SetSimulatedRegistryValue(u"HKCU\\Big", nullptr, kRegBinary, big.data(), kRegistryValueDataMax);
    CHECK(ReadRegistryValue(u"HKCU\\Big", u"", &value));
    CHECK(value.size == kRegistryValueDataMax);
    ClearSimulatedRegistry();
    CHECK_FALSE(ReadRegistryValue(u"HKCU\\Big", u"", &value));
    CHECK(value.status == kRegistryKeyGone);
}

TEST_CASE("the stand-in tokens and trust checks: entries as given, the rest unknown") {
    ProcessTokenFacts facts{};
    facts.status = kTokenRead;
    facts.userKnown = true;
    CopyBounded(facts.user, kTokenUserChars, u"NT AUTHORITY\\SYSTEM");
    facts.integrityKnown = true;
    facts.integrityRid = 0x4000;
    SetSimulatedProcessToken(40, facts);
    facts.status = kTokenAccessDenied;
    SetSimulatedProcessToken(44, facts);

    ProcessTokenFacts read{};
    CHECK(ReadProcessTokenFacts(40, &read));
    CHECK(U8(read.user) == "NT AUTHORITY\\SYSTEM");
    CHECK(read.integrityRid == 0x4000);
    CHECK_FALSE(ReadProcessTokenFacts(44, &read));
    CHECK(read.status == kTokenAccessDenied);
    RemoveSimulatedProcessToken(40);
    CHECK_FALSE(ReadProcessTokenFacts(40, &read));
    CHECK(read.status == kTokenProcessGone);
    CHECK_FALSE(read.userKnown);
    CHECK_FALSE(read.integrityKnown);
    CHECK_FALSE(read.logonIdKnown);
    ClearSimulatedProcessTokens();
    CHECK_FALSE(ReadProcessTokenFacts(44, &read));

    FileTrust trust{};
    trust.status = kFileTrustChecked;
    trust.trustResult = kTrustCertExpired;
    trust.signerKnown = true;
    CopyBounded(trust.signer, kTrustSignerChars, u"Signer");
    SetSimulatedFileTrust(u"C:\\Windows\\a.dll", trust);
    FileTrust checked{};
    CHECK(CheckFileTrust(u"c:\\windows\\A.DLL", &checked));
    CHECK(checked.trustResult == kTrustCertExpired);
    CHECK(U8(checked.signer) == "Signer");
    CHECK_FALSE(CheckFileTrust(u"C:\\Windows\\b.dll", &checked));
    CHECK(checked.status == kFileTrustCannotOpen);
    CHECK_FALSE(checked.signerKnown);
    ClearSimulatedFileTrust();
    CHECK_FALSE(CheckFileTrust(u"C:\\Windows\\a.dll", &checked));
}

} // namespace olv
