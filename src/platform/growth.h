// The one growth rule for arrays of plain records that live in a heap block: a block too small is
// replaced by one of twice the capacity (repeatedly, until it holds what is needed), the records
// in use are copied over and the old block is freed. Blocks come from AllocZeroed, so the fault
// hooks see every growth and the room beyond the copied records is zero.
//
// Header only: the core and the tools call it; the allocation functions below it belong to the
// platform layer, which itself sits on base/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "platform/memory.h"

namespace olv {

// The capacity to grow to: first when empty, else the capacity doubled until it reaches needed.
// 0 when that passes limit (or overflows), which refuses the growth.
inline size_t GrownCapacity(size_t capacity, size_t needed, size_t first, size_t limit) {
    size_t grown = capacity == 0 ? first : capacity;
    if (grown == 0) return 0;
    while (grown < needed) {
        if (grown > SIZE_MAX / 2) return 0;
        grown *= 2;
    }
    return grown <= limit ? grown : 0;
}

// Makes *block (capacity elements of elementSize, the first used of them in use) hold at least
// needed elements. True when it already did or has grown; false when the growth passes limit
// elements or memory is refused: then the block, its records and *capacity are unchanged.
inline bool GrowBlock(void** block, size_t* capacity, size_t used, size_t needed,
                      size_t elementSize, size_t first, size_t limit) {
    if (needed <= *capacity && (*block != nullptr || needed == 0)) return true;
    const size_t grown = GrownCapacity(*capacity, needed, first, limit);
    if (grown == 0 || elementSize == 0 || grown > SIZE_MAX / elementSize) return false;
    void* bigger = AllocZeroed(grown * elementSize);
    if (bigger == nullptr) return false;
    if (*block != nullptr && used > 0) std::memcpy(bigger, *block, used * elementSize);
    FreeBlock(*block);
    *block = bigger;
    *capacity = grown;
    return true;
}

// GrowBlock for a typed array whose capacity is kept in any integer type. limit is clipped to
// what that type can hold.
template <typename T, typename Count>
bool GrowArray(T** block, Count* capacity, size_t used, size_t needed, size_t first, size_t limit) {
    static_assert(std::is_trivially_copyable_v<T>, "grown arrays hold plain records");
    static_assert(std::is_integral_v<Count>, "capacities are counts");
    constexpr size_t kCountMax = static_cast<size_t>(std::numeric_limits<Count>::max());
    if (limit > kCountMax) limit = kCountMax;
    void* raw = *block;
    size_t have = *capacity > 0 ? static_cast<size_t>(*capacity) : 0;
    if (!GrowBlock(&raw, &have, used, needed, sizeof(T), first, limit)) return false;
    *block = static_cast<T*>(raw);
    *capacity = static_cast<Count>(have);
    return true;
}

} // namespace olv
