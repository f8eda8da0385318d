// The process id override of platform/thread.h, shared by both platform layers.
#pragma once

#include <cstdint>

namespace olv {

// The fixed id that CurrentProcessId reports; false when none is set.
bool ProcessIdOverride(uint32_t* processId);

} // namespace olv
