// The ProcessNameTable: the image name of every process the trace has named, with its history
// per process id so that a reused id shows the right name at each time.
#include <iterator>

#include "base/text.h"
#include "platform/memory.h"
#include "tracking/tracking_internal.h"
#include "tracking/tracking_state.h"

namespace olv {

namespace {

ProcessNameNode*& BucketOf(ProcessNameTable& table, uint32_t pid) {
    return table.buckets[pid & (kProcessNameBuckets - 1)];
}

} // namespace

void DropProcessNames(ProcessNameTable* table) {
    for (ProcessNameNode*& head : table->buckets) {
        ProcessNameNode* node = head;
        while (node != nullptr) {
            ProcessNameNode* next = node->next;
            FreeBlock(node);
            node = next;
        }
        head = nullptr;
    }
    table->count = 0;
}

void RememberProcessName(TrackingState* ts, uint32_t pid, const char16_t* name, int64_t t) {
    if (ts == nullptr || pid == 0 || TextIsEmpty(name)) return;
    ProcessNameTable& table = ts->processNames;
    LockGuard guard(&table.lock);
    // Above the limit the whole history goes at once; later starts and rundowns refill it.
    if (table.count > kProcessNameNodeLimit) DropProcessNames(&table);
    ProcessNameNode*& head = BucketOf(table, pid);
    for (ProcessNameNode* node = head; node != nullptr; node = node->next) {
        if (node->pid != pid) continue;
        if (TextEquals(node->name, name)) return;
        break;
    }
    auto* node = AllocRecord<ProcessNameNode>();
    if (node == nullptr) return;
    node->pid = pid;
    node->from = t;
    CopyBounded(node->name, std::size(node->name), name);
    node->next = head;
    head = node;
    ++table.count;
}

bool LookupProcessName(TrackingState* ts, uint32_t pid, int64_t t, char16_t* out, size_t capacity) {
    if (out != nullptr && capacity > 0) out[0] = 0;
    if (ts == nullptr || pid == 0) return false;
    ProcessNameTable& table = ts->processNames;
    LockGuard guard(&table.lock);
    for (ProcessNameNode* node = BucketOf(table, pid); node != nullptr; node = node->next) {
        if (node->pid != pid || node->name[0] == 0) continue;
        if (node->from == 0 || t == 0 || t >= node->from) {
            CopyBounded(out, capacity, node->name);
            return true;
        }
    }
    return false;
}

} // namespace olv
