#include "export/chunk_writer.h"

#include <thread>

#include "platform/thread.h"

namespace olv {

namespace {

constexpr int32_t kDefaultChunkRows = 2048;

std::atomic<int32_t> gWorkersLimit{0};
std::atomic<int32_t> gChunkRows{0};
std::atomic<size_t> gBlockBytes{0};

int32_t WorkersFor(int32_t chunkCount) {
    int32_t workers = gWorkersLimit.load(std::memory_order_relaxed);
    if (workers <= 0) workers = std::thread::hardware_concurrency() > 1 ? 2 : 1;
    if (workers > 2) workers = 2;
    return chunkCount > 1 ? workers : 1;
}

void StopTurn(ChunkTurn* turn) {
    turn->next.store(-1, std::memory_order_release);
    turn->next.notify_all();
}

struct Worker {
    const ChunkWork* work;
    ChunkGate* gate;
    BlockWriter* out;
    int32_t index;
    int32_t step; // the number of workers
};

void RunWorker(Worker* w) {
    for (int32_t chunk = w->index; chunk < w->work->chunkCount; chunk += w->step) {
        if (w->gate->stopped.load(std::memory_order_acquire) != 0) return;
        w->out->chunk = chunk;
        if (!w->work->format(w->work->job, w->gate, w->index, chunk, w->out)) {
            StopChunks(w->gate);
            return;
        }
        if (!EndChunk(w->out)) return;
    }
}

uint32_t HelperMain(void* argument) {
    RunWorker(static_cast<Worker*>(argument));
    return 0;
}

} // namespace

bool WaitChunkTurn(ChunkGate* gate, ChunkTurn* turn, int32_t chunk) {
    for (;;) {
        const int32_t now = turn->next.load(std::memory_order_acquire);
        if (gate->stopped.load(std::memory_order_acquire) != 0) return false;
        if (now == chunk) return true;
        // StopChunks changes the value after setting stopped, so this wait always ends.
        turn->next.wait(now, std::memory_order_acquire);
    }
}

void PassChunkTurn(ChunkTurn* turn, int32_t chunk) {
    turn->next.store(chunk + 1, std::memory_order_release);
    turn->next.notify_all();
}

void StopChunks(ChunkGate* gate) {
    gate->stopped.store(1, std::memory_order_release);
    StopTurn(&gate->write);
    if (gate->extra != nullptr) StopTurn(gate->extra);
}

bool WriteChunks(BlockWriter* first, const ChunkWork& work) {
    if (first->bytes == nullptr || !first->file->ok) return false;
    ChunkGate gate;
    gate.write.next.store(0, std::memory_order_relaxed);
    gate.extra = work.extra;
    gate.stopped.store(0, std::memory_order_relaxed);
    if (work.extra != nullptr) work.extra->next.store(0, std::memory_order_relaxed);

    first->gate = &gate;
    first->holdsTurn = false;
    Worker self{&work, &gate, first, 0, WorkersFor(work.chunkCount)};

    BlockWriter second{};
    Worker helper{&work, &gate, &second, 1, self.step};
    ThreadHandle thread = nullptr;
    if (self.step > 1) {
        if (OpenBlockWriter(&second, first->file, first->capacity)) {
            second.gate = &gate;
            thread = StartThread(HelperMain, &helper, nullptr);
        } else {
            first->file->ok = true; // a refused second block costs only speed
        }
    }
    if (thread == nullptr) self.step = 1; // one worker takes every chunk

    RunWorker(&self);
    JoinThread(thread);
    if (second.bytes != nullptr) {
        second.used = 0; // what a stopped chunk left is not part of the file
        second.gate = nullptr;
        CloseBlockWriter(&second);
    }
    first->gate = nullptr;
    first->holdsTurn = false;
    if (gate.stopped.load(std::memory_order_acquire) != 0) {
        first->used = 0;
        first->file->ok = false;
        return false;
    }
    return first->file->ok;
}

int32_t ExportChunkRows() {
    const int32_t rows = gChunkRows.load(std::memory_order_relaxed);
    return rows > 0 ? rows : kDefaultChunkRows;
}

int32_t ExportChunkCount(int32_t rows) {
    const int32_t per = ExportChunkRows();
    return rows <= 0 ? 0 : (rows - 1) / per + 1;
}

size_t ExportBlockBytes() {
    const size_t bytes = gBlockBytes.load(std::memory_order_relaxed);
    return bytes > 0 ? bytes : kBlockWriterBytes;
}

void SetExportChunking(int32_t workers, int32_t chunkRows, size_t blockBytes) {
    gWorkersLimit.store(workers, std::memory_order_relaxed);
    gChunkRows.store(chunkRows, std::memory_order_relaxed);
    gBlockBytes.store(blockBytes, std::memory_order_relaxed);
}

} // namespace olv
