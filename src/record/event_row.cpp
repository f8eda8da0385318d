#include "record/event_row.h"

#include <cstring>

#include "base/text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
// The sanitizers see only ordinary copies: the streaming path is for optimised builds.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define OLV_STREAMING_STORES 1
#endif
#endif

namespace olv {

void CopyRowAround(EventRow* to, const EventRow* from) {
#if defined(OLV_STREAMING_STORES)
    // Rows are 8-byte aligned and 3256 bytes long: at most one 8-byte piece before the first
    // 16-byte boundary, 16-byte pieces, and what is left in 8-byte pieces.
    auto* out = reinterpret_cast<unsigned char*>(to);
    const auto* in = reinterpret_cast<const unsigned char*>(from);
    size_t done = 0;
    auto put8 = [&](size_t at) {
        long long piece;
        std::memcpy(&piece, in + at, sizeof piece);
        _mm_stream_si64(reinterpret_cast<long long*>(out + at), piece);
    };
    if ((reinterpret_cast<uintptr_t>(out) & 15) != 0) {
        put8(0);
        done = 8;
    }
    for (; done + 16 <= sizeof(EventRow); done += 16) {
        const __m128i piece = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
        _mm_stream_si128(reinterpret_cast<__m128i*>(out + done), piece);
    }
    for (; done < sizeof(EventRow); done += 8)
        put8(done);
#else
    std::memcpy(static_cast<void*>(to), from, sizeof(EventRow));
#endif
}

void FinishRowCopies() {
#if defined(OLV_STREAMING_STORES)
    _mm_sfence();
#endif
}

const char16_t* CategoryLabel(uint32_t category) {
    switch (category) {
    case kCategoryFile:
        return u"File";
    case kCategoryRegistry:
        return u"Registry";
    case kCategoryNetwork:
        return u"Network";
    case kCategoryProcess:
        return u"Process";
    default:
        return u"Unknown";
    }
}

} // namespace olv
