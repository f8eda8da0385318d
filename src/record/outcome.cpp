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

} // namespace olv
