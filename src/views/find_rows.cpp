#include "views/find_rows.h"

#include "base/format.h"
#include "base/text.h"
#include "platform/ui.h"
#include "record/recording.h"

namespace olv {

namespace {

// Whether a field of chars characters (terminated earlier or not) holds needle (n characters,
// already folded when !matchCase).
bool FieldHolds(const char16_t* field, size_t chars, const char16_t* needle, size_t n,
                bool matchCase) {
    const size_t length = FieldTextLength(field, chars);
    if (n == 0 || n > length) return false;
    for (size_t at = 0; at + n <= length; ++at) {
        size_t j = 0;
        if (matchCase) {
            while (j < n && field[at + j] == needle[j])
                ++j;
        } else {
            while (j < n && FoldAscii(field[at + j]) == needle[j])
                ++j;
        }
        if (j == n) return true;
    }
    return false;
}

bool RowHolds(const EventRow& row, const char16_t* needle, size_t n, bool matchCase) {
    return FieldHolds(row.operation, kOperationChars, needle, n, matchCase) ||
           FieldHolds(row.path, kPathChars, needle, n, matchCase) ||
           FieldHolds(row.detail, kDetailChars, needle, n, matchCase) ||
           FieldHolds(row.result, kResultChars, needle, n, matchCase);
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
        if (RowHolds(app->rows[app->shownRows[item]], needle, n, matchCase)) {
            if (wrapped != nullptr && from >= 0) *wrapped = forward ? item <= from : item >= from;
            return item;
        }
        item += forward ? 1 : -1;
    }
    return -1;
}

FindOutcome FindNextRow(Recording* app, const char16_t* text, bool matchCase, bool upward,
                        bool reverse, char16_t* message, size_t capacity) {
    if (message != nullptr && capacity > 0) message[0] = 0;
    if (text == nullptr || text[0] == 0) {
        CopyBounded(message, capacity, u"Type the text to find.");
        return kFindNoText;
    }
    const bool forward = upward == reverse;
    bool wrapped = false;
    const int item = FindShownRow(app, text, matchCase, forward,
                                  UiListFocusedItem(app->port.eventList), &wrapped);
    if (item < 0) {
        FormatText(message, capacity, u"No shown row contains \"%.200s\".", text);
        return kFindNotFound;
    }
    UiListSelectOnly(app->port.eventList, item);
    if (!wrapped) return kFindFound;
    CopyBounded(message, capacity,
                forward ? u"Passed the last row: continued from the first."
                        : u"Passed the first row: continued from the last.");
    return kFindWrapped;
}

} // namespace olv
