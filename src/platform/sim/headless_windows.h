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
