#include "record/outcome.h"

#include "base/product.h"
#include "base/text.h"

namespace olv {

void SetOutcome(Outcome* out, OutcomeCode code, MessageIcon icon, const char16_t* text) {
    out->code = code;
    out->icon = icon;
    CopyBounded(out->caption, kOutcomeCaptionChars, kProductName);
    CopyBounded(out->text, kOutcomeTextChars, text != nullptr ? text : u"");
}

void SetOutcomeCaption(Outcome* out, const char16_t* caption) {
    CopyBounded(out->caption, kOutcomeCaptionChars, caption);
}

Outcome OkOutcome() {
    Outcome o{};
    SetOutcome(&o, OutcomeCode::kOk, kIconInformation, u"");
    return o;
}

void* BeginProgress(const Progress* progress, const char16_t* title, uint32_t total) {
    return progress != nullptr ? progress->begin(progress->context, title, total) : nullptr;
}

bool StepProgress(const Progress* progress, void* handle, uint32_t done, const char16_t* text) {
    return progress != nullptr && handle != nullptr && progress->step(handle, done, text);
}

void EndProgress(const Progress* progress, void* handle) {
    if (progress != nullptr && handle != nullptr) progress->end(handle);
}

} // namespace olv
