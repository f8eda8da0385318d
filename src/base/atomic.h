// Atomic operations on plain integer fields of zero-filled records.
#pragma once

#include <atomic>
#include <cstdint>

namespace olv {

inline uint32_t AtomicLoad(const uint32_t& v) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(v)).load(std::memory_order_acquire);
}
inline void AtomicStore(uint32_t& v, uint32_t x) {
    std::atomic_ref<uint32_t>(v).store(x, std::memory_order_release);
}
// Returns the new value.
inline uint32_t AtomicAdd(uint32_t& v, uint32_t x) {
    return std::atomic_ref<uint32_t>(v).fetch_add(x, std::memory_order_acq_rel) + x;
}
inline uint32_t AtomicSub(uint32_t& v, uint32_t x) {
    return std::atomic_ref<uint32_t>(v).fetch_sub(x, std::memory_order_acq_rel) - x;
}
// Returns the old value.
inline uint32_t AtomicExchange(uint32_t& v, uint32_t x) {
    return std::atomic_ref<uint32_t>(v).exchange(x, std::memory_order_acq_rel);
}
inline uint8_t AtomicLoad8(const uint8_t& v) {
    return std::atomic_ref<uint8_t>(const_cast<uint8_t&>(v)).load(std::memory_order_acquire);
}
inline void AtomicStore8(uint8_t& v, uint8_t x) {
    std::atomic_ref<uint8_t>(v).store(x, std::memory_order_release);
}

} // namespace olv
