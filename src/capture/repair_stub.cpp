// Placeholder until the real implementation lands; delete this file when it does.
#include "capture/event_queue.h"

namespace olv {

void RepairRegistryKeyPaths(AppState*) {}

} // namespace olv
