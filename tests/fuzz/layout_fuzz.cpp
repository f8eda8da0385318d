// libFuzzer target for the event layout: random schema blocks and payloads. Input: one byte
// whose low bit picks 4- or 8-byte pointers, two bytes of schema block length (little-endian),
// the block, then the payload. The walk must stay inside the payload and give spans that follow
// each other from offset 0.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/event_layout.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "layout fuzz: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint32_t pointerBytes = (data[0] & 1) != 0 ? 4 : 8;
    size_t blockBytes = data[1] | (size_t{data[2]} << 8);
    if (blockBytes > size - 3) blockBytes = size - 3;
    // Exact-size copies: a read past either trips the address sanitizer.
    std::vector<uint8_t> block(data + 3, data + 3 + blockBytes);
    std::vector<uint8_t> payload(data + 3 + blockBytes, data + size);
    if (payload.size() > 0xFFFF) return 0;

    static olv::EventLayout layout;
    if (olv::BuildEventLayout(block.data(), block.size(), &layout) != olv::LayoutBuild::kBuilt) {
        if (layout.count != 0) Fail("a refused block left properties");
        return 0;
    }
    if (layout.count > olv::kLayoutMaxProperties) Fail("more properties than a layout holds");

    olv::PropertySpan spans[olv::kLayoutMaxProperties];
    std::memset(spans, 0xEE, sizeof spans);
    const auto payloadBytes = static_cast<uint32_t>(payload.size());
    const olv::WalkResult walk =
        olv::WalkEventPayload(layout, payload.empty() ? nullptr : payload.data(), payloadBytes,
                              pointerBytes, spans, olv::kLayoutMaxProperties);
    if (walk.located > layout.count) Fail("more spans than properties");
    if (walk.status == olv::WalkStatus::kComplete && walk.located != layout.count) {
        Fail("a complete walk left properties out");
    }
    uint64_t at = 0;
    for (uint32_t i = 0; i < walk.located; ++i) {
        if (spans[i].offset != at) Fail("spans do not follow each other");
        at += spans[i].size;
        if (at > payloadBytes) Fail("a span past the payload");
    }
    // Every located property is found again by its name (the first of that name).
    for (uint32_t i = 0; i < layout.count; ++i) {
        const int found = olv::FindLayoutProperty(layout, layout.props[i].name);
        if (found < 0 || static_cast<uint32_t>(found) > i) Fail("a property not found by name");
    }
    return 0;
}
