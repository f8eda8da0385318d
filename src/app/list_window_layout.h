// Where the list window (a line of text above a list, e.g. the Sigma Rules window) puts its two
// controls: a pure function of its client size, tested natively.
#pragma once

#include "app/window_layout.h"

namespace olv {

struct ListWindowLayout {
    ControlRect headline;
    ControlRect list;
};

// For a client area of width x height pixels at dpi: the headline 8 pixels (96-DPI) in from the
// left, top and right, three lines (48 pixels) high; the list below it, 6 pixels lower, to the
// client's left, right and bottom edges. No size is negative, however small the client.
void ComputeListWindowLayout(int width, int height, int dpi, ListWindowLayout* out);

} // namespace olv
