// "Copy Rows" and "Copy Cell" from the window: the event list's selection read here and handed to
// the core (views/copy_rows.h), which builds the text and never reads the list itself; the text
// goes onto the clipboard here.
#pragma once

#include <cstdint>

namespace olv {

struct Recording;

// The selected items of the window's event list, in the order shown (at most the shown count),
// copied with CopyShownItems. Returns the rows put on the clipboard; 0 without a window, when
// nothing is selected, or when memory or the clipboard refused.
int32_t CopySelectedRows(Recording* app);
// The shown items listed (in the order shown, as the front end read them), with the header line,
// onto the clipboard. Returns the rows put there (0 without a window, when none is listed or
// memory or the clipboard refused).
int32_t CopyShownItems(Recording* app, const int32_t* items, int32_t count);
// The text of column (0 to 6) of shown item as the list shows it, onto the clipboard. False
// without a window, when there is no such item or the clipboard refused.
bool CopyCell(Recording* app, int item, int column);

} // namespace olv
