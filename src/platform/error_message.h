// The system's own words for an error code, with the number: "Access is denied. (5)". When the
// system has no text for the number the result is "Error <n>", never a bare number.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

constexpr size_t kErrorMessageChars = 300;

void SystemErrorMessage(uint32_t error, char16_t* out, size_t capacity);

} // namespace olv
