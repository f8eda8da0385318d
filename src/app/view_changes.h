// The window's drawing of what the core changed (record/view_changes.h): after each operation and
// timer tick the window hands over its event list and status bar, and the marked changes are
// drawn there and cleared. A front end without a window clears them unseen (null handles).
#pragma once

#include "platform/ui.h"

namespace olv {

struct Recording;

// Draws Recording::changes on the window's event list and status bar: the item count, the
// repaint, the sort arrow, the item to select, the following of arrived rows (decided from the
// list as it is before the new count is set) and the status text. The changes are taken before
// anything is drawn, so a drawing that sends messages back finds nothing left to draw.
void ApplyViewChanges(Recording* app, UiHandle eventList, UiHandle statusBar);
// The same on the main window's own controls (nothing is drawn without app->window).
void ApplyWindowViewChanges(Recording* app);

} // namespace olv
