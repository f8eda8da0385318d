// Fault hooks shared by both platform layers: "the nth call from now fails".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace olv {

struct FaultCountdown {
    std::atomic<int64_t> remaining{0};

    // The nth call of Fires from now (1 = the next) returns true; 0 switches the hook off.
    void Arm(int64_t nth) { remaining.store(nth > 0 ? nth : 0); }
    // The armed call has not come yet.
    bool Pending() const { return remaining.load() > 0; }
    // Counts one call; true exactly once, at the armed call. Thread-safe.
    bool Fires() {
        int64_t c = remaining.load();
        while (c > 0) {
            if (remaining.compare_exchange_weak(c, c - 1)) return c == 1;
        }
        return false;
    }
};

// Thread starts (platform/thread.h RefuseNthThreadStart).
extern FaultCountdown gThreadStartFault;
// File writes, flushes and moves (platform/files.h FailNthFileWrite and the others).
extern FaultCountdown gFileWriteFault;
extern FaultCountdown gFileFlushFault;
extern FaultCountdown gFileMoveFault;

// The stand-in answer of ReadFileAttributes for the one path set by SetSimulatedFileAttributes:
// true (with *isFolder) when path is that path.
bool SimulatedFileAttributes(const char16_t* path, bool* isFolder);

// The system heap under AllocZeroed: zero-filled block or null; free accepts only its blocks.
// The system's own figure behind AvailableMemoryBytes.
bool SystemAvailableMemory(uint64_t* bytes);
void* SystemAllocZeroed(size_t bytes);
void SystemFree(void* block);
// The system's mappings under the large blocks: a zero-filled block of at least bytes that starts
// on SystemLargeAlignment() (*mapped its whole length) or null; unmap takes exactly that pair.
size_t SystemLargeAlignment();
void* SystemMapLarge(size_t bytes, size_t* mapped);
void SystemUnmapLarge(void* block, size_t mapped);

} // namespace olv
