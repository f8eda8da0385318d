#include "platform/process_token.h"

namespace olv {

const char* ProcessTokenStatusName(ProcessTokenStatus status) {
    switch (status) {
    case kTokenRead:
        return "read";
    case kTokenProcessGone:
        return "process gone";
    case kTokenAccessDenied:
        return "access denied";
    case kTokenReadFailed:
        return "read failed";
    case kTokenNotAvailable:
        return "not available";
    }
    return "unknown";
}

} // namespace olv
