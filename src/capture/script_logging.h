// Script block and module logging for one recording: PowerShell writes its script blocks and
// its modules' pipeline output as events only when the system's policy asks. Turning logging on
// saves the policy values it changes in a value of the recorder's own first, so that they are put
// back at Stop, after a failed start, and, when the recorder was ended without its Stop, at the
// next start. Window thread; the registry through platform/registry_values.h.
#pragma once

#include <cstdint>

namespace olv {

// The policy values turned on, and the value of the recorder's own that keeps what they were.
constexpr const char16_t* kScriptBlockLoggingKey =
    u"HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows\\PowerShell\\ScriptBlockLogging";
constexpr const char16_t* kModuleLoggingKey =
    u"HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows\\PowerShell\\ModuleLogging";
constexpr const char16_t* kModuleNamesKey =
    u"HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows\\PowerShell\\ModuleLogging\\ModuleNames";
constexpr const char16_t* kSavedPolicyKey = u"HKLM\\SOFTWARE\\Olvetta\\Recorder";
constexpr const char16_t* kSavedPolicyValue = u"ScriptLoggingSaved";

// A previous value larger than this is not changed: logging is then not turned on.
constexpr uint32_t kSavedPolicyDataMax = 512;

enum ScriptLoggingStep : uint8_t {
    kScriptLoggingDone = 0,
    kScriptLoggingReadFailed,    // a previous value could not be read (or is too large to keep)
    kScriptLoggingSaveFailed,    // the previous values could not be kept
    kScriptLoggingWriteFailed,   // a policy value could not be written (the others put back)
    kScriptLoggingRestoreFailed, // a kept value could not be put back (it stays kept)
};

struct ScriptLoggingResult {
    uint8_t step;   // ScriptLoggingStep
    uint32_t error; // the system's error of that step, 0 when none
};

// Turns script block and module logging on, after putting back what an earlier run left on.
// True when on; false when nothing was changed (every value as it was).
bool TurnOnScriptLogging(ScriptLoggingResult* result);
// Puts the kept values back and forgets them; true when nothing was kept or all were put back.
// A value that could not be put back stays kept for the next try.
bool RestoreScriptLogging(ScriptLoggingResult* result);
// Whether values are kept (logging turned on by a recording not yet put back).
bool ScriptLoggingValuesKept();

// A short text of the result for notes and messages ("could not write the policy (error 5)").
void DescribeScriptLoggingResult(const ScriptLoggingResult& result, char16_t* out,
                                 uint32_t capacity);

} // namespace olv
