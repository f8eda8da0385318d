// Placeholder until the real implementation lands; delete this file when it does.
#include "platform/tracedata.h"

namespace olv {

bool FormatIpv6Address(const uint8_t*, char16_t*, size_t) { return false; }

} // namespace olv
