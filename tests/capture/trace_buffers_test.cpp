// The sessions' buffer figures from the processor count.
#include <initializer_list>

#include "doctest.h"

#include "capture/trace_buffers.h"

using namespace olv;

TEST_CASE("buffer figures hold the largest event, two buffers per processor and, for the "
          "kernel session, a burst of hundreds") {
    struct Case {
        uint32_t processors;
        TraceBufferPlan kernel, dns;
    };
    const Case cases[] = {
        {0, {256, 4, 256}, {128, 4, 32}}, // unknown counts as one
        {1, {256, 4, 256}, {128, 4, 32}},
        {2, {256, 4, 256}, {128, 4, 32}},
        {8, {256, 16, 256}, {128, 16, 32}},
        {48, {256, 96, 384}, {128, 96, 128}},
        {64, {256, 128, 512}, {128, 128, 144}},
        {256, {256, 512, 1024}, {128, 512, 528}},
        {1000, {256, 2000, 2064}, {128, 2000, 2016}},
        {0xFFFFFFFFu, {256, 8192, 8256}, {128, 8192, 8208}}, // no overflow
    };
    for (const Case& c : cases) {
        CAPTURE(c.processors);
        const TraceBufferPlan k = PlanTraceBuffers(c.processors, kMachineWideLoad);
        const TraceBufferPlan d = PlanTraceBuffers(c.processors, kLightLoad);
        CHECK(k.bufferSizeKb == c.kernel.bufferSizeKb);
        CHECK(k.minimumBuffers == c.kernel.minimumBuffers);
        CHECK(k.maximumBuffers == c.kernel.maximumBuffers);
        CHECK(d.bufferSizeKb == c.dns.bufferSizeKb);
        CHECK(d.minimumBuffers == c.dns.minimumBuffers);
        CHECK(d.maximumBuffers == c.dns.maximumBuffers);
        for (const TraceBufferPlan& p : {k, d}) {
            CHECK(p.bufferSizeKb > kLargestEventKb);
            CHECK(p.maximumBuffers > p.minimumBuffers);
            if (c.processors >= 1 && c.processors <= 4096)
                CHECK(p.minimumBuffers >= 2 * c.processors);
        }
        CHECK(k.maximumBuffers >= 256);
    }
}
