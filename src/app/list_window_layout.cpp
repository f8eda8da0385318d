#include "app/list_window_layout.h"

namespace olv {

namespace {

constexpr int kMargin = 8;
constexpr int kDefaultHeadline = 32; // two lines
constexpr int kMostHeadline = 96;    // six lines
constexpr int kGap = 6;
constexpr int kRowHeight = 22;
constexpr int kLabelWidth = 56;
constexpr int kChoiceWidth = 220;
constexpr int kChoiceDropHeight = 160;
constexpr int kLabelDrop = 4; // a label's text sits level with the box's text

int AtLeastZero(int value) {
    return value < 0 ? 0 : value;
}

} // namespace

int ListWindowHeadlineWidth(int width, int dpi) {
    return AtLeastZero(width - 2 * ScaleByDpi(kMargin, dpi));
}

void ComputeListWindowLayout(int width, int height, int dpi, int headlineHeight,
                             ListWindowLayout* out) {
    if (out == nullptr) return;
    const int margin = ScaleByDpi(kMargin, dpi);
    const int gap = ScaleByDpi(kGap, dpi);
    const int most = ScaleByDpi(kMostHeadline, dpi);
    int headline = headlineHeight > 0 ? headlineHeight : ScaleByDpi(kDefaultHeadline, dpi);
    if (headline > most) headline = most;
    out->headline = ControlRect{margin, margin, ListWindowHeadlineWidth(width, dpi), headline};

    const int rowTop = margin + headline + gap;
    const int row = ScaleByDpi(kRowHeight, dpi);
    const int label = ScaleByDpi(kLabelWidth, dpi);
    const int choice = ScaleByDpi(kChoiceWidth, dpi);
    const int labelTop = rowTop + ScaleByDpi(kLabelDrop, dpi);
    const int labelHeight = row - ScaleByDpi(kLabelDrop, dpi);
    // From the right: the choice box, its label; the search box takes the rest.
    const int choiceX = AtLeastZero(width - margin - choice);
    const int choiceLabelX = AtLeastZero(choiceX - gap - label);
    out->choice = ControlRect{choiceX, rowTop, AtLeastZero(width - margin - choiceX),
                              ScaleByDpi(kChoiceDropHeight, dpi)};
    out->choiceLabel = ControlRect{choiceLabelX, labelTop, label, labelHeight};
    out->searchLabel = ControlRect{margin, labelTop, label, labelHeight};
    const int searchX = margin + label;
    out->search = ControlRect{searchX, rowTop, AtLeastZero(choiceLabelX - gap - searchX), row};

    const int listTop = rowTop + row + gap;
    out->list = ControlRect{0, listTop, AtLeastZero(width), AtLeastZero(height - listTop)};
}

} // namespace olv
