// The facts of the rows of a recording: asked of the facts worker as rows are stored, written
// into the rows (SetStoredFacts) as the answers come. A process start asks for its image's facts,
// its signature and its token (and its parent's, for ParentUser); an image load for the loaded
// file's facts and signature; a value write for the value's data as it was at the write. An
// answer that came too late or could not be read leaves the fact unknown; the worker counts it.
// Window thread, under rowsLock for the calls that touch rows.
#pragma once

#include "record/kept_counts.h"
#include <cstddef>
#include <cstdint>

#include "facts/facts_worker.h"

namespace olv {

struct Recording;
struct RowFactsFlow; // Recording::rowFacts

// Starts the worker of a recording (Start): zero members of config (or null) take the worker's
// defaults. False when memory or a thread is refused; rows then get no facts.
bool StartRowFacts(Recording* app, const FactsWorkerConfig* config);
// Asks for the facts stored row index needs; now is when it arrived. Returns the requests made
// (0 for a row of a kind without facts, or no worker).
uint32_t RequestRowFacts(Recording* app, int32_t index, int64_t now);
// Requests the worker has not read yet (0 without a worker): a driver of the stand-ins waits for
// none before it moves the clock, so that no answer comes late by the clock alone.
uint32_t RowFactsPending(const Recording* app);
// The full path of the image a process start runs or an image load maps, terminated in path;
// false (path empty) for another kind, or a bare name (it would be looked up in this program's
// folder, not where the process found it), or a path that does not fit.
bool RowImagePath(const Recording* app, int32_t index, char16_t* path, size_t capacity);
// Whether the row still waits for an answer.
bool RowWaitsForFacts(const Recording* app, int32_t index);
// Rows whose last answer came (read or late) by now are handed to done (in the order their
// answers came); the facts each answer brought are stored first. Returns the rows handed out.
using RowFactsDoneFn = void (*)(Recording* app, int32_t index, void* context);
int32_t PollRowFacts(Recording* app, int64_t now, RowFactsDoneFn done, void* context);
// Stops the worker (Stop, Clear, exit), waiting at most waitMs; the rows still waiting are handed
// to done with their facts unknown. The counts stay for the notes.
void StopRowFacts(Recording* app, uint32_t waitMs, RowFactsDoneFn done, void* context);
// The losses counted since the recording started (zeros without a worker).
FactsCounts RowFactsCounts(const Recording* app);
// One note line per loss (AppendFactsNotes), with prefix.
void AppendRowFactsNotes(const Recording* app, const char16_t* prefix, char16_t* out,
                         size_t capacity, int32_t* lines);
void FreeRowFacts(Recording* app);
// The facts part of counts from the worker of this recording; unchanged without one.
void KeepRowFactsCounts(const Recording* app, KeptCounts* counts);

} // namespace olv
