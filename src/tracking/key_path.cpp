// Row paths of registry keys from a key's known name and an event's relative name.
#include "base/text.h"
#include "tracking/tracking_state.h"

namespace olv {

bool ComposeKeyPath(const char16_t* base, const char16_t* relative, char16_t* out,
                    size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    if (relative != nullptr && relative[0] == u'\\') {
        CopyBounded(out, capacity, relative);
        return true;
    }
    if (TextIsEmpty(base)) {
        if (TextIsEmpty(relative)) {
            CopyAscii(out, capacity, "(key not identified)");
        } else {
            CopyAscii(out, capacity, "...\\");
            AppendBounded(out, capacity, relative);
        }
        return false;
    }
    // The base is copied once and its length kept: key paths are composed on the trace thread for
    // every registry row.
    size_t used = CopyBounded(out, capacity, base);
    if (!TextIsEmpty(relative)) {
        if ((used == 0 || out[used - 1] != u'\\') && used + 1 < capacity) {
            out[used++] = u'\\';
            out[used] = 0;
        }
        // Written where the base ends rather than appended: appending would first look for the
        // end just written.
        CopyBounded(out + used, capacity - used, relative);
    }
    return true;
}

} // namespace olv
