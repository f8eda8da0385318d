// The view's controls of the main window (the four category boxes, "Suspicious", the operation
// combo box and the filter box) and Recording::view: the window copies a control into the view
// when it changes, and shows a view set by a menu command in its controls. Window thread only.
#pragma once

#include "app/recording_setup.h"

namespace olv {

// Copies the control with identifier id (a ControlId) into the view and sets that view (SetView),
// rebuilding the shown rows. Other identifiers do nothing.
void ViewControlChanged(Recording* app, int id);
// Puts Recording::view into the controls and the "Suspicious Only" menu item. The filter box is
// written only when its text differs, as writing it notifies a change. An operation the combo
// box does not offer is added to it.
void ShowViewInControls(Recording* app);
// Brings the operation combo box in line with Recording::operationNames: adds the names learnt
// since it was last filled, or, when the list was emptied since, starts over from "All
// operations" (selected). The window calls it after anything that may take in, clear or open
// rows; it costs two comparisons when nothing changed.
void ShowOperationNames(Recording* app);

} // namespace olv
