#include "platform/sim/headless_progress.h"

#include <cstring>

#include "base/text.h"
#include "platform/sim/headless_ui.h"

namespace olv {

namespace {

HeadlessProgress gProgress;

UiHandle ProgressHandle() {
    return &gProgress;
}

} // namespace

HeadlessProgress* HeadlessProgressModel() {
    return &gProgress;
}

void ResetHeadlessProgress() {
    std::memset(static_cast<void*>(&gProgress), 0, sizeof gProgress);
}

void HeadlessCancelProgressAtStep(uint32_t step) {
    gProgress.cancelAtStep = step;
}

void HeadlessSetProgressBeginFails(bool fails) {
    gProgress.beginFails = fails ? 1 : 0;
}

void HeadlessSetProgressStepHandler(void (*handler)(void* context, uint32_t step), void* context) {
    gProgress.stepHandler = handler;
    gProgress.stepContext = context;
}

UiHandle UiBeginProgress(UiHandle owner, const char16_t* title, uint32_t total) {
    if (gProgress.beginFails != 0) return nullptr;
    if (gProgress.shown != 0) ++gProgress.strayCalls; // a second window over the first
    HeadlessControl* window = HeadlessControlById(0);
    const bool ownsMain = owner == HeadlessControlHandle(0);
    gProgress.ownerIsMain = ownsMain ? 1 : 0;
    gProgress.ownerWasEnabled = window->enabled;
    if (ownsMain) window->enabled = 0;
    gProgress.shown = 1;
    CopyBounded(gProgress.title, kHeadlessProgressChars, title);
    gProgress.total = total;
    gProgress.done = 0;
    gProgress.text[0] = 0;
    gProgress.steps = 0;
    ++gProgress.begins;
    return ProgressHandle();
}

bool UiStepProgress(UiHandle progress, uint32_t done, const char16_t* text) {
    if (progress == nullptr) return false;
    if (progress != ProgressHandle() || gProgress.shown == 0) {
        ++gProgress.strayCalls;
        return false;
    }
    const uint32_t step = ++gProgress.steps;
    if (step <= kHeadlessProgressLog) gProgress.doneLog[step - 1] = done;
    gProgress.done = done;
    CopyBounded(gProgress.text, kHeadlessProgressChars, text);
    if (HeadlessControlById(0)->enabled != 0) ++gProgress.stepsOwnerEnabled;
    if (gProgress.stepHandler != nullptr) gProgress.stepHandler(gProgress.stepContext, step);
    return gProgress.cancelAtStep != 0 && step >= gProgress.cancelAtStep;
}

void UiEndProgress(UiHandle progress) {
    if (progress == nullptr) return;
    if (progress != ProgressHandle() || gProgress.shown == 0) {
        ++gProgress.strayCalls;
        return;
    }
    if (gProgress.ownerIsMain != 0) HeadlessControlById(0)->enabled = gProgress.ownerWasEnabled;
    gProgress.shown = 0;
    ++gProgress.ends;
}

} // namespace olv
