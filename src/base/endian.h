#pragma once
#include <bit>
// Records are written and read as raw little-endian bytes.
static_assert(std::endian::native == std::endian::little, "Olvetta runs on little-endian hosts only");
