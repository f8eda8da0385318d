// Loading YARA rules: from the "yara" folder beside the program at start-up, and from a folder the
// user chooses (File > "Load YARA Rules..."). A load compiles every rule file of the folder once
// and replaces the previous YARA set; each refused file is listed with its line and libyara's
// message. The rules judge the images and written files of recordings made from then on.
#pragma once

#include <cstddef>

#include "app/recording_setup.h"
#include "record/outcome.h"

namespace olv {

// The "yara" folder beside the program at programPath. False when the path has no folder or the
// result does not fit.
bool YaraFolderBeside(const char16_t* programPath, char16_t* out, size_t capacity);

// What a build without a YARA reader says wherever rules would be loaded.
extern const char16_t kYaraNotAvailable[];

// Loads every rule file under folder as the program's YARA set: kOk saying what was loaded and
// which files were refused and why (information icon, or warning when files were refused), else
// why nothing changed (the rules loaded before stay).
Outcome LoadYaraRuleFiles(Recording* app, const char16_t* folder);

// File > "Load YARA Rules...": a folder picker (starting at the folder loaded last), then the load
// with its message. A cancelled picker changes nothing.
void LoadYaraRules(Recording* app);

// At start-up: the "yara" folder beside the program, when it exists, loaded without a message.
// True when rules were loaded.
bool LoadYaraRulesBesideProgram(Recording* app, const char16_t* programPath);

} // namespace olv
