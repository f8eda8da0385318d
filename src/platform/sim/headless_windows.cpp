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
    intptr_t tag;
};
constexpr size_t kTitleChars = 320;

// The two kinds of window the model knows; a handle is the address of one of these.
char16_t gTreeWindow;
char16_t gTextWindow;
char16_t gListWindow;

constexpr size_t kListCellChars = 1024;
constexpr size_t kListHeadlineChars = 1400;
constexpr int32_t kListSelected = 64;

// The list window's model: its lines are drawn through the UiListWindowSpec cell callback when read, as
// the real virtual list draws them.
struct ListWindowModel {
    bool open;
    bool fails;
    int32_t opened;
    char16_t title[64];
    char16_t headline[kListHeadlineChars];
    int32_t lines;
    int32_t lineCountsSet;
    int32_t redraws;
    int32_t focused;
    int32_t selected[kListSelected];
    int32_t selectedCount;
    int sortColumn;
    int sortDirection;
    UiListWindowSpec spec;
    char16_t cell[kListCellChars];
};
ListWindowModel gList;

char16_t gSummary[kSummaryTextChars];
int32_t gSummaryWindows = 0;
int32_t gTreeWindows = 0;
TreeItem gItems[kTreeItems];
int32_t gItemCount = 0;
bool gSummaryFontFails = false;
char16_t gTreeTitle[kTitleChars];
char16_t gTextTitle[kTitleChars];
int32_t gTreeRefreshes = 0;
char16_t gDetails[kSummaryTextChars];
char16_t gDetailsTitle[kTitleChars];
int32_t gDetailsWindows = 0;
char16_t gDetailsWindow;

} // namespace

UiHandle UiOpenTreeWindow(UiHandle, ModuleHandle, const char16_t* title, int, int, FontHandle) {
    gItemCount = 0;
    CopyBounded(gTreeTitle, kTitleChars, title);
    ++gTreeWindows;
    return &gTreeWindow;
}

void* UiTreeInsert(UiHandle treeWindow, void* parentItem, const char16_t* text, intptr_t tag) {
    if (treeWindow != &gTreeWindow || gItemCount >= kTreeItems) return nullptr;
    TreeItem& item = gItems[gItemCount];
    CopyBounded(item.text, kItemChars, text);
    item.tag = tag;
    // Items are numbered from 1 so that a null item means "none".
    item.parent = parentItem == nullptr
                      ? -1
                      : static_cast<int32_t>(reinterpret_cast<intptr_t>(parentItem)) - 1;
    ++gItemCount;
    return reinterpret_cast<void*>(static_cast<intptr_t>(gItemCount));
}

void UiTreeExpandRoots(UiHandle) {}

void UiTreeBeginRefresh(UiHandle treeWindow) {
    if (treeWindow != &gTreeWindow) return;
    gItemCount = 0;
    ++gTreeRefreshes;
}

void UiTreeEndRefresh(UiHandle) {}

void UiSetWindowTitle(UiHandle window, const char16_t* title) {
    if (window == &gTreeWindow) CopyBounded(gTreeTitle, kTitleChars, title);
    if (window == &gTextWindow) CopyBounded(gTextTitle, kTitleChars, title);
}

void UiReplaceWindowText(UiHandle textWindow, const char16_t* text) {
    if (textWindow == &gTextWindow) CopyBounded(gSummary, kSummaryTextChars, text);
}

int UiOpenViewWindows(int kind, UiHandle* out, int capacity) {
    if (capacity < 1 || out == nullptr) return 0;
    if (kind == kViewTree && gTreeWindows > 0) {
        out[0] = &gTreeWindow;
        return 1;
    }
    if (kind == kViewSummary && gSummaryWindows > 0) {
        out[0] = &gTextWindow;
        return 1;
    }
    return 0;
}

UiHandle UiOpenDetailsWindow(UiHandle, ModuleHandle, const char16_t* title, int, int, FontHandle,
                             const char16_t* text) {
    CopyBounded(gDetails, kSummaryTextChars, text);
    CopyBounded(gDetailsTitle, kTitleChars, title);
    ++gDetailsWindows;
    return &gDetailsWindow;
}

UiHandle UiOpenTextWindow(UiHandle, ModuleHandle, const char16_t* title, int, int, FontHandle,
                          const char16_t* text) {
    CopyBounded(gSummary, kSummaryTextChars, text);
    CopyBounded(gTextTitle, kTitleChars, title);
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
    gList.lines = 0;
    gList.focused = -1;
    gList.selectedCount = 0;
    gList.sortColumn = -1;
    gList.sortDirection = 0;
    gList.spec = *spec;
    return &gListWindow;
}

bool UiIsListWindow(UiHandle window) {
    return window == &gListWindow && gList.open;
}

void UiListWindowSetHeadline(UiHandle window, const char16_t* text) {
    if (UiIsListWindow(window)) CopyBounded(gList.headline, kListHeadlineChars, text);
}

void UiListWindowSetLineCount(UiHandle window, int count) {
    if (!UiIsListWindow(window)) return;
    gList.lines = count < 0 ? 0 : count;
    ++gList.lineCountsSet;
    gList.selectedCount = 0;
    gList.focused = -1;
}

void UiListWindowRedraw(UiHandle window) {
    if (UiIsListWindow(window)) ++gList.redraws;
}

