// The session buffer figures. docs/trace-capture.md gives the reasoning and the memory they take.
#include "capture/trace_buffers.h"

namespace olv {

namespace {

constexpr uint32_t kKernelBufferKb = 256;
constexpr uint32_t kKernelFewestMaximum = 256; // 64 MB, taken only as a burst needs it
constexpr uint32_t kKernelMostMaximum = 1024;  // 256 MB on the largest machines
constexpr uint32_t kKernelRoomAboveMinimum = 64;
constexpr uint32_t kDnsBufferKb = 128;
constexpr uint32_t kDnsFewestMaximum = 32;
constexpr uint32_t kDnsMostMaximum = 128;
constexpr uint32_t kDnsRoomAboveMinimum = 16;
constexpr uint32_t kFewestMinimum = 4;
constexpr uint32_t kMostProcessors = 4096; // 64 groups of 64: keeps the figures far from overflow

uint32_t Clamp(uint32_t value, uint32_t low, uint32_t high) {
    return value < low ? low : value > high ? high : value;
}

} // namespace

TraceBufferPlan PlanTraceBuffers(uint32_t processors, TraceSessionLoad load) {
    const uint32_t counted = Clamp(processors, 1, kMostProcessors);
    TraceBufferPlan plan{};
    // Two per processor is also what Windows raises a smaller minimum to.
    plan.minimumBuffers = Clamp(2 * counted, kFewestMinimum, 2 * kMostProcessors);
    uint32_t maximum = 0;
    if (load == kMachineWideLoad) {
        plan.bufferSizeKb = kKernelBufferKb;
        maximum = Clamp(4 * plan.minimumBuffers, kKernelFewestMaximum, kKernelMostMaximum);
        if (maximum < plan.minimumBuffers + kKernelRoomAboveMinimum)
            maximum = plan.minimumBuffers + kKernelRoomAboveMinimum;
    } else {
        plan.bufferSizeKb = kDnsBufferKb;
        maximum = Clamp(2 * plan.minimumBuffers, kDnsFewestMaximum, kDnsMostMaximum);
        if (maximum < plan.minimumBuffers + kDnsRoomAboveMinimum)
            maximum = plan.minimumBuffers + kDnsRoomAboveMinimum;
    }
    plan.maximumBuffers = maximum;
    static_assert(kKernelBufferKb > kLargestEventKb && kDnsBufferKb > kLargestEventKb);
    return plan;
}

} // namespace olv
