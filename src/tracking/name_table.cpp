// Name tables keyed by kernel object address, with the interval during which each name held:
// the FileNameTable (file objects and file keys) and the KeyNameTable (registry key objects).
#include <iterator>

#include "base/text.h"
#include "platform/memory.h"
#include "tracking/tracking_internal.h"
#include "tracking/tracking_state.h"

namespace olv {

namespace {

NameNode*& BucketOf(NameTable& table, uint64_t key) {
    return table.buckets[(key >> 3) & (kNameTableBuckets - 1)];
}

NameNode* FindLiveNode(NameTable& table, uint64_t key) {
    for (NameNode* node = BucketOf(table, key); node != nullptr; node = node->next) {
        if (node->key == key && node->to == 0) return node;
    }
    return nullptr;
}

void RememberName(NameTable* table, uint64_t key, const char16_t* name, int64_t t, bool isCreate) {
    if (key == 0 || TextIsEmpty(name)) return;
    LockGuard guard(&table->lock);
    // Above the limit the whole table goes at once and is rebuilt from later events.
    if (table->count > kNameTableNodeLimit) DropNames(table);
    if (NameNode* live = FindLiveNode(*table, key)) {
        if (TextEquals(live->name, name)) return;
        live->to = t;
    }
    auto* node = AllocRecord<NameNode>();
    if (node == nullptr) return;
    node->key = key;
    node->from = isCreate ? t : 0;
    node->to = 0;
    CopyBounded(node->name, std::size(node->name), name);
    NameNode*& head = BucketOf(*table, key);
    node->next = head;
    head = node;
    ++table->count;
}

void ForgetName(NameTable* table, uint64_t key, int64_t t) {
    if (key == 0 || t < 1) return;
    LockGuard guard(&table->lock);
    if (NameNode* live = FindLiveNode(*table, key)) live->to = t;
}

// Leaves out untouched when nothing matches.
bool LookupName(NameTable* table, uint64_t key, int64_t t, char16_t* out, size_t capacity) {
    if (key == 0) return false;
    LockGuard guard(&table->lock);
    for (NameNode* node = BucketOf(*table, key); node != nullptr; node = node->next) {
        if (node->key != key || node->name[0] == 0) continue;
        bool holds =
            t == 0 || ((node->from == 0 || t >= node->from) && (node->to == 0 || t <= node->to));
        if (holds) {
            CopyBounded(out, capacity, node->name);
            return true;
        }
    }
    return false;
}

} // namespace

void DropNames(NameTable* table) {
    for (NameNode*& head : table->buckets) {
        NameNode* node = head;
        while (node != nullptr) {
            NameNode* next = node->next;
            FreeBlock(node);
            node = next;
        }
        head = nullptr;
    }
    table->count = 0;
}

void RememberFileName(TrackingState* ts, uint64_t key, const char16_t* name, int64_t t,
                      bool isCreate) {
    if (ts != nullptr) RememberName(&ts->fileNames, key, name, t, isCreate);
}

void ForgetFileName(TrackingState* ts, uint64_t key, int64_t t) {
    if (ts != nullptr) ForgetName(&ts->fileNames, key, t);
}

bool LookupFileName(TrackingState* ts, uint64_t key, int64_t t, char16_t* out, size_t capacity) {
    return ts != nullptr && LookupName(&ts->fileNames, key, t, out, capacity);
}

void RememberKeyName(TrackingState* ts, uint64_t key, const char16_t* name, int64_t t,
                     bool isCreate) {
    if (ts != nullptr) RememberName(&ts->keyNames, key, name, t, isCreate);
}

void ForgetKeyName(TrackingState* ts, uint64_t key, int64_t t) {
    if (ts != nullptr) ForgetName(&ts->keyNames, key, t);
}

bool LookupKeyName(TrackingState* ts, uint64_t key, int64_t t, char16_t* out, size_t capacity) {
    if (out != nullptr && capacity > 0) out[0] = 0;
    return ts != nullptr && LookupName(&ts->keyNames, key, t, out, capacity);
}

int32_t KeyNameCount(TrackingState* ts) {
    if (ts == nullptr) return 0;
    LockGuard guard(&ts->keyNames.lock);
    return ts->keyNames.count;
}

} // namespace olv
