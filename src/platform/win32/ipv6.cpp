// IPv6 address text from the Windows socket library.
#include "platform/tracedata.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace olv {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

bool FormatIpv6Address(const uint8_t address[16], char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    if (address == nullptr) return false;
    IN6_ADDR in6;
    for (int i = 0; i < 16; ++i)
        in6.s6_addr[i] = address[i];
    wchar_t* text = reinterpret_cast<wchar_t*>(out);
    if (InetNtopW(AF_INET6, &in6, text, capacity) == nullptr) {
        out[0] = 0;
        return false;
    }
    return true;
}

} // namespace olv
