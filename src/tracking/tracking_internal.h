// Helpers shared by the tracking sources; not part of the TrackingState's interface.
#pragma once

#include "tracking/tracking_state.h"

namespace olv {

// Frees every node and empties every bucket. The caller holds the table's lock or is alone.
void DropProcessNames(ProcessNameTable* table);
void DropNames(NameTable* table);
// Begins a lifetime of pid from from named by the launcher.
void NameLaunchedProcess(TrackingState* ts, uint32_t pid, const char16_t* name, int64_t from);

// Prepares the held-row pool: every slot free, free list 0..511, index empty, rows held.
void ResetPendingFileRows(PendingFileRows* pool);
// Empties the image map: every chain empty, nothing used.
void ResetImageMap(ImageMap* map);

} // namespace olv
