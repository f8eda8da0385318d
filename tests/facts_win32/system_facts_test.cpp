// The facts only the system has, read from the system itself: registry values written here and
// read back by the names the trace gives keys, this process's own token, and the trust check of
// the system's files.
#include "doctest.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/text.h"
#include "facts/fact_texts.h"
#include "platform/file_trust.h"
#include "platform/process_directory.h"
#include "platform/process_token.h"
#include "platform/registry_values.h"
#include "support/text_check.h"

namespace olv {

namespace {

const char16_t* U16(const wchar_t* text) {
    return reinterpret_cast<const char16_t*>(text);
}

// The Details text of the value as ReadRegistryValue reads it, or the read's status name.
std::string ReadDetails(const std::u16string& keyPath, const wchar_t* valueName) {
    static RegistryValue value; // 64 KB: not on the test's stack
    char16_t text[kDetailsChars];
    ReadRegistryValue(keyPath.c_str(), U16(valueName), &value);
    if (RegistryDetailsText(value, text, kDetailsChars) == kDetailsUnknown) {
        return RegistryValueStatusName(value.status);
    }
    return U8(text);
}

// A key of this test under HKCU\Software\OlvettaTest, deleted with everything in it at the end.
struct TestKey {
    HKEY key = nullptr;
    std::wstring subkey;

    TestKey() {
        subkey = L"Software\\OlvettaTest\\facts-" + std::to_wstring(GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, subkey.c_str());
        RegCreateKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr);
    }
    ~TestKey() {
        if (key != nullptr) RegCloseKey(key);
        RegDeleteTreeW(HKEY_CURRENT_USER, subkey.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER,
                      L"Software\\OlvettaTest"); // only when nothing else is in it
    }
    bool Set(const wchar_t* name, DWORD type, const void* data, size_t bytes) {
        return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data),
                              static_cast<DWORD>(bytes)) == ERROR_SUCCESS;
    }
};

} // namespace

