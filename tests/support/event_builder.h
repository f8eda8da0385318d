// Stand-in trace events for tests. SimEvent (platform/sim/sim_event.h) is the builder; this only
// gives each test its own zeroed one from the heap, since a SimEvent is too large for a stack.
#pragma once

#include <memory>

#include "platform/sim/sim_event.h"

namespace olv {

using SimEventPtr = std::unique_ptr<SimEvent>;

// A heap SimEvent, already begun with the given header.
inline SimEventPtr NewSimEvent(const Guid& provider, uint8_t opcode = 0, uint16_t eventId = 0,
                               uint32_t pid = 0, uint32_t tid = 0, int64_t timeStamp = 0) {
    SimEventPtr e = std::make_unique<SimEvent>();
    BeginSimEvent(e.get(), provider, opcode, eventId, pid, tid, timeStamp);
    return e;
}

} // namespace olv
