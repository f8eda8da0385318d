// BlockWriter: gathers a file's bytes in one large block and hands each full block to its
// SafeFileWriter in a single write, so that a writer of many short lines costs a few large writes
// instead of one per line. The SafeFileWriter keeps its guarantees: the first failed write clears
// its ok, and the file is then never moved into place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "export/safe_file.h"

namespace olv {

// 4 MiB: a million rows of an export make about a hundred writes.
constexpr size_t kBlockWriterBytes = size_t{4} << 20;

struct ChunkGate; // export/chunk_writer.h

struct BlockWriter {
    SafeFileWriter* file;
    uint8_t* bytes; // null when the block could not be allocated (the file is then not ok)
    size_t used;
    size_t capacity;
    // With a gate, the block holds the bytes of chunk `chunk` of a file formatted on several
    // threads: a write waits until every chunk before it is written, and the block keeps the
    // turn until EndChunk. Null: writes go to the file at once.
    ChunkGate* gate;
    int32_t chunk;
    bool holdsTurn;
};

// Allocates the block. False (and the file's ok cleared) when it is refused.
bool OpenBlockWriter(BlockWriter* out, SafeFileWriter* file, size_t capacity = kBlockWriterBytes);
// Room for at least `bytes` more bytes at the end of the block, writing out what it holds first
// when needed; null when the block is missing, `bytes` exceeds its capacity, or the block's gate
// was stopped before its bytes could be written. The caller writes
// at most that many bytes there and then calls AdvanceBlock with the count it wrote.
uint8_t* ReserveBlock(BlockWriter* out, size_t bytes);
inline void AdvanceBlock(BlockWriter* out, size_t bytes) { out->used += bytes; }
// The bytes as they are. False when they could not be put (the file, or with a gate the gate,
// is then failed).
bool PutBlockBytes(BlockWriter* out, const void* data, size_t bytes);
// The terminated text converted to UTF-8 (as WriteUtf8 converts it). Fails as PutBlockBytes
// does, and when the text cannot be converted in one piece.
bool PutBlockUtf8(BlockWriter* out, const char16_t* text);
// Writes out what the block holds (one write). With a gate, waits for the chunk's turn first and
// writes nothing when the gate was stopped.
void FlushBlock(BlockWriter* out);
// Ends the block's chunk: waits for its turn, writes what it holds and gives the turn to the
// next chunk. False when the gate was stopped or the write failed (the gate is then stopped).
bool EndChunk(BlockWriter* out);
// Writes out what is left and frees the block.
void CloseBlockWriter(BlockWriter* out);

} // namespace olv