TEST_CASE("real registry: values of each type read back by the trace's key names") {
    ProcessTokenFacts self{};
    REQUIRE(ReadProcessTokenFacts(GetCurrentProcessId(), &self));
    REQUIRE(self.sidKnown);
    TestKey test;
    REQUIRE(test.key != nullptr);

    const DWORD dword = 10;
    const ULONGLONG qword = 0x000000020000000aull;
    const BYTE twoBytes[2] = {1, 2};
    const wchar_t text[] = L"C:\\Users\\x\\run.exe";
    const wchar_t expand[] = L"%SystemRoot%\\x.dll";
    const wchar_t multi[] = L"first\0second\0";
    const BYTE binary[3] = {0xde, 0xad, 0x00};
    const std::vector<BYTE> large(kRegistryValueDataMax + 2, 0x41);
    REQUIRE(test.Set(L"Dword", REG_DWORD, &dword, sizeof dword));
    REQUIRE(test.Set(L"Qword", REG_QWORD, &qword, sizeof qword));
    REQUIRE(test.Set(L"ShortDword", REG_DWORD, twoBytes, sizeof twoBytes));
    REQUIRE(test.Set(L"Text", REG_SZ, text, sizeof text));
    REQUIRE(test.Set(L"Unterminated", REG_SZ, text, 6)); // three characters, no terminator
    REQUIRE(test.Set(L"Expand", REG_EXPAND_SZ, expand, sizeof expand));
    REQUIRE(test.Set(L"Multi", REG_MULTI_SZ, multi, sizeof multi));
    REQUIRE(test.Set(L"Binary", REG_BINARY, binary, sizeof binary));
    REQUIRE(test.Set(L"EmptyBinary", REG_BINARY, nullptr, 0));
    REQUIRE(test.Set(L"EmptyText", REG_SZ, L"", sizeof(wchar_t)));
    REQUIRE(test.Set(L"LargeBinary", REG_BINARY, large.data(), large.size()));
    REQUIRE(test.Set(L"LargeText", REG_SZ, large.data(), large.size()));
    REQUIRE(test.Set(L"", REG_SZ, L"default", sizeof L"default"));

    // The kernel's name of the key (the user's hive by SID), the short form and HKCU.
    const std::u16string kernelPath =
        u"\\REGISTRY\\USER\\" + std::u16string(self.sid) + u"\\" + U16(test.subkey.c_str());
    const std::u16string shortPath =
        u"HKU\\" + std::u16string(self.sid) + u"\\" + U16(test.subkey.c_str());
    const std::u16string currentUser = u"HKCU\\" + std::u16string(U16(test.subkey.c_str()));
    for (const std::u16string& path : {kernelPath, shortPath, currentUser}) {
        CAPTURE(U8(path.c_str()));
        CHECK(ReadDetails(path, L"Dword") == "DWORD (0x0000000a)");
        CHECK(ReadDetails(path, L"Qword") == "QWORD (0x00000002-0x0000000a)");
        CHECK(ReadDetails(path, L"ShortDword") == "Binary Data");
        CHECK(ReadDetails(path, L"Text") == "C:\\Users\\x\\run.exe");
        CHECK(ReadDetails(path, L"Unterminated") == "C:\\");
        CHECK(ReadDetails(path, L"Expand") == "%SystemRoot%\\x.dll");
        CHECK(ReadDetails(path, L"Multi") == "first second");
        CHECK(ReadDetails(path, L"Binary") == "Binary Data");
        CHECK(ReadDetails(path, L"EmptyBinary") == "(Empty)");
        CHECK(ReadDetails(path, L"EmptyText") == "(Empty)");
        CHECK(ReadDetails(path, L"LargeBinary") == "Binary Data");
        CHECK(ReadDetails(path, L"LargeText") == "too large");
        CHECK(ReadDetails(path, L"") == "default");
        CHECK(ReadDetails(path, nullptr) == "default");
    }

    static RegistryValue value;
    REQUIRE(ReadRegistryValue(currentUser.c_str(), u"Dword", &value));
    CHECK(value.keyLastWrite != 0);
    CHECK_FALSE(ReadRegistryValue(currentUser.c_str(), u"LargeText", &value));
    CHECK(value.status == kRegistryValueTooLarge);
    // The system may count room for a terminator the data itself lacks.
    CHECK(value.fullSize >= large.size());
    CHECK(value.size == 0);
    CHECK(value.type == kRegSz);

    // Gone: the value, then the key; a root no call opens.
    REQUIRE(RegDeleteValueW(test.key, L"Dword") == ERROR_SUCCESS);
    CHECK(ReadDetails(kernelPath, L"Dword") == "value gone");
    CHECK(ReadDetails(kernelPath + u"\\missing", L"Dword") == "key gone");
    CHECK(ReadDetails(u"\\REGISTRY\\A\\x", L"Dword") == "not a key path");
}

