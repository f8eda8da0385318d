// Where the list window (a headline, a search box and a choice above a list: the Sigma Rules
// window) puts its controls: a pure function of its client size and of the height its headline
// needs at that width, tested natively.
#pragma once

#include "app/window_layout.h"

namespace olv {

struct ListWindowLayout {
    ControlRect headline;
    ControlRect searchLabel; // "&Search:"
    ControlRect search;
    ControlRect choiceLabel; // "S&how:"
    ControlRect choice;      // a drop-down list; its height includes the list it drops
    ControlRect list;
};

// The headline's width at a client width (what the shell measures its text against).
int ListWindowHeadlineWidth(int width, int dpi);

// For a client area of width x height pixels at dpi, whose headline text needs headlineHeight
// pixels at ListWindowHeadlineWidth (0 or less: two lines): the headline 8 pixels (96-DPI) in
// from the left, top and right, as high as its text needs but at most six lines (96 pixels); 6
// pixels below it a row of the search label and box (the box takes what the choice leaves) and
// the choice label and box at the right; the list 6 pixels below that row, to the client's left,
// right and bottom edges. No size is negative, however small the client.
void ComputeListWindowLayout(int width, int height, int dpi, int headlineHeight,
                             ListWindowLayout* out);

} // namespace olv
