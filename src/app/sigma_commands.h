// Loading Sigma rules: from the folder beside the program at start-up, and from a folder the user
// chooses (File > "Load Sigma Rules..."). A load replaces the previous Sigma set (the built-in
// rules always stay) and applies the new one to every row already recorded.
#pragma once

#include <cstddef>

#include "app/recording_setup.h"
#include "record/outcome.h"

namespace olv {

// The "rules" folder beside the program at programPath (the folder of the path, then "rules").
// False when the path has no folder or the result does not fit.
bool RulesFolderBeside(const char16_t* programPath, char16_t* out, size_t capacity);

// Loads every rule file under folder as the program's Sigma set: kOk saying what was loaded
// (information icon), else why nothing changed. Shows nothing itself: with a progress the folder
// is read on a worker while progress reports it (and may cancel: kCancelled), without one on
// this thread. A folder that cannot be read leaves the rules loaded before as they were.
Outcome LoadSigmaRuleFiles(Recording* app, const char16_t* folder,
                           const Progress* progress = nullptr);

// The same behind the window's progress window, its outcome shown in a message box unless quiet.
// True when the set was replaced. A folder that cannot be read leaves the rules loaded before as
// they were.
bool LoadSigmaRulesFromFolder(Recording* app, const char16_t* folder, bool quiet);

// File > "Load Sigma Rules...": a folder picker (starting at the folder loaded last), then
// LoadSigmaRulesFromFolder with its messages. A cancelled picker changes nothing.
void LoadSigmaRules(Recording* app);

// At start-up: the rules folder beside the program, when it exists, loaded without a message
// (the status bar and the Sigma Rules window tell what was loaded). Also names the program as the
// parent of the examined program for the rules. True when rules were loaded.
bool LoadRulesBesideProgram(Recording* app, const char16_t* programPath);
// The same with the front end's progress (null: none), as the console program loads it.
bool LoadRulesBesideProgram(Recording* app, const char16_t* programPath, const Progress* progress);

} // namespace olv
