#include "views/process_tree.h"

#include "base/format.h"
#include "base/text.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/app_state.h"

namespace olv {

int32_t CollectProcessTreeNodes(AppState* app, ProcessTreeNode* nodes, int32_t capacity) {
    int32_t count = 0;
    LockGuard guard(&app->rowsLock);
    for (int32_t i = 0; i < app->rowCount && count < capacity; ++i) {
        const EventRow& row = app->rows[i];
        if (row.category != kCategoryProcess || row.parentPid == 0) continue;
        bool known = false;
        for (int32_t n = 0; n < count && !known; ++n)
            known = nodes[n].pid == row.pid;
        if (known) continue;
        ProcessTreeNode& node = nodes[count++];
        node.pid = row.pid;
        node.parentPid = row.parentPid;
        CopyBounded(node.name, 64, row.process[0] != 0 ? row.process : u"?");
        node.item = nullptr;
        node.placed = 0;
    }
    return count;
}

int32_t PlaceProcessTree(ProcessTreeNode* nodes, int32_t count, InsertTreeItem insertItem,
                         void* context) {
    int32_t inserted = 0;
    bool progress = true;
    while (progress) {
        progress = false;
        for (int32_t i = 0; i < count; ++i) {
            ProcessTreeNode& node = nodes[i];
            if (node.placed != 0) continue;
            int32_t parent = -1;
            for (int32_t p = 0; p < count; ++p) {
                if (nodes[p].pid == node.parentPid) {
                    parent = p;
                    break;
                }
            }
            void* parentItem = nullptr;
            if (parent >= 0) {
                if (nodes[parent].placed == 0 || nodes[parent].item == nullptr) continue;
                parentItem = nodes[parent].item;
            }
            node.item = insertItem(context, &node, parentItem);
            node.placed = 1;
            ++inserted;
            progress = true;
        }
    }
    // Whatever is left (a parent chain that loops, or a parent whose insertion failed) goes to
    // the root, in array order.
    for (int32_t i = 0; i < count; ++i) {
        ProcessTreeNode& node = nodes[i];
        if (node.placed != 0) continue;
        node.item = insertItem(context, &node, nullptr);
        node.placed = 1;
        ++inserted;
    }
    return inserted;
}

void ProcessTreeItemText(const ProcessTreeNode* node, char16_t* out, size_t capacity) {
    FormatText(out, capacity, u"%s (PID: %lu)", node->name, node->pid);
}

namespace {

void* InsertIntoTreeWindow(void* treeWindow, const ProcessTreeNode* node, void* parentItem) {
    char16_t text[96];
    ProcessTreeItemText(node, text, 96);
    return UiTreeInsert(treeWindow, parentItem, text);
}

} // namespace

void ShowProcessTreeWindow(AppState* app) {
    ProcessTreeNode* nodes =
        static_cast<ProcessTreeNode*>(AllocZeroed(sizeof(ProcessTreeNode) * kProcessTreeNodes));
    if (nodes == nullptr) return;
    const int32_t count = CollectProcessTreeNodes(app, nodes, kProcessTreeNodes);
    UiHandle window =
        UiOpenTreeWindow(app->mainWindow, app->instance, u"Process Tree", 560, 600, app->uiFont);
    if (window != nullptr) {
        PlaceProcessTree(nodes, count, InsertIntoTreeWindow, window);
        UiTreeExpandRoots(window);
        UiShowViewWindow(window);
    }
    FreeBlock(nodes);
}

} // namespace olv
