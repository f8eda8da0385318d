// The row store: every row of the recording in arrival order, the shown-row index list and the
// view filter. Window thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/event_row.h"
#include "record/view_spec.h"

namespace olv {

struct Recording; // record/recording.h

constexpr int kIngestBatch = 8192;
constexpr int kFirstRowCapacity = 4096;

void ReserveRows(Recording* app, int32_t needed);
void ReserveShownRows(Recording* app, int32_t needed);
// AppendRow, IngestQueuedRows, RebuildShownRows and ClearRows report what the event list and
// the status bar are to show in Recording::changes (record/view_changes.h); they draw nothing.
void AppendRow(Recording* app, const EventRow* row);
void IngestQueuedRows(Recording* app);
// Returns the rows still waiting in the EventQueue.
int32_t DrainEventQueue(Recording* app);
// Makes view the view (Recording::view) and rebuilds the shown rows for it: the only way the
// conditions of the view change, but for a sort click, which reorders without a rebuild
// (views/row_sort.h). False, nothing changed, when view names a category, sort column or process
// condition that does not exist, a Sigma rule that is not loaded, or a process condition whose
// set cannot get memory. Texts are taken up to their terminator or their last character.
bool SetView(Recording* app, const ViewSpec& view);
// Whether a row passes the view's category, suspicious and operation conditions.
bool RowPassesView(Recording* app, const EventRow* row);
bool RowMatchesTextFilter(Recording* app, const EventRow* row);
// Whether stored row index passes those conditions and the text filter (not the Sigma rule or
// process conditions, which depend on the scan). Caller holds rowsLock.
bool StoredRowPassesView(Recording* app, int32_t index);
void RebuildShownRows(Recording* app);
void ClearRows(Recording* app);
void DescribeView(Recording* app, char16_t* out, size_t capacity, const char16_t* linePrefix);
// At Stop: gives registry rows whose key was named only at the trace's end their full path
// (from the key names the TraceController's tracking tables hold), then rebuilds the view.
void RepairRegistryKeyPaths(Recording* app);
// Adds every new operation name of rows[from..to) to operationNames (the window offers them).
// Clear (ClearRows) forgets the names, and the view's operation with them.
void LearnOperationNames(Recording* app, int32_t from, int32_t to);

} // namespace olv
