// Placeholder until the real implementation lands; delete this file when it does.
#include "platform/drives.h"

namespace olv {

uint32_t ListLogicalDrives(char16_t*, uint32_t) { return 0; }
bool QueryDriveDevice(const char16_t*, char16_t*, uint32_t) { return false; }

} // namespace olv
