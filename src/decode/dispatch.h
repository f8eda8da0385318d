// Which decoder takes the events of which provider.
#pragma once

#include "decode/decode.h"

namespace olv {

using EventDecoder = bool (*)(TrackingState* ts, const EventRecord* event, EventRow* row,
                              int64_t t);

// The decoder for events of this provider; null for a provider the program does not decode.
EventDecoder DecoderForProvider(const Guid& provider);

} // namespace olv
