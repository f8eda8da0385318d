// A small queue ring for tests that prove nothing by the ring's size: the rings made while this
// record lives have `bytes` bytes (a power of two, at least kSmallestQueueBytes). The full ring's
// tens of megabytes would otherwise be much of such a test's time under a sanitizer. Its size is
// app->queueMask + 1.
#pragma once

#include <cstdint>

#include "capture/event_queue.h"

namespace olv {

struct SmallQueueRing {
    explicit SmallQueueRing(uint32_t bytes) { SetEventQueueBytes(bytes); }
    ~SmallQueueRing() { SetEventQueueBytes(0); }
    SmallQueueRing(const SmallQueueRing&) = delete;
    SmallQueueRing& operator=(const SmallQueueRing&) = delete;
};

} // namespace olv
