#include "capture/script_logging.h"

#include <cstring>

#include "base/format.h"
#include "platform/memory.h"
#include "platform/registry_values.h"

namespace olv {

namespace {

struct PolicyValue {
    const char16_t* key;
    const char16_t* name;
    uint32_t type;
    const void* data;
    uint32_t size;
};

const uint32_t kOne = 1;
const char16_t kEveryModule[] = u"*";

const PolicyValue kPolicyValues[] = {
    {kScriptBlockLoggingKey, u"EnableScriptBlockLogging", kRegDword, &kOne, sizeof kOne},
    {kModuleLoggingKey, u"EnableModuleLogging", kRegDword, &kOne, sizeof kOne},
    {kModuleNamesKey, u"*", kRegSz, kEveryModule, sizeof kEveryModule},
};
constexpr uint32_t kPolicyValueCount = sizeof kPolicyValues / sizeof kPolicyValues[0];

constexpr uint32_t kSavedMagic = 0x534c534f; // "OSLS"

// What one policy value was before: absent, or its type and data.
struct SavedValue {
    uint32_t present;
    uint32_t type;
    uint32_t size;
    uint8_t data[kSavedPolicyDataMax];
};

struct SavedPolicy {
    uint32_t magic;
    uint32_t count;
    SavedValue values[kPolicyValueCount];
};

bool Fail(ScriptLoggingResult* result, ScriptLoggingStep step, uint32_t error) {
    if (result != nullptr) *result = ScriptLoggingResult{step, error};
    return false;
}

bool Done(ScriptLoggingResult* result) {
    if (result != nullptr) *result = ScriptLoggingResult{kScriptLoggingDone, 0};
    return true;
}

// Reads the kept values: true with *kept false when none are kept.
bool ReadKept(RegistryValue* read, SavedPolicy* saved, bool* kept, ScriptLoggingResult* result) {
    *kept = false;
    if (ReadRegistryValue(kSavedPolicyKey, kSavedPolicyValue, read)) {
        if (read->type != kRegBinary || read->size != sizeof(SavedPolicy)) {
            return Fail(result, kScriptLoggingReadFailed, 0);
        }
        std::memcpy(saved, read->data, sizeof *saved);
        if (saved->magic != kSavedMagic || saved->count != kPolicyValueCount) {
            return Fail(result, kScriptLoggingReadFailed, 0);
        }
        *kept = true;
        return true;
    }
    if (read->status == kRegistryValueGone || read->status == kRegistryKeyGone) return true;
    return Fail(result, kScriptLoggingReadFailed, read->error);
}

// Puts every kept value back; true when all were.
bool PutBack(const SavedPolicy& saved, ScriptLoggingResult* result) {
    bool all = true;
    uint32_t firstError = 0;
    for (uint32_t i = 0; i < kPolicyValueCount; ++i) {
        const PolicyValue& policy = kPolicyValues[i];
        const SavedValue& value = saved.values[i];
        uint32_t error = 0;
        const bool ok = value.present != 0
                            ? WriteRegistryValue(policy.key, policy.name, value.type, value.data,
                                                 value.size, &error)
                            : DeleteRegistryValue(policy.key, policy.name, &error);
        if (!ok && all) firstError = error;
        all = all && ok;
    }
    if (!all) return Fail(result, kScriptLoggingRestoreFailed, firstError);
    return true;
}

bool RestoreWith(RegistryValue* read, ScriptLoggingResult* result) {
    auto* saved = AllocRecord<SavedPolicy>();
    if (saved == nullptr) return Fail(result, kScriptLoggingReadFailed, 0);
    bool kept = false;
    bool ok = ReadKept(read, saved, &kept, result);
    if (ok && kept) {
        ok = PutBack(*saved, result);
        uint32_t error = 0;
        // Forgotten only once every value is back: a later try puts back the rest.
        if (ok && !DeleteRegistryValue(kSavedPolicyKey, kSavedPolicyValue, &error)) {
            ok = Fail(result, kScriptLoggingRestoreFailed, error);
        }
    }
    FreeBlock(saved);
    return ok ? Done(result) : false;
}

} // namespace

bool RestoreScriptLogging(ScriptLoggingResult* result) {
    auto* read = AllocRecord<RegistryValue>();
    if (read == nullptr) return Fail(result, kScriptLoggingReadFailed, 0);
    const bool ok = RestoreWith(read, result);
    FreeBlock(read);
    return ok;
}

bool ScriptLoggingValuesKept() {
    auto* read = AllocRecord<RegistryValue>();
    if (read == nullptr) return false;
    const bool kept = ReadRegistryValue(kSavedPolicyKey, kSavedPolicyValue, read);
    FreeBlock(read);
    return kept;
}

bool TurnOnScriptLogging(ScriptLoggingResult* result) {
    auto* read = AllocRecord<RegistryValue>();
    auto* saved = AllocRecord<SavedPolicy>();
    bool ok = read != nullptr && saved != nullptr;
    if (!ok) Fail(result, kScriptLoggingReadFailed, 0);
    // What an earlier recording left on goes back first, so that what is kept now is the
    // system's own policy, never the recorder's.
    if (ok) ok = RestoreWith(read, result);
    if (ok) {
        saved->magic = kSavedMagic;
        saved->count = kPolicyValueCount;
        for (uint32_t i = 0; i < kPolicyValueCount && ok; ++i) {
            const PolicyValue& policy = kPolicyValues[i];
            SavedValue& value = saved->values[i];
            if (ReadRegistryValue(policy.key, policy.name, read)) {
                if (read->size > kSavedPolicyDataMax) {
                    ok = Fail(result, kScriptLoggingReadFailed, 0);
                    break;
                }
                value.present = 1;
                value.type = read->type;
                value.size = read->size;
                std::memcpy(value.data, read->data, read->size);
            } else if (read->status != kRegistryValueGone && read->status != kRegistryKeyGone) {
                ok = Fail(result, kScriptLoggingReadFailed, read->error);
            }
        }
    }
    uint32_t error = 0;
    if (ok && !WriteRegistryValue(kSavedPolicyKey, kSavedPolicyValue, kRegBinary, saved,
                                  sizeof *saved, &error)) {
        DeleteRegistryValue(kSavedPolicyKey, kSavedPolicyValue, nullptr);
        ok = Fail(result, kScriptLoggingSaveFailed, error);
    }
    if (ok) {
        for (const PolicyValue& policy : kPolicyValues) {
            if (WriteRegistryValue(policy.key, policy.name, policy.type, policy.data, policy.size,
                                   &error)) {
                continue;
            }
            // Everything back as it was; what cannot go back now stays kept for the next start.
            ScriptLoggingResult restore{};
            RestoreWith(read, &restore);
            ok = Fail(result, kScriptLoggingWriteFailed, error);
            break;
        }
    }
    FreeBlock(read);
    FreeBlock(saved);
    return ok ? Done(result) : false;
}

void DescribeScriptLoggingResult(const ScriptLoggingResult& result, char16_t* out,
                                 uint32_t capacity) {
    static const char16_t* const kSteps[] = {
        u"done",
        u"the policy's previous values could not be read",
        u"the policy's previous values could not be kept",
        u"the policy could not be written",
        u"the policy's previous values could not be put back",
    };
    const char16_t* step = result.step < sizeof kSteps / sizeof kSteps[0] ? kSteps[result.step]
                                                                          : u"unknown";
    if (result.error != 0) {
        FormatText(out, capacity, u"%s (error %lu)", step, result.error);
    } else {
        FormatText(out, capacity, u"%s", step);
    }
}

} // namespace olv
