// The View menu's windows of the headless UI (the tree and text windows of the UI port): they
// keep what the real windows would show, for tests and the replay tool.
#pragma once

#include <cstdint>

namespace olv {

// The text of the last summary window opened (empty before the first); null-safe.
const char16_t* HeadlessSummaryText();
// How many summary and process tree windows were opened.
int32_t HeadlessSummaryWindowCount();
int32_t HeadlessProcessTreeWindowCount();
// The items of the last process tree window in insertion order: text, and the index of the
// parent item (-1 at the root). Returns the item count; text is null past the end.
int32_t HeadlessProcessTreeItemCount();
const char16_t* HeadlessProcessTreeItemText(int32_t index);
int32_t HeadlessProcessTreeItemParent(int32_t index);
// The list window (UiOpenListWindow): how many were opened, its title, headline, line count and
// cells (drawn through its cell callback when read; null past the end).
int32_t HeadlessListWindowCount();
const char16_t* HeadlessListWindowTitle();
const char16_t* HeadlessListWindowHeadline();
int32_t HeadlessListWindowItemCount();
const char16_t* HeadlessListWindowCell(int32_t line, int column);
// The user double-clicks line of the open list window (it gets the focus): its activation runs.
// False when no list window is open or the line does not exist.
bool HeadlessActivateListItem(int32_t line);
// The user closes the list window.
void HeadlessCloseListWindow();
// How many times the line count was set (every line asked again), and the redraws asked for.
int32_t HeadlessListWindowLineCountsSet();
int32_t HeadlessListWindowRedraws();
// The heading's sort arrow (UiListWindowSetSortArrow).
void HeadlessListWindowSortArrow(int* column, int* direction);
// The user clicks a heading, types in the search box, takes a choice, picks the menu item at
// index, or presses the key of a command. False when no list window is open (or no such item).
bool HeadlessListWindowHeadingClick(int column);
bool HeadlessListWindowSearch(const char16_t* text);
bool HeadlessListWindowChoose(int choice);
int HeadlessListWindowMenuCount();
const char16_t* HeadlessListWindowMenuText(int index);
bool HeadlessListWindowMenuCommand(int index);
bool HeadlessListWindowCommand(int command);
// The user selects these lines (the last one focused).
void HeadlessListWindowSelect(const int32_t* lines, int32_t count);
// UiOpenListWindow fails from now on (until ResetHeadlessWindows).
void HeadlessSetListWindowFails(bool fails);
// The tag of an item of the last tree (-1 past the end), the windows' titles, how many times a
// tree was refilled (UiTreeBeginRefresh), and the last details window's text and title.
intptr_t HeadlessProcessTreeItemTag(int32_t index);
const char16_t* HeadlessProcessTreeTitle();
const char16_t* HeadlessSummaryTitle();
int32_t HeadlessProcessTreeRefreshCount();
const char16_t* HeadlessDetailsText();
const char16_t* HeadlessDetailsTitle();
int32_t HeadlessDetailsWindowCount();
// UiMakeSummaryFont fails from now on (until ResetHeadlessWindows).
void HeadlessSetSummaryFontFails(bool fails);
void ResetHeadlessWindows();

} // namespace olv
