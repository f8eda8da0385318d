// The process tree: which process goes under which, and in which order the items are inserted.
// The window only inserts items in the order computed here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

struct AppState; // app/app_state.h

constexpr int kProcessTreeNodes = 4096;

struct ProcessTreeNode {
    uint32_t pid;
    uint32_t parentPid;
    char16_t name[64];
    void* item; // the window's tree item, null until placed
    uint8_t placed;
};

// One insertion: node index, and the node it goes under (-1: a root item).
struct ProcessTreeInsert {
    int32_t node;
    int32_t parent;
};

// Collects one node per pid from the process-start rows (category 3, parentPid not 0), first row
// wins, at most capacity nodes, "?" for a row without a name. Returns the node count.
int32_t CollectProcessTreeNodes(AppState* app, ProcessTreeNode* nodes, int32_t capacity);
// The insertion order: passes that place a node under its placed parent (or at the root when it
// has none), repeated while a pass places something, then every node left at the root.
// insertItem is called for each insertion in order and returns the new item (null when the
// insertion failed; such a node counts as placed without an item). Returns the insertions made.
using InsertTreeItem = void* (*)(void* context, const ProcessTreeNode* node, void* parentItem);
int32_t PlaceProcessTree(ProcessTreeNode* nodes, int32_t count, InsertTreeItem insertItem,
                         void* context);
// "%s (PID: %lu)"
void ProcessTreeItemText(const ProcessTreeNode* node, char16_t* out, size_t capacity);

// "Process Tree": the nodes placed into a tree window of the UI port, roots expanded.
void ShowProcessTreeWindow(AppState* app);

} // namespace olv
