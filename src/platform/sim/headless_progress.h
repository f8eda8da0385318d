// The progress window of the headless UI (UiBeginProgress, UiStepProgress, UiEndProgress): it
// keeps what the real window would show and what it did to its owner, and tests script the
// user's Cancel and what arrives for the window between steps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

constexpr int kHeadlessProgressLog = 64; // done counts kept, the first ones
constexpr size_t kHeadlessProgressChars = 128;

struct HeadlessProgress {
    uint8_t shown;           // between a successful begin and its end
    uint8_t ownerIsMain;     // the owner is the model's main window, which is disabled
    uint8_t ownerWasEnabled; // its state before the begin, given back at the end
    char16_t title[kHeadlessProgressChars];
    uint32_t total;
    uint32_t done; // last step
    char16_t text[kHeadlessProgressChars];
    uint32_t begins;            // windows shown
    uint32_t ends;              // windows ended (null handles are not counted)
    uint32_t steps;             // steps of the window shown now, or of the last one
    uint32_t stepsOwnerEnabled; // steps during which the owner could take input: a fault
    uint32_t strayCalls;        // step or end with a handle that is not the shown window
    uint32_t doneLog[kHeadlessProgressLog];

    // Script.
    uint32_t cancelAtStep; // the user presses Cancel during this step (1 = the first); 0: never
    uint8_t beginFails;    // the window cannot be made: UiBeginProgress returns null
    void (*stepHandler)(void* context, uint32_t step); // runs inside every step, as messages would
    void* stepContext;
};

// The model; ResetHeadlessUi resets it too.
HeadlessProgress* HeadlessProgressModel();
void ResetHeadlessProgress();
void HeadlessCancelProgressAtStep(uint32_t step);
void HeadlessSetProgressBeginFails(bool fails);
void HeadlessSetProgressStepHandler(void (*handler)(void* context, uint32_t step), void* context);

} // namespace olv
