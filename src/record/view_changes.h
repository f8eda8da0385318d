// ViewChanges: what the core changed about the event list and the status bar since a front end
// last drew them. The core only records; a window draws the changes after each operation and
// timer tick (app/view_changes.h), reading the list's state as it is then, and a front end
// without a window leaves them. The marks accumulate: one drawing covers every change since the
// last, and marking again what is already marked costs nothing. Window thread only.
#pragma once

#include <cstdint>

namespace olv {

// How much of the event list is painted again; a larger value includes the smaller.
enum ListRepaint : uint8_t {
    kRepaintNone = 0,
    kRepaintItems = 1, // the items, over their background: rows changed in place or arrived
    kRepaintAll = 2,   // the background too: the shown rows were chosen anew
};

// Which way a shown item is to be selected (and brought into view).
enum ListSelect : uint8_t {
    kSelectNone = 0,
    kSelectFocused = 1, // the item alone is selected and focused; the focus leaves every other
    kSelectOnly = 2,    // the item alone is selected and focused; a found row
};

struct ViewChanges {
    uint8_t countChanged;     // the list's item count is to become Recording::shownCount
    uint8_t repaint;          // ListRepaint: the most any change asked for
    uint8_t statusChanged;    // the status bar's text is to be composed again
    uint8_t sortArrowChanged; // the header's arrow is to show Recording::view's order
    // Rows arrived at the end of a list in recording order while auto-scroll was on: the list
    // follows them when its user was at its end before they came (DecideFollow).
    uint8_t followArrivals;
    uint8_t select;     // ListSelect; the later request wins
    int32_t selectItem; // the shown item the request names
};

// The marks the core sets; each only adds to what is marked.
inline void MarkCountChanged(ViewChanges* c, ListRepaint repaint) {
    c->countChanged = 1;
    if (repaint > c->repaint) c->repaint = repaint;
}
inline void MarkRepaint(ViewChanges* c, ListRepaint repaint) {
    if (repaint > c->repaint) c->repaint = repaint;
}
inline void MarkSelect(ViewChanges* c, ListSelect how, int32_t item) {
    c->select = static_cast<uint8_t>(item >= 0 ? how : kSelectNone);
    c->selectItem = item >= 0 ? item : -1;
}
inline bool AnyViewChange(const ViewChanges& c) {
    return c.countChanged != 0 || c.repaint != kRepaintNone || c.statusChanged != 0 ||
           c.sortArrowChanged != 0 || c.followArrivals != 0 || c.select != kSelectNone;
}

} // namespace olv
