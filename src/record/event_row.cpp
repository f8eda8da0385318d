#include "record/event_row.h"

#include <cstring>

#include "base/text.h"

namespace olv {

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
