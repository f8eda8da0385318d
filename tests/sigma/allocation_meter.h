// The bytes the program holds through operator new, and the most it held since a mark: the memory
// bound of the rule loader is asserted with these (this suite replaces the global operator new).
#pragma once

#include <cstddef>

namespace sigma_test {

size_t AllocatedBytesNow();
// Starts a new peak from what is held now.
void ResetAllocationPeak();
size_t AllocationPeakBytes();
// While on, operator new meets the platform's allocation fault hooks (RefuseNthAllocation and
// the others) as AllocZeroed does.
void HookOperatorNew(bool on);

} // namespace sigma_test
