// The recording's metadata block kept current, and the texts built from it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/app_state.h"
#include "export/recording_info.h"

namespace olv {

// Copies the AppState's block into out for a file about to be written (after emptying the queue
// of a running recording). False when nothing may be written; the user has been told why.
bool TakeRecordingSnapshot(AppState* app, RecordingInfo* out, bool fromShownRows);
// Refreshes the counters of the AppState's block from the live subsystems (needs a
// TraceController).
void GatherCompletenessCounters(AppState* app);
// Header lines: prefix + text + CR LF each.
void BuildHeaderLines(const RecordingInfo* info, bool valid, char16_t* out, size_t capacity,
                      const char16_t* linePrefix);
// Completeness notes of the AppState's block; returns the number of lines written.
int32_t BuildCompletenessNotes(AppState* app, char16_t* out, size_t capacity,
                               const char16_t* linePrefix);
// Appends prefix + text + CR LF, the text's control characters written as blanks; counts the line
// in *counter when it is not null.
void AppendNoteLine(char16_t* out, size_t capacity, const char16_t* prefix, const char16_t* text,
                    int32_t* counter);
// "%04d-%02d-%02d %02d:%02d:%02d.%03d"
void FormatLongTime(const SystemTime& t, char16_t* out, size_t capacity);

} // namespace olv
