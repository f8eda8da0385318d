// Placeholder until the real implementation lands; delete this file when it does.
#include "views/view_texts.h"

namespace olv {

void ComposeCellText(const EventRow*, int, char16_t*, size_t) {}
bool ListDisplayText(AppState*, int, int, char16_t*, size_t) { return false; }
bool SeverityColour(uint32_t, uint32_t*) { return false; }
void ContextMenuPath(AppState*, int, char16_t*, size_t) {}
void ExplorerParameter(const char16_t*, bool, char16_t*, size_t) {}
void ComposeStatusText(AppState*, char16_t*, size_t) {}
void UpdateStatusBar(AppState*) {}

} // namespace olv
