// Whether a list cell is cut by its column, so that its tooltip shows the whole text.
#pragma once

namespace olv {

// The list draws a cell's text with a margin on each side (6 pixels at 96 DPI); a text wider than
// the column less the margins is cut. Widths in pixels at dpi.
bool CellTextIsCut(int textWidth, int columnWidth, int dpi);

} // namespace olv
