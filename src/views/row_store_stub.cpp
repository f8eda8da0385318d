// Placeholder until the real implementation lands; delete this file when it does.
#include "views/row_store.h"

namespace olv {

void ReserveRows(AppState*, int32_t) {}
void ReserveShownRows(AppState*, int32_t) {}
void AppendRow(AppState*, const EventRow*) {}
void IngestQueuedRows(AppState*) {}
int32_t DrainEventQueue(AppState*) { return 0; }
bool RowPassesView(AppState*, const EventRow*) { return false; }
bool RowMatchesTextFilter(AppState*, const EventRow*) { return false; }
void RebuildShownRows(AppState*) {}
void ClearRows(AppState*) {}
void DescribeView(AppState*, char16_t*, size_t, const char16_t*) {}
void LearnOperationNames(AppState*, int32_t, int32_t) {}

} // namespace olv
