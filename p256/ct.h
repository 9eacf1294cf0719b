// Branch-free building blocks: carries, borrows and selection masks.
//
// Everything that may touch a secret is written with these: a mask is all
// ones or all zeros, and selections are made with and/or, never with `if`.
#pragma once

#include <cstdint>
#include <type_traits>

// P256_PORTABLE selects the plain C++ code paths everywhere (the tests
// build it too, so both variants stay checked).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(P256_PORTABLE)
#include <x86intrin.h>
#define P256_HAVE_CARRY_INTRINSICS 1
#else
#define P256_HAVE_CARRY_INTRINSICS 0
#endif

// The arithmetic is compiled once per variant, each in a namespace of its
// own (P256_VARIANT), and the public entry points (p256.cpp) pick one at run
// time:
//  * generic: C++ with the carry intrinsics (or plain C++), any CPU;
//  * bmi2_adx: field multiplication in MULX/ADCX/ADOX assembly
//    (field_adx.h), compiled with -mbmi2 -madx and P256_VARIANT_BMI2_ADX.
// The assembly depends on that macro alone, never on what the compiler
// flags allow, so no choice of flags (-march=native included) puts it
// anywhere but in the bmi2_adx namespace, which only the dispatcher calls,
// and only on a CPU that has both extensions. Every function, including the
// inline ones in headers, lives in the variant's namespace: two copies of
// one inline function compiled with different flags would otherwise be
// merged by the linker into either.
#if defined(P256_VARIANT_BMI2_ADX)
#if !P256_HAVE_CARRY_INTRINSICS || !defined(__BMI2__) || !defined(__ADX__)
#error "the bmi2_adx variant is compiled for x86-64 with -mbmi2 -madx (GCC or Clang)"
#endif
#define P256_VARIANT bmi2_adx
#define P256_HAVE_ADX_ASM 1
#else
#define P256_VARIANT generic
#define P256_HAVE_ADX_ASM 0
#endif

// The field and scalar primitives are small and hot: inline them always so
// that whole point formulas are scheduled as one block.
#if defined(__GNUC__) || defined(__clang__)
#define P256_INLINE inline __attribute__((always_inline))
#else
#define P256_INLINE inline
#endif

namespace p256::P256_VARIANT {

__extension__ typedef unsigned __int128 u128;

// Hides a value from the optimiser so that it cannot prove a mask is 0 or
// ~0 and rewrite the masked selection that uses it as a branch.
P256_INLINE std::uint64_t value_barrier(std::uint64_t x) {
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

// a + b + carry; the carry out (0 or 1) replaces `carry`. On x86-64 the
// carry intrinsics compile to add/adc chains; elsewhere 128-bit arithmetic.
constexpr std::uint64_t addc(std::uint64_t a, std::uint64_t b, std::uint64_t& carry) {
#if P256_HAVE_CARRY_INTRINSICS
    if (!std::is_constant_evaluated()) {
        unsigned long long out;
        carry = _addcarry_u64(static_cast<unsigned char>(carry), a, b, &out);
        return out;
    }
#endif
    u128 t = static_cast<u128>(a) + b + carry;
    carry = static_cast<std::uint64_t>(t >> 64);
    return static_cast<std::uint64_t>(t);
}

// a - b - borrow; the borrow out (0 or 1) replaces `borrow`.
constexpr std::uint64_t subb(std::uint64_t a, std::uint64_t b, std::uint64_t& borrow) {
#if P256_HAVE_CARRY_INTRINSICS
    if (!std::is_constant_evaluated()) {
        unsigned long long out;
        borrow = _subborrow_u64(static_cast<unsigned char>(borrow), a, b, &out);
        return out;
    }
#endif
    u128 t = static_cast<u128>(a) - b - borrow;
    borrow = static_cast<std::uint64_t>(t >> 64) & 1;
    return static_cast<std::uint64_t>(t);
}

// The high and low halves of a * b.
P256_INLINE std::uint64_t mul_wide(std::uint64_t a, std::uint64_t b, std::uint64_t& hi) {
    const u128 t = static_cast<u128>(a) * b;
    hi = static_cast<std::uint64_t>(t >> 64);
    return static_cast<std::uint64_t>(t);
}

// Selects a (mask all ones) or b (mask zero), limb by limb. The barrier on
// each limb keeps the selection in general registers: vectorising it would
// store and reload the limbs in a way that stalls store forwarding.
P256_INLINE void select4(std::uint64_t r[4], const std::uint64_t a[4], const std::uint64_t b[4],
                         std::uint64_t mask) {
    const std::uint64_t r0 = value_barrier(b[0] ^ (mask & (a[0] ^ b[0])));
    const std::uint64_t r1 = value_barrier(b[1] ^ (mask & (a[1] ^ b[1])));
    const std::uint64_t r2 = value_barrier(b[2] ^ (mask & (a[2] ^ b[2])));
    const std::uint64_t r3 = value_barrier(b[3] ^ (mask & (a[3] ^ b[3])));
    r[0] = r0;
    r[1] = r1;
    r[2] = r2;
    r[3] = r3;
}

}  // namespace p256::P256_VARIANT
