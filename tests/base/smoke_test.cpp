// Throwaway check that the test build links and runs; remove once real suites exist.
#include "doctest.h"

TEST_CASE("build smoke: the test executable runs") {
    CHECK(sizeof(char16_t) == 2);
}
