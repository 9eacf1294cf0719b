// Branch-free building blocks: carries, borrows and selection masks.
//
// Everything that may touch a secret is written with these: a mask is all
// ones or all zeros, and selections are made with and/or, never with `if`.
#pragma once

#include <cstdint>

namespace p256 {

__extension__ typedef unsigned __int128 u128;

// Hides a value from the optimiser so that it cannot prove a mask is 0 or
// ~0 and rewrite the masked selection that uses it as a branch.
inline std::uint64_t value_barrier(std::uint64_t x) {
#if defined(__GNUC__) || defined(__clang__)
    __asm__("" : "+r"(x));
#endif
    return x;
}

// All ones when x != 0, else zero.
inline std::uint64_t mask_nonzero(std::uint64_t x) {
    return value_barrier(0 - ((x | (0 - x)) >> 63));
}

// All ones when x == 0, else zero.
inline std::uint64_t mask_zero(std::uint64_t x) { return ~mask_nonzero(x); }

// All ones when bit == 1, zero when bit == 0.
inline std::uint64_t mask_bit(std::uint64_t bit) { return value_barrier(0 - bit); }

// a + b + carry; the carry out (0 or 1) replaces `carry`.
constexpr std::uint64_t addc(std::uint64_t a, std::uint64_t b, std::uint64_t& carry) {
    u128 t = static_cast<u128>(a) + b + carry;
    carry = static_cast<std::uint64_t>(t >> 64);
    return static_cast<std::uint64_t>(t);
}

// a - b - borrow; the borrow out (0 or 1) replaces `borrow`.
constexpr std::uint64_t subb(std::uint64_t a, std::uint64_t b, std::uint64_t& borrow) {
    u128 t = static_cast<u128>(a) - b - borrow;
    borrow = static_cast<std::uint64_t>(t >> 64) & 1;
    return static_cast<std::uint64_t>(t);
}

// Selects a (mask all ones) or b (mask zero), limb by limb.
inline void select4(std::uint64_t r[4], const std::uint64_t a[4], const std::uint64_t b[4],
                    std::uint64_t mask) {
    for (int i = 0; i < 4; ++i) r[i] = (a[i] & mask) | (b[i] & ~mask);
}

}  // namespace p256