TEST_CASE("real registry: values written and deleted by the trace's key names") {
    ProcessTokenFacts self{};
    REQUIRE(ReadProcessTokenFacts(GetCurrentProcessId(), &self));
    REQUIRE(self.sidKnown);
    TestKey test;
    REQUIRE(test.key != nullptr);
    const std::u16string kernelPath =
        u"\\REGISTRY\\USER\\" + std::u16string(self.sid) + u"\\" + U16(test.subkey.c_str());
    auto dwordOf = [&](const wchar_t* subkey, const wchar_t* name, DWORD* value) {
        DWORD size = sizeof *value;
        const std::wstring path = test.subkey + subkey;
        return RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, value,
                            &size);
    };
    const DWORD seven = 7;
    const DWORD eight = 8;
    uint32_t error = 99;

    // Written by its kernel name; a key missing on the path is made; null names the default.
    CHECK(WriteRegistryValue(kernelPath.c_str(), u"Written", kRegDword, &seven, 4, &error));
    CHECK(error == 0);
    CHECK(WriteRegistryValue((kernelPath + u"\\made\\deeper").c_str(), nullptr, kRegDword, &eight,
                             4, &error));
    DWORD value = 0;
    CHECK(dwordOf(L"", L"Written", &value) == ERROR_SUCCESS);
    CHECK(value == 7);
    CHECK(dwordOf(L"\\made\\deeper", nullptr, &value) == ERROR_SUCCESS);
    CHECK(value == 8);

    // Deleted; a value or a key already gone counts as deleted.
    error = 99;
    CHECK(DeleteRegistryValue(kernelPath.c_str(), u"Written", &error));
    CHECK(error == 0);
    CHECK(dwordOf(L"", L"Written", &value) == ERROR_FILE_NOT_FOUND);
    CHECK(DeleteRegistryValue(kernelPath.c_str(), u"Written", &error));
    CHECK(DeleteRegistryValue((kernelPath + u"\\missing").c_str(), u"Written", &error));
    CHECK(error == 0);
    CHECK(DeleteRegistryValue((kernelPath + u"\\made\\deeper").c_str(), nullptr, &error));
    CHECK(dwordOf(L"\\made\\deeper", nullptr, &value) == ERROR_FILE_NOT_FOUND);

    // A root no call opens: refused as a bad parameter, nothing written.
    CHECK_FALSE(WriteRegistryValue(u"\\REGISTRY\\A\\x", u"v", kRegDword, &seven, 4, &error));
    CHECK(error == ERROR_INVALID_PARAMETER);
    error = 0;
    CHECK_FALSE(DeleteRegistryValue(u"\\REGISTRY\\A\\x", u"v", &error));
    CHECK(error == ERROR_INVALID_PARAMETER);
}

TEST_CASE("real token: this process's user, integrity level and logon session") {
    ProcessTokenFacts facts{};
    REQUIRE(ReadProcessTokenFacts(GetCurrentProcessId(), &facts));
    CHECK(facts.status == kTokenRead);
    CHECK(facts.error == 0);
    REQUIRE(facts.userKnown);
    const std::string user = U8(facts.user);
    CAPTURE(user);
    CHECK(user.find('\\') != std::string::npos);
    CHECK(user.back() != '\\');
    REQUIRE(facts.sidKnown);
    CHECK(U8(facts.sid).rfind("S-1-", 0) == 0);
    REQUIRE(facts.integrityKnown);
    const std::string level = U8(IntegrityLevelName(facts.integrityRid));
    CAPTURE(level);
    CHECK((level == "Low" || level == "Medium" || level == "High" || level == "System"));
    REQUIRE(facts.logonIdKnown);
    char16_t logon[24];
    LogonIdText(facts.logonId, logon, 24);
    MESSAGE("own token: " << user << ", " << level << ", logon " << U8(logon));

    // Ids of no process (multiples of four well above any id the test's own run hands out).
    ProcessTokenFacts gone{};
    CHECK_FALSE(ReadProcessTokenFacts(0x7FFFFFF0u, &gone));
    CHECK(gone.status == kTokenProcessGone);
    CHECK_FALSE(gone.userKnown);
    CHECK_FALSE(gone.integrityKnown);
    CHECK_FALSE(gone.logonIdKnown);
    CHECK_FALSE(ReadProcessTokenFacts(0, nullptr));
}

