// The one doctest main shared by every test executable, with a watchdog: a suite that has not
// finished after OLV_TEST_WATCHDOG_SECONDS (default 90, below ctest's time-out, so what it prints
// reaches the log) prints the test case and the last step it entered, and ends with status 3.
// A hang then names where it hung instead of being killed without a word.
#define DOCTEST_CONFIG_IMPLEMENT
#include "doctest.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "support/watchdog.h"

namespace olv {

namespace {

std::mutex gLock;
std::condition_variable gDone;
bool gFinished = false;
std::string gTestCase = "(before the first test case)";
std::string gStep = "(none)";

struct StepListener : doctest::IReporter {
    explicit StepListener(const doctest::ContextOptions&) {}
    void report_query(const doctest::QueryData&) override {}
    void test_run_start() override {}
    void test_run_end(const doctest::TestRunStats&) override {}
    void test_case_start(const doctest::TestCaseData& data) override {
        std::lock_guard<std::mutex> guard(gLock);
        gTestCase = data.m_name;
        gStep = "(none)";
    }
    void test_case_reenter(const doctest::TestCaseData&) override {}
    void test_case_end(const doctest::CurrentTestCaseStats&) override {}
    void test_case_exception(const doctest::TestCaseException&) override {}
    void subcase_start(const doctest::SubcaseSignature& signature) override {
        std::lock_guard<std::mutex> guard(gLock);
        gStep = std::string("subcase: ") + signature.m_name.c_str();
    }
    void subcase_end() override {}
    void log_assert(const doctest::AssertData&) override {}
    void log_message(const doctest::MessageData&) override {}
    void test_case_skipped(const doctest::TestCaseData&) override {}
};

} // namespace

void TestStep(const char* what) {
    std::lock_guard<std::mutex> guard(gLock);
    gStep = what;
}

} // namespace olv

DOCTEST_REGISTER_LISTENER("olv-steps", 1, olv::StepListener);

int main(int argc, char** argv) {
    using namespace olv;
    long seconds = 90;
    if (const char* value = std::getenv("OLV_TEST_WATCHDOG_SECONDS")) seconds = std::atol(value);
    std::thread watchdog;
    if (seconds > 0) {
        watchdog = std::thread([seconds] {
            std::unique_lock<std::mutex> lock(gLock);
            if (gDone.wait_for(lock, std::chrono::seconds(seconds), [] { return gFinished; })) return;
            std::printf("\nwatchdog: the suite did not finish within %ld s\n  test case: %s\n  last "
                        "step: %s\n",
                        seconds, gTestCase.c_str(), gStep.c_str());
            std::fflush(stdout);
            std::_Exit(3);
        });
    }
    doctest::Context context(argc, argv);
    const int status = context.run();
    {
        std::lock_guard<std::mutex> guard(gLock);
        gFinished = true;
    }
    gDone.notify_all();
    if (watchdog.joinable()) watchdog.join();
    return status;
}
