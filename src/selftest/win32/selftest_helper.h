// The self-test's helper program: olvetta-cli.exe started again with a hidden switch, doing the
// plan's known set of things (selftest/selftest.h) and removing everything it made, even when a
// step fails.
#pragma once

#include "selftest/selftest.h"

namespace olv {

// Does the plan's actions in order; the first failAt of them only when failAt >= 0 (the rest are
// reported failed, as a step that failed would leave them), then cleans up. Returns the exit code:
// bit (1 << SelftestAction) for each action that failed, kHelperCleanupFailed when something it
// made is still there.
int RunSelftestHelper(void* context, const SelftestPlan* plan, int failAt);
// The child the helper starts: ends at once with 0.
int RunSelftestChild(void* context);

} // namespace olv
