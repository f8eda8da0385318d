// The script logging policy switched on and put back through the system's own registry: the
// values a recording changes, the value of the recorder's own that keeps what they were, and the
// next start's repair after a recorder that ended without its Stop.
#include "doctest.h"

#include <windows.h>

#include <string>

#include "capture/script_logging.h"

namespace olv {

namespace {

const wchar_t kBlockKey[] = L"SOFTWARE\\Policies\\Microsoft\\Windows\\PowerShell\\ScriptBlockLogging";
const wchar_t kModuleKey[] = L"SOFTWARE\\Policies\\Microsoft\\Windows\\PowerShell\\ModuleLogging";
const wchar_t kNamesKey[] =
    L"SOFTWARE\\Policies\\Microsoft\\Windows\\PowerShell\\ModuleLogging\\ModuleNames";
const wchar_t kOwnKey[] = L"SOFTWARE\\Olvetta\\Recorder";

// A DWORD value as text ("1", "0"), "absent" when there is none, "other" when it is no DWORD.
std::string Dword(const wchar_t* key, const wchar_t* name) {
    DWORD data = 0;
    DWORD size = sizeof data;
    DWORD type = 0;
    const LSTATUS status =
        RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_ANY, &type, &data, &size);
    if (status == ERROR_FILE_NOT_FOUND) return "absent";
    if (status != ERROR_SUCCESS || type != REG_DWORD) return "other";
    return std::to_string(data);
}

bool ValueExists(const wchar_t* key, const wchar_t* name) {
    return RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

void SetDword(const wchar_t* key, const wchar_t* name, DWORD data) {
    HKEY handle = nullptr;
    REQUIRE(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle,
                            nullptr) == ERROR_SUCCESS);
    CHECK(RegSetValueExW(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                         sizeof data) == ERROR_SUCCESS);
    RegCloseKey(handle);
}

// The policy as no recorder touched it: module logging absent, script block logging off.
void StartClean() {
    ScriptLoggingResult ignored{};
    RestoreScriptLogging(&ignored);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kModuleKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBlockKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kOwnKey);
    SetDword(kBlockKey, L"EnableScriptBlockLogging", 0);
}

void CheckAsBefore() {
    CHECK(Dword(kBlockKey, L"EnableScriptBlockLogging") == "0");
    CHECK(Dword(kModuleKey, L"EnableModuleLogging") == "absent");
    CHECK_FALSE(ValueExists(kNamesKey, L"*"));
    CHECK_FALSE(ScriptLoggingValuesKept());
}

} // namespace

TEST_CASE("script logging through the real registry: on for a recording, then put back") {
    StartClean();
    ScriptLoggingResult result{};

    SUBCASE("turned on, then put back at Stop") {
        REQUIRE(TurnOnScriptLogging(&result));
        CHECK(result.step == kScriptLoggingDone);
        CHECK(Dword(kBlockKey, L"EnableScriptBlockLogging") == "1");
        CHECK(Dword(kModuleKey, L"EnableModuleLogging") == "1");
        CHECK(ValueExists(kNamesKey, L"*"));
        CHECK(ScriptLoggingValuesKept());
        CHECK(ValueExists(kOwnKey, L"ScriptLoggingSaved"));

        REQUIRE(RestoreScriptLogging(&result));
        CheckAsBefore();
    }
    SUBCASE("a recorder ended without its Stop: the next start puts the policy back first") {
        REQUIRE(TurnOnScriptLogging(&result));
        // The recorder is gone; its kept values are what the next start finds.
        REQUIRE(ScriptLoggingValuesKept());
        REQUIRE(RestoreScriptLogging(&result));
        CheckAsBefore();
        // And a second recording after the repair keeps the first's "before", not its own "on".
        REQUIRE(TurnOnScriptLogging(&result));
        REQUIRE(TurnOnScriptLogging(&result));
        REQUIRE(RestoreScriptLogging(&result));
        CheckAsBefore();
    }
    SUBCASE("nothing kept: putting back changes nothing and succeeds") {
        REQUIRE(RestoreScriptLogging(&result));
        CheckAsBefore();
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBlockKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kOwnKey);
}

} // namespace olv
