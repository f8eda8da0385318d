#include "platform/sim/headless_windows.h"

#include "base/text.h"
#include "platform/sim/headless_ui.h"
#include "platform/ui.h"

namespace olv {

namespace {

constexpr int32_t kTreeItems = 4096;
constexpr size_t kItemChars = 96;
constexpr size_t kSummaryTextChars = 32768;

struct TreeItem {
    char16_t text[kItemChars];
    int32_t parent;
};

// The two kinds of window the model knows; a handle is the address of one of these.
char16_t gTreeWindow;
char16_t gTextWindow;

char16_t gSummary[kSummaryTextChars];
int32_t gSummaryWindows = 0;
int32_t gTreeWindows = 0;
TreeItem gItems[kTreeItems];
int32_t gItemCount = 0;
bool gSummaryFontFails = false;

} // namespace

UiHandle UiOpenTreeWindow(UiHandle, ModuleHandle, const char16_t*, int, int, FontHandle) {
    gItemCount = 0;
    ++gTreeWindows;
    return &gTreeWindow;
}

void* UiTreeInsert(UiHandle treeWindow, void* parentItem, const char16_t* text) {
    if (treeWindow != &gTreeWindow || gItemCount >= kTreeItems) return nullptr;
    TreeItem& item = gItems[gItemCount];
    CopyBounded(item.text, kItemChars, text);
    // Items are numbered from 1 so that a null item means "none".
    item.parent = parentItem == nullptr
                      ? -1
                      : static_cast<int32_t>(reinterpret_cast<intptr_t>(parentItem)) - 1;
    ++gItemCount;
    return reinterpret_cast<void*>(static_cast<intptr_t>(gItemCount));
}

void UiTreeExpandRoots(UiHandle) {}

UiHandle UiOpenTextWindow(UiHandle, ModuleHandle, const char16_t*, int, int, FontHandle,
                          const char16_t* text) {
    CopyBounded(gSummary, kSummaryTextChars, text);
    ++gSummaryWindows;
    return &gTextWindow;
}

void UiShowViewWindow(UiHandle) {}

FontHandle UiMakeSummaryFont() {
    if (gSummaryFontFails) return nullptr;
    return HeadlessMakeFont();
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
void HeadlessSetSummaryFontFails(bool fails) {
    gSummaryFontFails = fails;
}
void ResetHeadlessWindows() {
    gSummary[0] = 0;
    gSummaryWindows = 0;
    gTreeWindows = 0;
    gItemCount = 0;
    gSummaryFontFails = false;
}

} // namespace olv
