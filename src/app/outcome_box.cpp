// Kept apart from the outcome's record so that a front end that prints outcomes links no
// message box and no progress window.
#include "app/outcome_box.h"

namespace olv {

bool ShowOutcome(UiHandle owner, const Outcome& outcome) {
    if (OutcomeHasMessage(outcome))
        UiMessageBox(owner, outcome.text, outcome.caption, outcome.icon, kButtonsOk);
    return OutcomeOk(outcome);
}

Progress WindowProgress(UiHandle owner) {
    Progress p{};
    p.begin = [](void* context, const char16_t* title, uint32_t total) -> void* {
        return UiBeginProgress(context, title, total);
    };
    p.step = [](void* handle, uint32_t done, const char16_t* text) {
        return UiStepProgress(handle, done, text);
    };
    p.end = [](void* handle) { UiEndProgress(handle); };
    p.context = owner;
    return p;
}

} // namespace olv
