// How many trace buffers of what size each session asks for, from the machine's processor count.
#pragma once

#include <cstdint>

namespace olv {

enum TraceSessionLoad : int {
    // The kernel session: file I/O, registry and image events of every process, and a start-up
    // rundown of every process, image and open registry key in one burst.
    kMachineWideLoad,
    // The DNS session: a few small events per lookup.
    kLightLoad,
};

struct TraceBufferPlan {
    uint32_t bufferSizeKb;
    uint32_t minimumBuffers;
    uint32_t maximumBuffers;
};

// An event is at most 64 KB (its header's size field is 16 bits) and a buffer carries a header
// of its own, so a buffer must be larger than 64 KB to hold the largest event.
constexpr uint32_t kLargestEventKb = 64;

// The figures for a session of the given load on a machine with `processors` logical processors
// (0 counts as 1): buffers that hold the largest event, at least two per processor (Windows
// keeps a buffer per processor in use and one being delivered), and for the kernel session a
// maximum in the hundreds, so that a burst is held instead of lost while the consumer catches up.
TraceBufferPlan PlanTraceBuffers(uint32_t processors, TraceSessionLoad load);

} // namespace olv
