// The process tree: which process goes under which, and in which order the items are inserted.
// The window only inserts items in the order computed here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui.h"

namespace olv {

struct Recording; // record/recording.h

constexpr int kProcessTreeNodes = 4096;

struct ProcessTreeNode {
    uint32_t pid;
    uint32_t parentPid;
    char16_t name[64];
    void* item; // the window's tree item, null until placed
    int32_t startRow; // index of the start row the node was made from (the item's tag)
    uint8_t placed;
    // Working fields of the collection and the placement: the next node of the same hash
    // bucket, the parent's node index (-1: none), the pass that places the node and the next
    // node of that pass.
    int32_t nextInBucket;
    int32_t parent;
    int32_t pass;
    int32_t nextInPass;
};

// The item text of a node: its name revealed (hidden characters as marks) and its pid.
constexpr size_t kProcessTreeItemChars = 64 * 8 + 32;

// One insertion: node index, and the node it goes under (-1: a root item).
struct ProcessTreeInsert {
    int32_t node;
    int32_t parent;
};

// Collects one node per pid from the process-start rows (category 3, parentPid not 0), first row
// wins, at most capacity nodes (no more than kProcessTreeNodes), "?" for a row without a name.
// Returns the node count. One pass over the rows with a hash of the pids: linear in the rows.
// steps, when not null, is increased by the elementary steps taken (rows read, buckets probed),
// so that a test can tell linear from quadratic work without timing it.
int32_t CollectProcessTreeNodes(Recording* app, ProcessTreeNode* nodes, int32_t capacity,
                                uint64_t* steps = nullptr);
// The insertion order of passes that each go through the nodes in array order and place a node
// under its placed parent (the first node whose pid is its parentPid; at the root when there is
// none), repeated while a pass places something; then every node left (its parents loop, or a
// parent's insertion failed) at the root, in array order. The passes are not run one by one:
// the pass of every node is worked out from its parent's (the same pass when the parent comes
// earlier in the array, the next one when later), and the nodes are inserted by pass, in array
// order within one, so the whole placement is linear in the nodes.
// insertItem is called for each insertion in order and returns the new item (null when the
// insertion failed; such a node counts as placed without an item, and its children are left for
// the root). Every node is placed afresh (count above kProcessTreeNodes is cut there). Returns
// the insertions made. steps as for CollectProcessTreeNodes.
using InsertTreeItem = void* (*)(void* context, const ProcessTreeNode* node, void* parentItem);
int32_t PlaceProcessTree(ProcessTreeNode* nodes, int32_t count, InsertTreeItem insertItem,
                         void* context, uint64_t* steps = nullptr);
// "%s (PID: %lu)" with the name revealed; capacity kProcessTreeItemChars holds every name whole.
void ProcessTreeItemText(const ProcessTreeNode* node, char16_t* out, size_t capacity);

// "Process Tree" (the front end opens the tree window): the nodes placed into it, roots
// expanded; the title says what it shows (views/row_details.h, ViewWindowTitle).
// Fills an open tree window afresh from the rows, keeping the items the user expanded and the
// selection (each item is tagged with its node's start row), and sets its title.
void FillProcessTreeWindow(Recording* app, UiHandle window);

} // namespace olv
