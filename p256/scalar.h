// Scalars modulo the group order n.
//
// A scalar is held as its ordinary value, fully reduced (< n). Products use
// Montgomery multiplication modulo n internally.
//
// Every function here is constant time unless its name ends in _var.
#pragma once

#include "ct.h"
#include "u256.h"

namespace p256 {

struct Sc {
    std::uint64_t v[4];
};

}  // namespace p256

namespace p256::P256_VARIANT {

// r = a mod n for any 256-bit a (one masked subtraction, since 2^256 < 2n).
void sc_from_u256(Sc& r, const U256& a);
U256 sc_to_u256(const Sc& a);

void sc_add(Sc& r, const Sc& a, const Sc& b);
void sc_neg(Sc& r, const Sc& a);
void sc_mul(Sc& r, const Sc& a, const Sc& b);

// r = a^-1 (0 for a = 0) in constant time, by divsteps.
void sc_inv(Sc& r, const Sc& a);

// The same by exponentiation to n - 2 (slower; the tests' reference).
void sc_inv_pow(Sc& r, const Sc& a);

// r = a^-1 (0 for a = 0) for public a; the time depends on a.
void sc_inv_var(Sc& r, const Sc& a);


inline std::uint64_t sc_is_zero_mask(const Sc& a) {
    return mask_zero(a.v[0] | a.v[1] | a.v[2] | a.v[3]);
}

inline bool sc_is_zero_var(const Sc& a) { return (a.v[0] | a.v[1] | a.v[2] | a.v[3]) == 0; }

// Bits [pos, pos + count) of a, count <= 32, reading zeros above bit 255.
inline std::uint32_t sc_get_bits(const Sc& a, int pos, int count) {
    const int limb = pos >> 6, shift = pos & 63;
    std::uint64_t v = limb < 4 ? a.v[limb] >> shift : 0;
    if (shift + count > 64 && limb + 1 < 4) v |= a.v[limb + 1] << (64 - shift);
    return static_cast<std::uint32_t>(v & ((std::uint64_t{1} << count) - 1));
}

}  // namespace p256::P256_VARIANT
