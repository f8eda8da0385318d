// The script logging policy switch with the registry's stand-in: the values it turns on, and the
// system's own values put back at Stop, after a failed start and after a recorder that was
// ended without its Stop, whatever step fails.
#include "doctest.h"

#include <cstring>
#include <string>

#include "capture/script_logging.h"
#include "platform/memory.h"
#include "platform/registry_values.h"
#include "platform/sim/sim_facts.h"

namespace olv {

namespace {

// "absent", "dword N" or "sz TEXT" for a value as the stand-in holds it.
std::string ValueOf(const char16_t* key, const char16_t* name) {
    auto* read = AllocRecord<RegistryValue>();
    REQUIRE(read != nullptr);
    std::string text = "absent";
    if (ReadRegistryValue(key, name, read)) {
        if (read->type == kRegDword && read->size == 4) {
            uint32_t v = 0;
            std::memcpy(&v, read->data, 4);
            text = "dword " + std::to_string(v);
        } else if (read->type == kRegSz) {
            text = "sz ";
            for (uint32_t i = 0; i + 1 < read->size; i += 2) {
                if (read->data[i] != 0) text += static_cast<char>(read->data[i]);
            }
        } else {
            text = "type " + std::to_string(read->type);
        }
    }
    FreeBlock(read);
    return text;
}

std::string Policy() {
    return ValueOf(kScriptBlockLoggingKey, u"EnableScriptBlockLogging") + "|" +
           ValueOf(kModuleLoggingKey, u"EnableModuleLogging") + "|" +
           ValueOf(kModuleNamesKey, u"*");
}

void SetDword(const char16_t* key, const char16_t* name, uint32_t value) {
    SetSimulatedRegistryValue(key, name, kRegDword, &value, sizeof value);
}

struct CleanRegistry {
    CleanRegistry() { ClearSimulatedRegistry(); }
    ~CleanRegistry() { ClearSimulatedRegistry(); }
};

} // namespace

TEST_CASE("script logging: on for the recording, the system's own values back at Stop") {
    CleanRegistry clean;
    // The system's policy: script blocks logged already, as 0 for modules, no module names.
    SetDword(kScriptBlockLoggingKey, u"EnableScriptBlockLogging", 1);
    SetDword(kModuleLoggingKey, u"EnableModuleLogging", 0);
    SetDword(kScriptBlockLoggingKey, u"EnableScriptBlockInvocationLogging", 7);
    const std::string before = Policy();
    CHECK(before == "dword 1|dword 0|absent");

    ScriptLoggingResult result{};
    REQUIRE(TurnOnScriptLogging(&result));
    CHECK(result.step == kScriptLoggingDone);
    CHECK(Policy() == "dword 1|dword 1|sz *");
    CHECK(ScriptLoggingValuesKept());

    REQUIRE(RestoreScriptLogging(&result));
    CHECK(Policy() == before);
    CHECK_FALSE(ScriptLoggingValuesKept());
    CHECK(ValueOf(kScriptBlockLoggingKey, u"EnableScriptBlockInvocationLogging") == "dword 7");
    // Nothing kept: putting back again changes nothing.
    REQUIRE(RestoreScriptLogging(&result));
    CHECK(Policy() == before);
}

TEST_CASE("script logging: a recorder ended without its Stop is put back at the next start") {
    CleanRegistry clean;
    REQUIRE(TurnOnScriptLogging(nullptr));
    // The recorder is killed here: the policy stays on, its previous state kept.
    CHECK(Policy() == "dword 1|dword 1|sz *");
    CHECK(ScriptLoggingValuesKept());

    // The next start keeps the system's own values, not the ones the killed run left.
    REQUIRE(TurnOnScriptLogging(nullptr));
    REQUIRE(RestoreScriptLogging(nullptr));
    CHECK(Policy() == "absent|absent|absent");
    CHECK_FALSE(ScriptLoggingValuesKept());
}

TEST_CASE("script logging: every failing step leaves the policy as it was") {
    CleanRegistry clean;
    SetDword(kModuleLoggingKey, u"EnableModuleLogging", 0);
    const std::string before = Policy();
    ScriptLoggingResult result{};

    SUBCASE("the kept values cannot be written") {
        FailSimulatedRegistryChanges(5);
        CHECK_FALSE(TurnOnScriptLogging(&result));
        CHECK(result.step == kScriptLoggingSaveFailed);
        CHECK(result.error == 5);
    }
    SUBCASE("the second policy value cannot be written") {
        FailSimulatedRegistryChanges(5, 2); // the kept values and the first policy value pass
        CHECK_FALSE(TurnOnScriptLogging(&result));
        CHECK(result.step == kScriptLoggingWriteFailed);
        CHECK_FALSE(ScriptLoggingValuesKept());
    }
    SUBCASE("a previous value too large to keep") {
        const std::u16string big(kSavedPolicyDataMax, u'x');
        SetSimulatedRegistryValue(kModuleNamesKey, u"*", kRegSz, big.data(),
                                  static_cast<uint32_t>(big.size() * 2));
        CHECK_FALSE(TurnOnScriptLogging(&result));
        CHECK(result.step == kScriptLoggingReadFailed);
        CHECK(ValueOf(kModuleNamesKey, u"*").size() == 3 + kSavedPolicyDataMax);
        RemoveSimulatedRegistryValue(kModuleNamesKey, u"*");
    }
    SUBCASE("putting back fails at Stop: the kept values stay for the next try") {
        REQUIRE(TurnOnScriptLogging(&result));
        FailSimulatedRegistryChanges(5, 1);
        CHECK_FALSE(RestoreScriptLogging(&result));
        CHECK(result.step == kScriptLoggingRestoreFailed);
        CHECK(ScriptLoggingValuesKept());
        CHECK(Policy() != before); // one value is still the recorder's
        REQUIRE(RestoreScriptLogging(&result));
        CHECK_FALSE(ScriptLoggingValuesKept());
    }
    FailSimulatedRegistryChanges(0);
    CHECK(Policy() == before);
    char16_t text[128];
    DescribeScriptLoggingResult({kScriptLoggingWriteFailed, 5}, text, 128);
    CHECK(std::u16string(text) == u"the policy could not be written (error 5)");
}

} // namespace olv
