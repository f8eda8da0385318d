#include "app/list_window_layout.h"

namespace olv {

namespace {

constexpr int kMargin = 8;
constexpr int kHeadlineHeight = 48;
constexpr int kGap = 6;

int AtLeastZero(int value) {
    return value < 0 ? 0 : value;
}

} // namespace

void ComputeListWindowLayout(int width, int height, int dpi, ListWindowLayout* out) {
    if (out == nullptr) return;
    const int margin = ScaleByDpi(kMargin, dpi);
    const int headlineHeight = ScaleByDpi(kHeadlineHeight, dpi);
    const int listTop = margin + headlineHeight + ScaleByDpi(kGap, dpi);
    out->headline = ControlRect{margin, margin, AtLeastZero(width - 2 * margin), headlineHeight};
    out->list = ControlRect{0, listTop, AtLeastZero(width), AtLeastZero(height - listTop)};
}

} // namespace olv
