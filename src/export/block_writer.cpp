#include "export/block_writer.h"

#include <cstring>

#include "base/text.h"
#include "export/chunk_writer.h"
#include "platform/memory.h"

namespace olv {

bool OpenBlockWriter(BlockWriter* out, SafeFileWriter* file, size_t capacity) {
    *out = BlockWriter{file, nullptr, 0, 0, nullptr, 0, false};
    out->bytes = static_cast<uint8_t*>(AllocZeroed(capacity));
    if (out->bytes == nullptr) {
        file->ok = false;
        return false;
    }
    out->capacity = capacity;
    return true;
}

namespace {

// With a gate: waits for the chunk's turn unless the block holds it already. False when the gate
// was stopped.
bool TakeTurn(BlockWriter* out) {
    if (out->gate == nullptr || out->holdsTurn) return true;
    if (!WaitChunkTurn(out->gate, &out->gate->write, out->chunk)) return false;
    out->holdsTurn = true;
    return true;
}

void WriteHeld(BlockWriter* out) {
    if (out->used == 0) return;
    // WriteBytes takes at most 4 GiB less one byte at a time; a block is far smaller.
    WriteBytes(out->file, out->bytes, static_cast<uint32_t>(out->used));
    out->used = 0;
    if (out->gate != nullptr && !out->file->ok) StopChunks(out->gate);
}

} // namespace

void FlushBlock(BlockWriter* out) {
    if (out->used == 0 || !TakeTurn(out)) return;
    WriteHeld(out);
}

bool EndChunk(BlockWriter* out) {
    if (!TakeTurn(out)) return false;
    WriteHeld(out);
    out->holdsTurn = false;
    if (!out->file->ok) return false;
    if (out->gate != nullptr) PassChunkTurn(out->gate, &out->gate->write, out->chunk);
    return true;
}

uint8_t* ReserveBlock(BlockWriter* out, size_t bytes) {
    if (out->bytes == nullptr || bytes > out->capacity) return nullptr;
    if (out->capacity - out->used < bytes) {
        FlushBlock(out);
        if (out->used != 0) return nullptr; // the gate stopped
    }
    return out->bytes + out->used;
}

namespace {

// A gated block never touches its file's ok outside its turn: it stops the gate, and the file
// fails when the chunks end.
bool FailBlock(BlockWriter* out) {
    if (out->gate != nullptr) {
        StopChunks(out->gate);
    } else {
        out->file->ok = false;
    }
    return false;
}

} // namespace

bool PutBlockBytes(BlockWriter* out, const void* data, size_t bytes) {
    const auto* from = static_cast<const uint8_t*>(data);
    while (bytes > 0) {
        const size_t piece = bytes < out->capacity ? bytes : out->capacity;
        uint8_t* at = ReserveBlock(out, piece);
        if (at == nullptr) return FailBlock(out);
        std::memcpy(at, from, piece);
        AdvanceBlock(out, piece);
        from += piece;
        bytes -= piece;
    }
    return true;
}

bool PutBlockUtf8(BlockWriter* out, const char16_t* text) {
    const size_t length = TextLength(text);
    const size_t bytes = Utf16ToUtf8(text, length, nullptr, 0);
    if (bytes == 0) return true;
    uint8_t* at = ReserveBlock(out, bytes + 1); // the conversion terminates what it writes
    if (at == nullptr) return FailBlock(out);
    Utf16ToUtf8(text, length, reinterpret_cast<char*>(at), bytes + 1);
    AdvanceBlock(out, bytes);
    return true;
}

void CloseBlockWriter(BlockWriter* out) {
    if (out->bytes != nullptr) FlushBlock(out);
    FreeBlock(out->bytes);
    out->bytes = nullptr;
    out->used = 0;
}

} // namespace olv
