// Placeholder until the real implementation lands; delete this file when it does.
#include "tracking/tracking_state.h"

namespace olv {

bool ComposeKeyPath(const char16_t*, const char16_t*, char16_t*, size_t) { return false; }

} // namespace olv
