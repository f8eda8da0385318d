#include "views/cell_tip.h"

#include "base/reveal_text.h"
#include "base/text.h"
#include "platform/lock.h"
#include "record/recording.h"
#include "record/row_facts.h"
#include "record/stored_rows.h"

namespace olv {

namespace {

// The fact's text when the row knows it and it is not empty (terminated in text).
bool KnownFact(const Recording* app, int32_t index, RowFact fact, char16_t (&text)[kFactChars]) {
    bool known = false;
    const TextView view = StoredFactText(app, index, fact, &known);
    if (!known || view.length == 0) return false;
    CopyTextUnits(view, text);
    text[view.length] = 0;
    return true;
}

void AppendLine(char16_t* out, size_t capacity, int32_t* lines, const char16_t* label,
                const char16_t* text) {
    if (*lines > 0) AppendBounded(out, capacity, u"\r\n");
    AppendBounded(out, capacity, label);
    AppendRevealedOneLine(out, capacity, text, kFactChars);
    ++*lines;
}

} // namespace

bool CellTextIsCut(int textWidth, int columnWidth, int dpi) {
    if (textWidth <= 0) return false;
    const int margins = 12 * (dpi > 0 ? dpi : 96) / 96;
    return textWidth + margins > columnWidth;
}

int32_t ListTipFacts(Recording* app, int item, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    out[0] = 0;
    LockGuard guard(&app->rowsLock);
    if (item < 0 || item >= app->shownCount) return 0;
    const int32_t index = app->shownRows[item];
    if (StoredFacts(app, index).layout != kFactsLayoutProcess) return 0;
    int32_t lines = 0;
    char16_t text[kFactChars];
    char16_t status[kFactChars];
    if (KnownFact(app, index, kFactSignature, text)) {
        AppendLine(out, capacity, &lines, u"Signer: ", text);
        // A signer's name alone would vouch for an expired or broken signature.
        if (KnownFact(app, index, kFactSignatureStatus, status) &&
            !TextEquals(status, u"Valid")) {
            AppendBounded(out, capacity, u" (");
            AppendRevealedOneLine(out, capacity, status, kFactChars);
            AppendBounded(out, capacity, u")");
        }
    } else if (KnownFact(app, index, kFactSigned, text) && TextEquals(text, u"false")) {
        AppendLine(out, capacity, &lines, u"Signer: ", u"none, not signed");
    }
    if (KnownFact(app, index, kFactOriginalFileName, text)) {
        AppendLine(out, capacity, &lines, u"Original file name: ", text);
    }
    return lines;
}

void ComposeCellTip(const char16_t* cellText, bool cut, const char16_t* factLines, char16_t* out,
                    size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    if (cut && cellText != nullptr) CopyBounded(out, capacity, cellText);
    if (factLines == nullptr || factLines[0] == 0) return;
    if (out[0] != 0) AppendBounded(out, capacity, u"\r\n");
    AppendBounded(out, capacity, factLines);
}

} // namespace olv
