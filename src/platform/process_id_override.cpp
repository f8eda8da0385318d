#include "platform/process_id_override.h"

#include <atomic>

#include "platform/thread.h"

namespace olv {

namespace {
std::atomic<uint32_t> gProcessId{0}; // 0: not overridden
} // namespace

bool ProcessIdOverride(uint32_t* processId) {
    const uint32_t v = gProcessId.load();
    if (v == 0) return false;
    if (processId != nullptr) *processId = v;
    return true;
}

void SetProcessIdOverride(uint32_t processId) {
    gProcessId.store(processId);
}

} // namespace olv
