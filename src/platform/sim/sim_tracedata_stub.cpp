// Placeholder until the real implementation lands; delete this file when it does.
#include "platform/tracedata.h"

namespace olv {

uint32_t TracePropertySize(const EventRecord*, const char16_t*, uint32_t*) { return 0; }
uint32_t TracePropertyRead(const EventRecord*, const char16_t*, void*, uint32_t) { return 0; }

} // namespace olv
