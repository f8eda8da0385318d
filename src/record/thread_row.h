// How a "Created thread in another process" row lays out the thread: the process the thread runs
// in by its image in the path; in the detail its id ("Target PID: 1234 / Thread ID: 88"), then
// the start address in hex after kThreadStartMarker, then the module that holds it after
// kThreadModuleMarker and the address's offset in it after kThreadOffsetMarker ("+0x1f2a0)"), or
// kThreadNoModule when no image known holds it. The row's keyObject keeps the start address as a
// number.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/text.h"

namespace olv {

inline constexpr const char16_t* kThreadTargetMarker = u"Target PID: ";
inline constexpr const char16_t* kThreadStartMarker = u" / Start address: ";
inline constexpr const char16_t* kThreadModuleMarker = u" in ";
inline constexpr const char16_t* kThreadOffsetMarker = u" (+0x";
inline constexpr const char16_t* kThreadNoModule = u" (no known module)";

// The start address's text ("0x7ffb1c2d0000") in a thread row's detail: its start and length (0
// when none).
inline size_t ThreadStartOfDetail(const char16_t* detail, const char16_t** start) {
    *start = detail;
    const ptrdiff_t at = FindText(detail, kThreadStartMarker);
    if (at < 0) return 0;
    const char16_t* p = detail + at + TextLength(kThreadStartMarker);
    if (p[0] != u'0' || p[1] != u'x') return 0;
    size_t n = 2;
    while ((p[n] >= u'0' && p[n] <= u'9') || (p[n] >= u'a' && p[n] <= u'f'))
        ++n;
    *start = p;
    return n;
}

// The module's path in a thread row's detail: its start and length (0 when none is known).
inline size_t ThreadModuleOfDetail(const char16_t* detail, const char16_t** start) {
    const char16_t* address = nullptr;
    const size_t n = ThreadStartOfDetail(detail, &address);
    *start = detail;
    if (n == 0) return 0;
    const char16_t* p = address + n;
    const size_t marker = TextLength(kThreadModuleMarker);
    for (size_t i = 0; i < marker; ++i) {
        if (p[i] != kThreadModuleMarker[i]) return 0;
    }
    *start = p + marker;
    // The module ends at the last offset marker: a path may hold the marker's text, the offset
    // cannot.
    ptrdiff_t end = -1;
    for (ptrdiff_t found = FindText(*start, kThreadOffsetMarker); found >= 0;
         found = FindText(*start, kThreadOffsetMarker, static_cast<size_t>(found) + 1)) {
        end = found;
    }
    return end >= 0 ? static_cast<size_t>(end) : TextLength(*start);
}

// The start address's offset in its module; false when the detail names no module or offset (a
// module path cut short by the detail's room).
inline bool ThreadOffsetOfDetail(const char16_t* detail, uint64_t* offset) {
    *offset = 0;
    const char16_t* module = nullptr;
    const size_t n = ThreadModuleOfDetail(detail, &module);
    if (n == 0 || !TextStartsWith(module + n, kThreadOffsetMarker)) return false;
    const char16_t* p = module + n + TextLength(kThreadOffsetMarker);
    int digits = 0;
    for (; *p != u')'; ++p, ++digits) {
        const int v = *p >= u'0' && *p <= u'9' ? *p - u'0' : *p >= u'a' && *p <= u'f' ? *p - u'a' + 10
                                                                                     : -1;
        if (v < 0 || digits == 16) return false;
        *offset = *offset << 4 | static_cast<uint64_t>(v);
    }
    return digits > 0 && p[1] == 0;
}

// The id of the process the thread runs in; 0 when the detail names none.
inline uint32_t ThreadTargetOfDetail(const char16_t* detail) {
    if (!TextStartsWith(detail, kThreadTargetMarker)) return 0;
    uint32_t pid = 0;
    for (const char16_t* p = detail + TextLength(kThreadTargetMarker); *p >= u'0' && *p <= u'9';
         ++p) {
        if (pid > 0xFFFFFFFFu / 10 - 1) return 0;
        pid = pid * 10 + static_cast<uint32_t>(*p - u'0');
    }
    return pid;
}

} // namespace olv
