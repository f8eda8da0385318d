// Placeholder until the real implementation lands; delete this file when it does.
#include "capture/event_queue.h"

namespace olv {

void QueueRow(AppState*, const EventRow*) {}
uint32_t QueuedRowCount(const AppState*) { return 0; }
uint32_t QueuedRowCountLocked(AppState*) { return 0; }

} // namespace olv