TEST_CASE("real current directory: this process's, and a child's held at its start") {
    // This process: its parameters were long made into addresses by its loader.
    wchar_t own[MAX_PATH + 1];
    const DWORD ownChars = GetCurrentDirectoryW(MAX_PATH + 1, own);
    REQUIRE((ownChars > 0 && ownChars <= MAX_PATH));
    ProcessDirectory directory{};
    REQUIRE(ReadProcessCurrentDirectory(GetCurrentProcessId(), &directory));
    CHECK(directory.status == kDirectoryRead);
    std::wstring expected(own);
    if (expected.back() != L'\\') expected += L'\\'; // the process keeps the separator
    CHECK(U8(directory.path) == U8(U16(expected.c_str())));

    // A child started suspended in a folder of the test's own: read before its loader ran.
    wchar_t temp[MAX_PATH + 1];
    REQUIRE(GetTempPathW(MAX_PATH + 1, temp) > 0);
    const std::wstring folder =
        std::wstring(temp) + L"olv-cwd-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    wchar_t system[MAX_PATH + 1];
    REQUIRE(GetSystemDirectoryW(system, MAX_PATH + 1) > 0);
    std::wstring line = L"\"" + std::wstring(system) + L"\\cmd.exe\" /c exit 0";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    REQUIRE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                           CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup,
                           &child));
    ProcessDirectory childDirectory{};
    const bool read = ReadProcessCurrentDirectory(child.dwProcessId, &childDirectory);
    TerminateProcess(child.hProcess, 0);
    CHECK_MESSAGE(WaitForSingleObject(child.hProcess, 20000) == WAIT_OBJECT_0,
                  "waited 20 s for the suspended child to end");
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    RemoveDirectoryW(folder.c_str());
    REQUIRE(read);
    CHECK(EqualsFolded(childDirectory.path, U16(folder.c_str())));

    ProcessDirectory gone{};
    CHECK_FALSE(ReadProcessCurrentDirectory(0x7FFFFFF0u, &gone));
    CHECK(gone.status == kDirectoryProcessGone);
    CHECK(gone.path[0] == 0);
    CHECK_FALSE(ReadProcessCurrentDirectory(0, nullptr));
}

TEST_CASE("real trust check: the system's own files and this test give a verdict") {
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    REQUIRE(length > 0);
    REQUIRE(length < MAX_PATH - 20);
    wchar_t self[MAX_PATH];
    REQUIRE(GetModuleFileNameW(nullptr, self, MAX_PATH) < MAX_PATH);
    const std::wstring files[] = {std::wstring(system) + L"\\kernel32.dll",
                                  std::wstring(system) + L"\\notepad.exe", self};
    for (const std::wstring& file : files) {
        CAPTURE(U8(U16(file.c_str())));
        FileTrust trust{};
        REQUIRE(CheckFileTrust(U16(file.c_str()), &trust));
        CHECK(trust.status == kFileTrustChecked);
        const SignatureVerdict verdict = SignatureVerdictOf(trust.trustResult);
        REQUIRE(verdict.status != nullptr);
        CHECK(trust.signer[kTrustSignerChars - 1] == 0);
        char answer[16];
        std::snprintf(answer, sizeof answer, "0x%08x", static_cast<unsigned>(trust.trustResult));
        const std::string signedText =
            verdict.signedKnown ? U8(SignedText(verdict.isSigned)) : std::string("unknown");
        const std::string line = U8(U16(file.c_str())) + ": " + answer + " " + U8(verdict.status) +
                                 ", signed " + signedText + (trust.catalog ? " (catalog)" : "") +
                                 ", signer " +
                                 (trust.signerKnown ? U8(trust.signer) : std::string("unknown"));
        MESSAGE(line);
    }
    // This test is built unsigned and no catalog lists it.
    FileTrust own{};
    REQUIRE(CheckFileTrust(U16(self), &own));
    CHECK(SignatureVerdictOf(own.trustResult).signedKnown);
    CHECK_FALSE(SignatureVerdictOf(own.trustResult).isSigned);
    CHECK_FALSE(own.signerKnown);

    FileTrust missing{};
    const std::wstring gone = std::wstring(system) + L"\\no-such-file-olvetta.dll";
    CHECK_FALSE(CheckFileTrust(U16(gone.c_str()), &missing));
    CHECK(missing.status == kFileTrustCannotOpen);
    CHECK(missing.error == ERROR_FILE_NOT_FOUND);
    CHECK_FALSE(CheckFileTrust(nullptr, &missing));
    CHECK(missing.status == kFileTrustCannotOpen);
}

} // namespace olv
