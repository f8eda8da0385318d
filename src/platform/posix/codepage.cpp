// The native build has no ANSI code page of its own: it reads 8-bit text as code page 1252.
#include "base/text.h"
#include "platform/tracedata.h"

namespace olv {

bool AnsiToUtf16(const char* src, char16_t* dst, size_t dstCapacity) {
    return Cp1252ToUtf16(src, dst, dstCapacity);
}

} // namespace olv
