// The writers format a file's lines in chunks of shown rows on two threads when the machine has a
// second processor: the calling thread takes chunks 0, 2, 4, ..., a helper thread 1, 3, 5, ...,
// each into a block of its own, and the blocks go to the file in chunk order. A chunk's bytes are
// written only once every chunk before it is written; a chunk whose bytes fill its block more
// than once keeps the turn until it ends. So the file holds exactly the bytes one thread would
// have written, while one chunk is formatted as the other is formatted or written.
//
// Nothing here allocates per row; the helper thread is started once per file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "export/block_writer.h"
#include "platform/lock.h"

namespace olv {

// Whose turn it is: chunks take a turn in their order. Held under its gate's lock.
struct ChunkTurn {
    int32_t next; // the chunk whose turn it is
};

struct ChunkGate {
    Lock lock;         // over the turns and stopped
    Condition changed; // woken when a turn passes or the gate stops
    ChunkTurn write;   // the chunk whose bytes go to the file next
    std::atomic<int32_t> stopped; // a chunk failed: every worker ends as soon as it can
    // The workers taking chunks in turn (1 or 2), set before the first chunk: with two, chunk
    // c + 1 is another worker's, which may go on while chunk c's waits for something.
    int32_t workers;
};

// Waits until it is `chunk`'s turn (a turn of the gate's, or of the job's own, which the job sets
// to 0 before WriteChunks). False when the gate was stopped.
bool WaitChunkTurn(ChunkGate* gate, ChunkTurn* turn, int32_t chunk);
// Gives the turn to chunk + 1 (the caller holds `chunk`'s turn).
void PassChunkTurn(ChunkGate* gate, ChunkTurn* turn, int32_t chunk);
// Stops every worker: waits end, later chunks are not formatted, and the file is failed.
void StopChunks(ChunkGate* gate);

struct ChunkWork {
    void* job;
    int32_t chunkCount;
    // Formats chunk `chunk` into out; worker (0 or 1) names the worker, for scratch memory of its
    // own. False stops every worker and fails the file.
    bool (*format)(void* job, ChunkGate* gate, int32_t worker, int32_t chunk, BlockWriter* out);
};

// Runs the chunks. `first` is the first worker's block; what it holds already (the file's head)
// goes to the file before chunk 0. A second worker gets a block of its own. When this returns
// every chunk was written or the file failed, and `first` is empty and ready for the file's end.
// False when a chunk or a write failed (the file is then not ok).
bool WriteChunks(BlockWriter* first, const ChunkWork& work);

// The shown rows of a chunk for a writer that takes each row once: one batch measured, then
// written. A writer that walks a chunk's rows more than once takes fewer, so that they stay in
// the processor's cache between the walks.
constexpr int32_t kExportChunkRows = 2048;

// The shown rows of a chunk: `preferred`, unless a test set another number.
int32_t ExportChunkRows(int32_t preferred = kExportChunkRows);
// The number of chunks for `rows` shown rows.
int32_t ExportChunkCount(int32_t rows, int32_t preferred = kExportChunkRows);
// The shown rows of chunk `chunk` of `rows`: *begin to *end - 1.
void ChunkBounds(int32_t chunk, int32_t rows, int32_t* begin, int32_t* end,
                 int32_t preferred = kExportChunkRows);

// Test hook: at most `workers` threads (0: as the machine has processors, at most 2), `chunkRows`
// rows a chunk (0: what each writer prefers) and blocks of `blockBytes` (0: kBlockWriterBytes)
// for the writers' lines.
void SetExportChunking(int32_t workers, int32_t chunkRows, size_t blockBytes);
size_t ExportBlockBytes();

} // namespace olv
