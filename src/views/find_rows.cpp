#include "views/find_rows.h"

#include <initializer_list>

#include "base/format.h"
#include "base/text.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "record/stored_rows.h"

namespace olv {

namespace {

// Whether a stored text holds needle (n units, already folded when !matchCase).
bool TextHolds(TextView text, const char16_t* needle, size_t n, bool matchCase) {
    const size_t length = text.length;
    if (n == 0 || n > length) return false;
    for (size_t at = 0; at + n <= length; ++at) {
        size_t j = 0;
        if (matchCase) {
            while (j < n && TextUnitAt(text, static_cast<uint32_t>(at + j)) == needle[j])
                ++j;
        } else {
            while (j < n && FoldAscii(TextUnitAt(text, static_cast<uint32_t>(at + j))) == needle[j])
                ++j;
        }
        if (j == n) return true;
    }
    return false;
}

bool RowHolds(const Recording* app, int32_t index, const char16_t* needle, size_t n,
              bool matchCase) {
    for (RowText which : {kTextOperation, kTextPath, kTextDetail, kTextResult}) {
        if (TextHolds(StoredText(app, index, which), needle, n, matchCase)) return true;
    }
    return false;
}

} // namespace

int FindShownRow(Recording* app, const char16_t* text, bool matchCase, bool forward, int from,
                 bool* wrapped) {
    if (wrapped != nullptr) *wrapped = false;
    if (text == nullptr) return -1;
    char16_t needle[kFindTextChars];
    size_t n = 0;
    for (; n < kFindTextChars - 1 && text[n] != 0; ++n)
        needle[n] = matchCase ? text[n] : FoldAscii(text[n]);
    needle[n] = 0;
    if (n == 0) return -1;

    LockGuard guard(&app->rowsLock);
    const int count = app->shownCount;
    if (count <= 0) return -1;
    if (from < -1 || from >= count) from = -1;
    // The start: the item after (before) from; with no from, the first (last) item.
    int item = from < 0 ? (forward ? 0 : count - 1) : (forward ? from + 1 : from - 1);
    for (int step = 0; step < count; ++step) {
        if (item >= count) {
            item = 0;
        } else if (item < 0) {
            item = count - 1;
        }
        if (RowHolds(app, app->shownRows[item], needle, n, matchCase)) {
            if (wrapped != nullptr && from >= 0) *wrapped = forward ? item <= from : item >= from;
            return item;
        }
        item += forward ? 1 : -1;
    }
    return -1;
}

FindOutcome FindNextRow(Recording* app, const char16_t* text, bool matchCase, bool upward,
                        bool reverse, int focusedItem, char16_t* message, size_t capacity) {
    if (message != nullptr && capacity > 0) message[0] = 0;
    if (text == nullptr || text[0] == 0) {
        CopyBounded(message, capacity, u"Type the text to find.");
        return kFindNoText;
    }
    const bool forward = upward == reverse;
    bool wrapped = false;
    const int item = FindShownRow(app, text, matchCase, forward, focusedItem, &wrapped);
    if (item < 0) {
        FormatText(message, capacity, u"No shown row contains \"%.200s\".", text);
        return kFindNotFound;
    }
    MarkSelect(&app->changes, kSelectOnly, item);
    if (!wrapped) return kFindFound;
    CopyBounded(message, capacity,
                forward ? u"Passed the last row: continued from the first."
                        : u"Passed the first row: continued from the last.");
    return kFindWrapped;
}

} // namespace olv
