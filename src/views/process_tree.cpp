#include "views/process_tree.h"

#include <cstdint>

#include "base/format.h"
#include "base/reveal_text.h"
#include "base/text.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "views/process_filter.h"
#include "views/row_details.h"

namespace olv {

namespace {

constexpr int32_t kPidBuckets = 4096; // a power of two, as many as nodes
constexpr int32_t kNeverPlaced = INT32_MAX;
constexpr int32_t kPassInProgress = -1;

uint32_t PidBucket(uint32_t pid) {
    // Windows numbers processes in steps of four: multiply so every bit reaches the top ones.
    return (pid * 2654435761u) >> (32 - 12);
}
static_assert(kPidBuckets == 1 << 12);

void Step(uint64_t* steps) {
    if (steps != nullptr) ++*steps;
}

// The first node (lowest index) with pid, following the bucket chains; -1 when none.
int32_t FindPid(const int32_t* heads, const ProcessTreeNode* nodes, uint32_t pid,
                uint64_t* steps) {
    for (int32_t n = heads[PidBucket(pid)]; n >= 0; n = nodes[n].nextInBucket) {
        Step(steps);
        if (nodes[n].pid == pid) return n;
    }
    return -1;
}

} // namespace

int32_t CollectProcessTreeNodes(Recording* app, ProcessTreeNode* nodes, int32_t capacity,
                                uint64_t* steps) {
    if (capacity > kProcessTreeNodes) capacity = kProcessTreeNodes;
    int32_t heads[kPidBuckets];
    for (int32_t& h : heads)
        h = -1;
    int32_t count = 0;
    LockGuard guard(&app->rowsLock);
    for (int32_t i = 0; i < app->rowCount && count < capacity; ++i) {
        Step(steps);
        if (!IsStoredProcessStart(app, i)) continue;
        const uint32_t pid = StoredPid(app, i);
        if (FindPid(heads, nodes, pid, steps) >= 0) continue;
        ProcessTreeNode& node = nodes[count];
        node.pid = pid;
        node.parentPid = StoredParentPid(app, i);
        if (CopyStoredText(app, i, kTextProcess, node.name, 64) == 0)
            CopyBounded(node.name, 64, u"?");
        node.item = nullptr;
        node.startRow = i;
        node.placed = 0;
        // Appended at the end of its chain would keep index order; a new pid is not in the
        // chain at all, so putting it first is as good and costs nothing.
        const uint32_t bucket = PidBucket(pid);
        node.nextInBucket = heads[bucket];
        heads[bucket] = count;
        ++count;
    }
    return count;
}

int32_t PlaceProcessTree(ProcessTreeNode* nodes, int32_t count, InsertTreeItem insertItem,
                         void* context, uint64_t* steps) {
    if (count > kProcessTreeNodes) count = kProcessTreeNodes;
    if (count <= 0) return 0;

    // Every node's parent: chains built from the last node to the first, so each chain runs in
    // array order and the first match is the first node with that pid.
    int32_t heads[kPidBuckets];
    for (int32_t& h : heads)
        h = -1;
    for (int32_t i = count - 1; i >= 0; --i) {
        Step(steps);
        const uint32_t bucket = PidBucket(nodes[i].pid);
        nodes[i].nextInBucket = heads[bucket];
        heads[bucket] = i;
        nodes[i].item = nullptr;
        nodes[i].placed = 0;
        nodes[i].pass = 0;
    }
    for (int32_t i = 0; i < count; ++i)
        nodes[i].parent = FindPid(heads, nodes, nodes[i].parentPid, steps);

    // The pass of each node: 1 at the root; its parent's pass when the parent comes earlier in
    // the array (placed before it in the same pass), one more when later. A node whose parents
    // loop is never placed by a pass. Each node is walked once: the walk up a parent chain stops
    // at a node already known, and the chain is then resolved from the top down.
    int32_t* stack = heads; // the buckets are no longer needed, and count <= kPidBuckets
    for (int32_t i = 0; i < count; ++i) {
        if (nodes[i].pass != 0) continue;
        int32_t depth = 0;
        int32_t at = i;
        int32_t known = 0; // the pass below the chain; kNeverPlaced for a loop
        for (;;) {
            Step(steps);
            nodes[at].pass = kPassInProgress;
            stack[depth++] = at;
            const int32_t parent = nodes[at].parent;
            if (parent < 0) break;
            if (nodes[parent].pass == kPassInProgress || nodes[parent].pass == kNeverPlaced) {
                known = kNeverPlaced;
                break;
            }
            if (nodes[parent].pass > 0) break;
            at = parent;
        }
        while (depth > 0) {
            Step(steps);
            const int32_t n = stack[--depth];
            const int32_t parent = nodes[n].parent;
            if (known == kNeverPlaced) {
                nodes[n].pass = kNeverPlaced;
            } else if (parent < 0) {
                nodes[n].pass = 1;
            } else {
                nodes[n].pass = nodes[parent].pass + (parent < n ? 0 : 1);
            }
        }
    }

    // The nodes of each pass in array order: chains of nodes, with each pass's first and last.
    int32_t first[kProcessTreeNodes + 1];
    int32_t last[kProcessTreeNodes + 1];
    for (int32_t p = 0; p <= count; ++p) {
        first[p] = -1;
        last[p] = -1;
    }
    for (int32_t i = 0; i < count; ++i) {
        Step(steps);
        nodes[i].nextInPass = -1;
        const int32_t pass = nodes[i].pass;
        if (pass == kNeverPlaced) continue; // passes run from 1 to count at most
        if (last[pass] < 0) {
            first[pass] = i;
        } else {
            nodes[last[pass]].nextInPass = i;
        }
        last[pass] = i;
    }

    int32_t inserted = 0;
    for (int32_t pass = 1; pass <= count && first[pass] >= 0; ++pass) {
        for (int32_t i = first[pass]; i >= 0; i = nodes[i].nextInPass) {
            Step(steps);
            ProcessTreeNode& node = nodes[i];
            void* parentItem = nullptr;
            if (node.parent >= 0) {
                // A parent whose insertion failed (or that was left out for that reason) leaves
                // its children for the root.
                const ProcessTreeNode& parent = nodes[node.parent];
                if (parent.placed == 0 || parent.item == nullptr) continue;
                parentItem = parent.item;
            }
            node.item = insertItem(context, &node, parentItem);
            node.placed = 1;
            ++inserted;
        }
    }
    // Whatever is left (a parent chain that loops, or a parent whose insertion failed) goes to
    // the root, in array order.
    for (int32_t i = 0; i < count; ++i) {
        Step(steps);
        ProcessTreeNode& node = nodes[i];
        if (node.placed != 0) continue;
        node.item = insertItem(context, &node, nullptr);
        node.placed = 1;
        ++inserted;
    }
    return inserted;
}

void ProcessTreeItemText(const ProcessTreeNode* node, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    AppendRevealed(out, capacity, node->name, 64);
    AppendFormat(out, capacity, u" (PID: %lu)", node->pid);
}

namespace {

void* InsertIntoTreeWindow(void* treeWindow, const ProcessTreeNode* node, void* parentItem) {
    char16_t text[kProcessTreeItemChars];
    ProcessTreeItemText(node, text, kProcessTreeItemChars);
    return UiTreeInsert(treeWindow, parentItem, text, node->startRow);
}

} // namespace

void FillProcessTreeWindow(Recording* app, UiHandle window) {
    ProcessTreeNode* nodes =
        static_cast<ProcessTreeNode*>(AllocZeroed(sizeof(ProcessTreeNode) * kProcessTreeNodes));
    if (nodes == nullptr) return;
    const int32_t count = CollectProcessTreeNodes(app, nodes, kProcessTreeNodes);
    UiTreeBeginRefresh(window);
    PlaceProcessTree(nodes, count, InsertIntoTreeWindow, window);
    UiTreeEndRefresh(window);
    char16_t title[320];
    ViewWindowTitle(app, u"Process Tree", title, 320);
    UiSetWindowTitle(window, title);
    FreeBlock(nodes);
}

} // namespace olv
