// Byte counts that stop at the largest value instead of wrapping: a sum past 2^64 - 1
// shows as the maximum, never as a small number.
#pragma once

#include <cstdint>

namespace svl {

constexpr uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

constexpr uint64_t saturatingMul(uint64_t a, uint64_t b) {
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

}  // namespace svl
