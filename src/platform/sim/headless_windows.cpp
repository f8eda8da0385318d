#include "platform/sim/headless_windows.h"

#include "base/text.h"
#include "platform/memory.h"
#include "views/process_tree.h"
#include "views/summary.h"

namespace olv {

namespace {

struct TreeItem {
    char16_t text[96];
    int32_t parent;
};

char16_t gSummary[kSummaryChars];
int32_t gSummaryWindows = 0;
int32_t gTreeWindows = 0;
TreeItem gItems[kProcessTreeNodes];
int32_t gItemCount = 0;

void* InsertItem(void*, const ProcessTreeNode* node, void* parentItem) {
    if (gItemCount >= kProcessTreeNodes) return nullptr;
    TreeItem& item = gItems[gItemCount];
    ProcessTreeItemText(node, item.text, 96);
    // Items are numbered from 1 so that a null item means "none".
    item.parent = parentItem == nullptr
                      ? -1
                      : static_cast<int32_t>(reinterpret_cast<intptr_t>(parentItem)) - 1;
    ++gItemCount;
    return reinterpret_cast<void*>(static_cast<intptr_t>(gItemCount));
}

} // namespace

void ShowSummaryWindow(AppState* app) {
    char16_t* text = BuildSummaryText(app);
    if (text == nullptr) return;
    CopyBounded(gSummary, kSummaryChars, text);
    ++gSummaryWindows;
    FreeBlock(text);
}

void ShowProcessTreeWindow(AppState* app) {
    ProcessTreeNode* nodes =
        static_cast<ProcessTreeNode*>(AllocZeroed(sizeof(ProcessTreeNode) * kProcessTreeNodes));
    if (nodes == nullptr) return;
    int32_t count = CollectProcessTreeNodes(app, nodes, kProcessTreeNodes);
    gItemCount = 0;
    PlaceProcessTree(nodes, count, InsertItem, nullptr);
    ++gTreeWindows;
    FreeBlock(nodes);
}

const char16_t* HeadlessSummaryText() {
    return gSummary;
}
int32_t HeadlessSummaryWindowCount() {
    return gSummaryWindows;
}
int32_t HeadlessProcessTreeWindowCount() {
    return gTreeWindows;
}
int32_t HeadlessProcessTreeItemCount() {
    return gItemCount;
}
const char16_t* HeadlessProcessTreeItemText(int32_t index) {
    return index >= 0 && index < gItemCount ? gItems[index].text : nullptr;
}
int32_t HeadlessProcessTreeItemParent(int32_t index) {
    return index >= 0 && index < gItemCount ? gItems[index].parent : -1;
}
void ResetHeadlessWindows() {
    gSummary[0] = 0;
    gSummaryWindows = 0;
    gTreeWindows = 0;
    gItemCount = 0;
}

} // namespace olv
