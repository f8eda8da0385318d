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
char16_t gListWindow;

constexpr int32_t kListItems = 512;
constexpr int kListColumns = 8;
constexpr size_t kListCellChars = 256;
constexpr size_t kListHeadlineChars = 1400;

struct ListWindowModel {
    bool open;
    bool fails;
    int32_t opened;
    char16_t title[64];
    char16_t headline[kListHeadlineChars];
    int columns;
    int32_t items;
    char16_t cells[kListItems][kListColumns][kListCellChars];
    void (*activate)(void*, int);
    void* context;
};
ListWindowModel gList;

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

UiHandle UiOpenListWindow(UiHandle, ModuleHandle, FontHandle, const UiListWindowSpec* spec) {
    if (gList.fails || spec == nullptr) return nullptr;
    gList.open = true;
    ++gList.opened;
    CopyBounded(gList.title, 64, spec->title);
    gList.headline[0] = 0;
    gList.columns = spec->columnCount < kListColumns ? spec->columnCount : kListColumns;
    gList.items = 0;
    gList.activate = spec->activate;
    gList.context = spec->context;
    return &gListWindow;
}

bool UiIsListWindow(UiHandle window) {
    return window == &gListWindow && gList.open;
}

void UiListWindowSetHeadline(UiHandle window, const char16_t* text) {
    if (UiIsListWindow(window)) CopyBounded(gList.headline, kListHeadlineChars, text);
}

void UiListWindowClear(UiHandle window) {
    if (UiIsListWindow(window)) gList.items = 0;
}

bool UiListWindowAddItem(UiHandle window, const char16_t* const* cells, int count) {
    if (!UiIsListWindow(window) || gList.items >= kListItems) return false;
    for (int c = 0; c < gList.columns; ++c)
        CopyBounded(gList.cells[gList.items][c], kListCellChars, c < count ? cells[c] : u"");
    ++gList.items;
    return true;
}

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
int32_t HeadlessListWindowCount() {
    return gList.opened;
}
const char16_t* HeadlessListWindowTitle() {
    return gList.title;
}
const char16_t* HeadlessListWindowHeadline() {
    return gList.headline;
}
int32_t HeadlessListWindowItemCount() {
    return gList.items;
}
const char16_t* HeadlessListWindowCell(int32_t item, int column) {
    if (item < 0 || item >= gList.items || column < 0 || column >= gList.columns) return nullptr;
    return gList.cells[item][column];
}
bool HeadlessActivateListItem(int32_t item) {
    if (!gList.open || item < 0 || item >= gList.items || gList.activate == nullptr) return false;
    gList.activate(gList.context, item);
    return true;
}
void HeadlessCloseListWindow() {
    gList.open = false;
}
void HeadlessSetListWindowFails(bool fails) {
    gList.fails = fails;
}
void ResetHeadlessWindows() {
    gList.open = false;
    gList.fails = false;
    gList.opened = 0;
    gList.items = 0;
    gList.title[0] = 0;
    gList.headline[0] = 0;
    gSummary[0] = 0;
    gSummaryWindows = 0;
    gTreeWindows = 0;
    gItemCount = 0;
    gSummaryFontFails = false;
}

} // namespace olv
