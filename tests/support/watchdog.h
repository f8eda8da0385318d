// Names the step a test is in, for the watchdog of the test main: when a suite hangs, it prints
// the test case and the last step entered before it ends the suite.
#pragma once

namespace olv {

void TestStep(const char* what);

} // namespace olv
