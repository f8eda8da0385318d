// "Copy Rows" from the window: the event list's selection read here and handed to the core
// (views/copy_rows.h), which never reads the list itself.
#pragma once

#include <cstdint>

namespace olv {

struct Recording;

// The selected items of the window's event list, in the order shown (at most the shown count),
// copied with CopyShownItems. Returns the rows put on the clipboard; 0 without a window, when
// nothing is selected, or when memory or the clipboard refused.
int32_t CopySelectedRows(Recording* app);

} // namespace olv
