// The row store: every row of the recording in arrival order, the shown-row index list and the
// view filter. Window thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/event_row.h"

namespace olv {

struct AppState; // app/app_state.h

// The characters of the "Filter..." box the text filter uses; the box takes no more (its text
// limit is set from this), so a longer paste cannot look like a filter that is not applied.
constexpr size_t kFilterTextChars = 255;

constexpr int kIngestBatch = 8192;
constexpr int kFirstRowCapacity = 4096;
// Rows signed per timer tick once the EventQueue is empty (a few milliseconds' work).
constexpr int32_t kSignBatch = 16384;

void ReserveRows(AppState* app, int32_t needed);
void ReserveShownRows(AppState* app, int32_t needed);
void AppendRow(AppState* app, const EventRow* row);
void IngestQueuedRows(AppState* app);
// Returns the rows still waiting in the EventQueue.
int32_t DrainEventQueue(AppState* app);
bool RowPassesView(AppState* app, const EventRow* row);
bool RowMatchesTextFilter(AppState* app, const EventRow* row);
void RebuildShownRows(AppState* app);
void ClearRows(AppState* app);
// Signs up to budget stored rows that have no text signature yet, oldest first, so that the text
// filter's next scan need not. For the window thread's idle moments: intake comes first.
void SignWaitingRows(AppState* app, int32_t budget);
// Tells the text filter that the text of stored row index changed. Caller holds rowsLock.
void RowTextChanged(AppState* app, int32_t index);
void DescribeView(AppState* app, char16_t* out, size_t capacity, const char16_t* linePrefix);
// At Stop: gives registry rows whose key was named only at the trace's end their full path
// (from the key names the TraceController's tracking tables hold), then rebuilds the view.
void RepairRegistryKeyPaths(AppState* app);
// Adds every new operation name of rows[from..to) to operationNames and the combo box.
void LearnOperationNames(AppState* app, int32_t from, int32_t to);

} // namespace olv
