// A small queue ring for tests that prove nothing by the ring's size: the rings made while this
// record lives have `slots` slots (a power of two). The full ring's hundreds of megabytes would
// otherwise be most of such a test's time under a sanitizer. Its size is app->queueMask + 1.
#pragma once

#include <cstdint>

#include "capture/event_queue.h"

namespace olv {

struct SmallQueueRing {
    explicit SmallQueueRing(uint32_t slots) { SetEventQueueSlots(slots); }
    ~SmallQueueRing() { SetEventQueueSlots(0); }
    SmallQueueRing(const SmallQueueRing&) = delete;
    SmallQueueRing& operator=(const SmallQueueRing&) = delete;
};

} // namespace olv
