#include "views/cell_tip.h"

namespace olv {

bool CellTextIsCut(int textWidth, int columnWidth, int dpi) {
    if (textWidth <= 0) return false;
    const int margins = 12 * (dpi > 0 ? dpi : 96) / 96;
    return textWidth + margins > columnWidth;
}

} // namespace olv
