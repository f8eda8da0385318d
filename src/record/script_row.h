// How a "Ran script block" row lays out what its block is: the text (as far as the row holds it)
// in the path, and in the detail its first line, its size, then the script's file after
// kScriptPathMarker and the block's id after kScriptBlockMarker, each only when known.
#pragma once

#include <cstddef>

#include "base/text.h"

namespace olv {

inline constexpr const char16_t* kScriptPathMarker = u" \u2014 from ";
inline constexpr const char16_t* kScriptBlockMarker = u" \u2014 block ";

// The script file named in a script block row's detail: its start and length (0 when none). The
// last path marker is taken, so a first line holding the marker's text is passed over.
inline size_t ScriptPathOfDetail(const char16_t* detail, const char16_t** start) {
    *start = detail;
    ptrdiff_t at = -1;
    for (ptrdiff_t found = FindText(detail, kScriptPathMarker); found >= 0;
         found = FindText(detail, kScriptPathMarker, static_cast<size_t>(found) + 1)) {
        at = found;
    }
    if (at < 0) return 0;
    const char16_t* path = detail + at + TextLength(kScriptPathMarker);
    const ptrdiff_t end = FindText(path, kScriptBlockMarker);
    *start = path;
    return end >= 0 ? static_cast<size_t>(end) : TextLength(path);
}

} // namespace olv
