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
// The list window (UiOpenListWindow): how many were opened, whether the last one is open, its
// title, headline, items and cells (null past the end). Items past the model's room (512) are
// refused, as a full list would refuse them.
int32_t HeadlessListWindowCount();
const char16_t* HeadlessListWindowTitle();
const char16_t* HeadlessListWindowHeadline();
int32_t HeadlessListWindowItemCount();
const char16_t* HeadlessListWindowCell(int32_t item, int column);
// The user double-clicks item of the open list window: its activation runs. False when no list
// window is open or the item does not exist.
bool HeadlessActivateListItem(int32_t item);
// The user closes the list window.
void HeadlessCloseListWindow();
// UiOpenListWindow fails from now on (until ResetHeadlessWindows).
void HeadlessSetListWindowFails(bool fails);
// UiMakeSummaryFont fails from now on (until ResetHeadlessWindows).
void HeadlessSetSummaryFontFails(bool fails);
void ResetHeadlessWindows();

} // namespace olv
