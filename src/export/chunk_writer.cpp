#include "export/chunk_writer.h"

#include <thread>

#include "platform/thread.h"

namespace olv {

namespace {

std::atomic<int32_t> gWorkersLimit{0};
std::atomic<int32_t> gChunkRows{0};
std::atomic<size_t> gBlockBytes{0};

int32_t WorkersFor(int32_t chunkCount) {
    int32_t workers = gWorkersLimit.load(std::memory_order_relaxed);
    if (workers <= 0) workers = std::thread::hardware_concurrency() > 1 ? 2 : 1;
    if (workers > 2) workers = 2;
    return chunkCount > 1 ? workers : 1;
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
    LockGuard hold(&gate->lock);
    while (gate->stopped.load(std::memory_order_relaxed) == 0 && turn->next != chunk)
        WaitCondition(&gate->changed, &gate->lock);
    return gate->stopped.load(std::memory_order_relaxed) == 0;
}

void PassChunkTurn(ChunkGate* gate, ChunkTurn* turn, int32_t chunk) {
    {
        LockGuard hold(&gate->lock);
        turn->next = chunk + 1;
    }
    WakeAllCondition(&gate->changed);
}

void StopChunks(ChunkGate* gate) {
    {
        LockGuard hold(&gate->lock);
        gate->stopped.store(1, std::memory_order_relaxed);
    }
    WakeAllCondition(&gate->changed);
}

bool WriteChunks(BlockWriter* first, const ChunkWork& work) {
    if (first->bytes == nullptr || !first->file->ok) return false;
    ChunkGate gate;
    InitLock(&gate.lock);
    InitCondition(&gate.changed);
    gate.write.next = 0;
    gate.stopped.store(0, std::memory_order_relaxed);

    first->gate = &gate;
    first->holdsTurn = false;
    Worker self{&work, &gate, first, 0, WorkersFor(work.chunkCount)};

    BlockWriter second{};
    Worker helper{&work, &gate, &second, 1, self.step};
    ThreadHandle thread = nullptr;
    gate.workers = self.step; // read by the helper only when it was started
    if (self.step > 1) {
        if (OpenBlockWriter(&second, first->file, first->capacity)) {
            second.gate = &gate;
            thread = StartThread(HelperMain, &helper, nullptr);
        } else {
            first->file->ok = true; // a refused second block costs only speed
        }
    }
    if (thread == nullptr) {
        self.step = 1; // one worker takes every chunk
        gate.workers = 1;
    }

    RunWorker(&self);
    JoinThread(thread);
    if (second.bytes != nullptr) {
        second.used = 0; // what a stopped chunk left is not part of the file
        second.gate = nullptr;
        CloseBlockWriter(&second);
    }
    first->gate = nullptr;
    first->holdsTurn = false;
    const bool stopped = gate.stopped.load(std::memory_order_acquire) != 0;
    DeleteCondition(&gate.changed);
    DeleteLock(&gate.lock);
    if (stopped) {
        first->used = 0;
        first->file->ok = false;
        return false;
    }
    return first->file->ok;
}

int32_t ExportChunkRows(int32_t preferred) {
    const int32_t rows = gChunkRows.load(std::memory_order_relaxed);
    return rows > 0 ? rows : preferred > 0 ? preferred : kExportChunkRows;
}

int32_t ExportChunkCount(int32_t rows, int32_t preferred) {
    const int32_t per = ExportChunkRows(preferred);
    return rows <= 0 ? 0 : (rows - 1) / per + 1;
}

void ChunkBounds(int32_t chunk, int32_t rows, int32_t* begin, int32_t* end, int32_t preferred) {
    const int32_t per = ExportChunkRows(preferred);
    *begin = chunk * per;
    *end = rows - *begin < per ? rows : *begin + per;
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
