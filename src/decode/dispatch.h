// Which decoder takes the events of which provider.
#pragma once

#include "decode/decode.h"

namespace olv {

// A decoder that keeps a row sets *kind to the row's kind (it made the row through SetRowKind), or
// to kRowKindUnknown for a row it did not make now (a held row released by its completion).
using EventDecoder = bool (*)(TrackingState* ts, const EventRecord* event, EventRow* row,
                              int64_t t, RowKind* kind);

// The decoder for events of this provider; null for a provider the program does not decode.
EventDecoder DecoderForProvider(const Guid& provider);

} // namespace olv
