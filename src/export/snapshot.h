// The copy of the recording's block that a file about to be written says of itself.
#pragma once

#include "record/outcome.h"
#include "record/recording_info.h"

namespace olv {

struct Recording; // record/recording.h

// Copies the Recording's block into out for a file about to be written (after emptying the queue
// of a running recording). False when nothing may be written, with why in *why (kNotWritable).
bool TakeRecordingSnapshot(Recording* app, RecordingInfo* out, bool fromShownRows, Outcome* why);

} // namespace olv
