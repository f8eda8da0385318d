// The product's name: the caption of every message box, the tool a recording names, the title of
// the main window.
#pragma once

namespace olv {

inline constexpr char16_t kProductName[] = u"Olvetta";

} // namespace olv