int UiListWindowNextSelected(UiHandle window, int after) {
    if (!UiIsListWindow(window)) return -1;
    int best = -1;
    for (int32_t i = 0; i < gList.selectedCount; ++i) {
        const int line = gList.selected[i];
        if (line > after && (best < 0 || line < best)) best = line;
    }
    return best;
}

int UiListWindowFocusedLine(UiHandle window) {
    return UiIsListWindow(window) ? gList.focused : -1;
}

void UiListWindowSelectLine(UiHandle window, int line) {
    if (!UiIsListWindow(window) || line < 0 || line >= gList.lines) return;
    gList.selected[0] = line;
    gList.selectedCount = 1;
    gList.focused = line;
}

void UiListWindowSetSortArrow(UiHandle window, int column, int direction) {
    if (!UiIsListWindow(window)) return;
    gList.sortColumn = column;
    gList.sortDirection = direction;
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
intptr_t HeadlessProcessTreeItemTag(int32_t index) {
    return index >= 0 && index < gItemCount ? gItems[index].tag : -1;
}
const char16_t* HeadlessProcessTreeTitle() {
    return gTreeTitle;
}
const char16_t* HeadlessSummaryTitle() {
    return gTextTitle;
}
int32_t HeadlessProcessTreeRefreshCount() {
    return gTreeRefreshes;
}
const char16_t* HeadlessDetailsText() {
    return gDetails;
}
const char16_t* HeadlessDetailsTitle() {
    return gDetailsTitle;
}
int32_t HeadlessDetailsWindowCount() {
    return gDetailsWindows;
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
    return gList.lines;
}
const char16_t* HeadlessListWindowCell(int32_t line, int column) {
    if (!gList.open || line < 0 || line >= gList.lines || column < 0 ||
        column >= gList.spec.columnCount || gList.spec.cell == nullptr) {
        return nullptr;
    }
    gList.cell[0] = 0;
    gList.spec.cell(gList.spec.context, line, column, gList.cell, kListCellChars);
    return gList.cell;
}
bool HeadlessActivateListItem(int32_t line) {
    if (!gList.open || line < 0 || line >= gList.lines || gList.spec.activate == nullptr) {
        return false;
    }
    gList.focused = line;
    gList.spec.activate(gList.spec.context, line);
    return true;
}
void HeadlessCloseListWindow() {
    gList.open = false;
}
void HeadlessSetListWindowFails(bool fails) {
    gList.fails = fails;
}
int32_t HeadlessListWindowLineCountsSet() {
    return gList.lineCountsSet;
}
int32_t HeadlessListWindowRedraws() {
    return gList.redraws;
}
void HeadlessListWindowSortArrow(int* column, int* direction) {
    *column = gList.sortColumn;
    *direction = gList.sortDirection;
}
bool HeadlessListWindowHeadingClick(int column) {
    if (!gList.open || gList.spec.sort == nullptr) return false;
    gList.spec.sort(gList.spec.context, column);
    return true;
}
bool HeadlessListWindowSearch(const char16_t* text) {
    if (!gList.open || gList.spec.search == nullptr) return false;
    gList.spec.search(gList.spec.context, text);
    return true;
}
bool HeadlessListWindowChoose(int choice) {
    if (!gList.open || gList.spec.choose == nullptr || choice < 0 ||
        choice >= gList.spec.choiceCount) {
        return false;
    }
    gList.spec.choose(gList.spec.context, choice);
    return true;
}
int HeadlessListWindowMenuCount() {
    return gList.open ? gList.spec.menuCount : 0;
}
const char16_t* HeadlessListWindowMenuText(int index) {
    if (!gList.open || index < 0 || index >= gList.spec.menuCount) return nullptr;
    return gList.spec.menu[index].text;
}
bool HeadlessListWindowMenuCommand(int index) {
    if (!gList.open || index < 0 || index >= gList.spec.menuCount ||
        gList.spec.command == nullptr) {
        return false;
    }
    gList.spec.command(gList.spec.context, gList.spec.menu[index].command);
    return true;
}
bool HeadlessListWindowCommand(int command) {
    if (!gList.open || gList.spec.command == nullptr) return false;
    gList.spec.command(gList.spec.context, command);
    return true;
}
void HeadlessListWindowSelect(const int32_t* lines, int32_t count) {
    gList.selectedCount = 0;
    gList.focused = -1;
    for (int32_t i = 0; i < count && i < kListSelected; ++i) {
        if (lines[i] < 0 || lines[i] >= gList.lines) continue;
        gList.selected[gList.selectedCount++] = lines[i];
        gList.focused = lines[i];
    }
}
void ResetHeadlessWindows() {
    gList.open = false;
    gList.fails = false;
    gList.opened = 0;
    gList.lines = 0;
    gList.lineCountsSet = 0;
    gList.redraws = 0;
    gList.selectedCount = 0;
    gList.focused = -1;
    gList.spec = UiListWindowSpec{};
    gList.title[0] = 0;
    gList.headline[0] = 0;
    gSummary[0] = 0;
    gSummaryWindows = 0;
    gTreeWindows = 0;
    gItemCount = 0;
    gSummaryFontFails = false;
    gTreeTitle[0] = 0;
    gTextTitle[0] = 0;
    gTreeRefreshes = 0;
    gDetails[0] = 0;
    gDetailsTitle[0] = 0;
    gDetailsWindows = 0;
}

} // namespace olv
