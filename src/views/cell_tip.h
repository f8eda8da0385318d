// The event list's tooltip: the whole text of a cell its column cuts, and, for a process start,
// who signed its image and the file name its version resource gives (a renamed copy of a system
// program shows its original name here).
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

struct Recording;

// The list draws a cell's text with a margin on each side (6 pixels at 96 DPI); a text wider than
// the column less the margins is cut. Widths in pixels at dpi.
bool CellTextIsCut(int textWidth, int columnWidth, int dpi);

// The facts lines of list item `item` (a shown row): "Signer: NAME" (with the signature's status
// when it is not Valid; "Signer: none, not signed" for a file known to be unsigned) and
// "Original file name: NAME", each on its own line, revealed, only when known and not empty.
// Only process starts have them. Takes rowsLock. Returns the lines written (0: out is empty).
int32_t ListTipFacts(Recording* app, int item, char16_t* out, size_t capacity);

// The tooltip: the cell's text when it is cut, then the facts lines (CR LF between). Empty when
// there is neither, and the list then shows no tooltip.
void ComposeCellTip(const char16_t* cellText, bool cut, const char16_t* factLines, char16_t* out,
                    size_t capacity);

} // namespace olv
