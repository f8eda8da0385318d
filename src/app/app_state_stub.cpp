// Placeholder until the real implementation lands; delete this file when it does.
#include "app/app_state.h"

namespace olv {

void InitAppState(AppState*) {}
void CleanUpAppState(AppState*) {}

} // namespace olv
