// Placeholder until the real implementation lands; delete this file when it does.
#include "decode/decode.h"

namespace olv {

bool DecodeFileIoEvent(TrackingState*, const EventRecord*, EventRow*, int64_t) { return false; }
bool DecodeRegistryEvent(TrackingState*, const EventRecord*, EventRow*, int64_t) { return false; }
bool DecodeTcpIpEvent(TrackingState*, const EventRecord*, EventRow*, int64_t) { return false; }
bool DecodeUdpIpEvent(TrackingState*, const EventRecord*, EventRow*, int64_t) { return false; }
bool DecodeDnsEvent(TrackingState*, const EventRecord*, EventRow*, int64_t) { return false; }
const char16_t* DnsTypeName(uint32_t) { return nullptr; }
void FormatDnsResults(const char16_t*, char16_t*, size_t) {}

} // namespace olv
