// Placeholder until the real implementation lands; delete this file when it does.
#include "platform/tracedata.h"

namespace olv {

bool AnsiToUtf16(const char*, char16_t*, size_t) { return false; }

} // namespace olv
