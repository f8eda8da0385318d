// 8-bit text in the system's ANSI code page to UTF-16.
#include "platform/tracedata.h"

#include <climits>
#include <windows.h>

namespace olv {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

bool AnsiToUtf16(const char* src, char16_t* dst, size_t dstCapacity) {
    if (dst == nullptr || dstCapacity == 0) return false;
    dst[0] = 0;
    if (src == nullptr) return true;
    int capacity = dstCapacity > INT_MAX ? INT_MAX : static_cast<int>(dstCapacity);
    int written =
        MultiByteToWideChar(CP_ACP, 0, src, -1, reinterpret_cast<wchar_t*>(dst), capacity);
    if (written <= 0) {
        dst[0] = 0;
        return false;
    }
    return true;
}

} // namespace olv
