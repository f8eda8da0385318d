// Placeholder until the real implementation lands; delete this file when it does.
#include "launcher/target_launcher.h"

namespace olv {

void InitLauncher(TargetLauncher*) {}
bool LaunchTarget(TargetLauncher*, const char16_t*, UiHandle) { return false; }
bool ResumeTarget(TargetLauncher*) { return false; }
void TargetExited(TargetLauncher*) {}
void EndTarget(TargetLauncher*) {}

} // namespace olv
