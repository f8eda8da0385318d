#include "app/row_copy.h"

#include "app/window_state.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "views/copy_rows.h"

namespace olv {

int32_t CopyShownItems(Recording* app, const int32_t* items, int32_t count) {
    if (app->window == nullptr || items == nullptr || count <= 0) return 0;
    size_t length = 0;
    char16_t* text = BuildCopyText(app, items, count, &length);
    const bool copied = text != nullptr && UiSetClipboardText(OwnerWindow(app), text);
    FreeBlock(text);
    return copied ? count : 0;
}

bool CopyCell(Recording* app, int item, int column) {
    if (app->window == nullptr) return false;
    char16_t* text = BuildCellCopyText(app, item, column);
    const bool copied = text != nullptr && UiSetClipboardText(OwnerWindow(app), text);
    FreeBlock(text);
    return copied;
}

int32_t CopySelectedRows(Recording* app) {
    if (app->window == nullptr) return 0;
    int32_t shown;
    {
        LockGuard guard(&app->rowsLock);
        shown = app->shownCount;
    }
    if (shown <= 0) return 0;
    // A list whose count is behind the shown rows may name items past them: the count bounds
    // the reading, and the core skips what is no longer shown.
    int32_t* items = static_cast<int32_t*>(AllocZeroed(static_cast<size_t>(shown) * sizeof(int32_t)));
    if (items == nullptr) return 0;
    const UiHandle list = app->window->eventList;
    int32_t count = 0;
    for (int item = UiListNextSelected(list, -1); item >= 0 && count < shown;
         item = UiListNextSelected(list, item)) {
        items[count++] = item;
    }
    const int32_t copied = CopyShownItems(app, items, count);
    FreeBlock(items);
    return copied;
}

} // namespace olv
