// Placeholder until the real implementation lands; delete this file when it does.
#include "decode/decode.h"

namespace olv {

bool DecodeProcessEvent(TrackingState*, const EventRecord*, EventRow*, int64_t) { return false; }
bool DecodeImageEvent(TrackingState*, const EventRecord*, EventRow*, int64_t) { return false; }

} // namespace olv
