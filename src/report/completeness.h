// What the recording says of itself: its counters kept current from the live subsystems, and
// the header lines and completeness notes built from its block. The status bar, the summary and
// every file written use them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/kept_counts.h"
#include "record/recording_info.h"

namespace olv {

struct Recording; // record/recording.h

// Refreshes the counters of the Recording's block from the live subsystems (needs a
// TraceController).
void GatherCompletenessCounters(Recording* app);
// The loss counts kept with a session: what the session opened from kept, with the parts this
// recording counts live (its scripts, its facts worker, its YARA scans) taken from them.
KeptCounts CurrentKeptCounts(const Recording* app);
// Header lines: prefix + text + CR LF each.
void BuildHeaderLines(const RecordingInfo* info, bool valid, char16_t* out, size_t capacity,
                      const char16_t* linePrefix);
// Completeness notes of the Recording's block; returns the number of lines written.
int32_t BuildCompletenessNotes(Recording* app, char16_t* out, size_t capacity,
                               const char16_t* linePrefix);

} // namespace olv
