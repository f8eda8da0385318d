#include "export/block_writer.h"

#include <cstring>

#include "base/text.h"
#include "platform/memory.h"

namespace olv {

bool OpenBlockWriter(BlockWriter* out, SafeFileWriter* file, size_t capacity) {
    *out = BlockWriter{file, nullptr, 0, 0};
    out->bytes = static_cast<uint8_t*>(AllocZeroed(capacity));
    if (out->bytes == nullptr) {
        file->ok = false;
        return false;
    }
    out->capacity = capacity;
    return true;
}

void FlushBlock(BlockWriter* out) {
    if (out->used == 0) return;
    // WriteBytes takes at most 4 GiB less one byte at a time; a block is far smaller.
    WriteBytes(out->file, out->bytes, static_cast<uint32_t>(out->used));
    out->used = 0;
}

uint8_t* ReserveBlock(BlockWriter* out, size_t bytes) {
    if (out->bytes == nullptr || bytes > out->capacity) return nullptr;
    if (out->capacity - out->used < bytes) FlushBlock(out);
    return out->bytes + out->used;
}

void PutBlockBytes(BlockWriter* out, const void* data, size_t bytes) {
    const auto* from = static_cast<const uint8_t*>(data);
    while (bytes > 0) {
        const size_t piece = bytes < out->capacity ? bytes : out->capacity;
        uint8_t* at = ReserveBlock(out, piece);
        if (at == nullptr) {
            out->file->ok = false;
            return;
        }
        std::memcpy(at, from, piece);
        AdvanceBlock(out, piece);
        from += piece;
        bytes -= piece;
    }
}

void PutBlockUtf8(BlockWriter* out, const char16_t* text) {
    const size_t length = TextLength(text);
    const size_t bytes = Utf16ToUtf8(text, length, nullptr, 0);
    if (bytes == 0) return;
    uint8_t* at = ReserveBlock(out, bytes + 1); // the conversion terminates what it writes
    if (at == nullptr) {
        out->file->ok = false;
        return;
    }
    Utf16ToUtf8(text, length, reinterpret_cast<char*>(at), bytes + 1);
    AdvanceBlock(out, bytes);
}

void CloseBlockWriter(BlockWriter* out) {
    if (out->bytes != nullptr) FlushBlock(out);
    FreeBlock(out->bytes);
    out->bytes = nullptr;
    out->used = 0;
}

} // namespace olv
