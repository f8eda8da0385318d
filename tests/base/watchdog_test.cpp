// Hangs for the test main's watchdog to name. Skipped in a normal run; the watchdog.* tests
// (cmake/OlvTests.cmake) run each with --no-skip and a watchdog of a few seconds and read what
// reached the log.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "doctest.h"
#include "support/watchdog.h"

namespace olv {

namespace {

// Longer than any watchdog these cases run under, but bounded: a watchdog that failed to end the
// process leaves a test that fails on its missing line, not one that hangs.
void SleepPastTheWatchdog() {
    std::this_thread::sleep_for(std::chrono::seconds(60));
}

} // namespace

TEST_CASE("the watchdog names a hung test case and step" * doctest::skip()) {
    // Nothing flushes this: it reaches the log only if stdout is written as it goes.
    std::printf("written before the hang\n");
    TestStep("sleeping past the watchdog");
    SleepPastTheWatchdog();
    CHECK(false);
}

TEST_CASE("the watchdog names a hang in the process's exit" * doctest::skip()) {
    TestStep("registering a hang for the runtime's exit");
    REQUIRE(std::atexit(SleepPastTheWatchdog) == 0);
}

} // namespace olv
