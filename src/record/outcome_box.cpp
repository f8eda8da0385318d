// Kept apart from the outcome's record so that a front end that prints outcomes links no
// message box.
#include "record/outcome.h"

namespace olv {

bool ShowOutcome(UiHandle owner, const Outcome& outcome) {
    if (OutcomeHasMessage(outcome))
        UiMessageBox(owner, outcome.text, outcome.caption, outcome.icon, kButtonsOk);
    return OutcomeOk(outcome);
}

} // namespace olv
