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

#include "platform/process_directory.h"

namespace olv {

const char* ProcessDirectoryStatusName(ProcessDirectoryStatus status) {
    switch (status) {
    case kDirectoryRead:
        return "read";
    case kDirectoryProcessGone:
        return "process gone";
    case kDirectoryAccessDenied:
        return "access denied";
    case kDirectoryTooLong:
        return "too long";
    case kDirectoryReadFailed:
        return "read failed";
    case kDirectoryNotAvailable:
        return "not available";
    }
    return "unknown";
}

} // namespace olv
