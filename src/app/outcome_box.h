// The window's side of outcomes and progress: message boxes and progress windows owned by the
// main window. The console program prints outcomes instead and links neither.
#pragma once

#include "platform/ui.h"
#include "record/outcome.h"

namespace olv {

// The window's progress: a progress window owned by owner (kept in the returned record's context,
// so the record must not outlive the owner).
Progress WindowProgress(UiHandle owner);

// The window's way of telling an outcome: a message box owned by owner (nothing when there is no
// message). Returns OutcomeOk.
bool ShowOutcome(UiHandle owner, const Outcome& outcome);

} // namespace olv
