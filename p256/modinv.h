// Modular inversion by the divstep iteration of Bernstein and Yang ("Fast
// constant-time gcd computation and modular inversion", 2019), run in
// batches of 62 steps on the low bits: a variable-time variant for public
// values and a constant-time one for secrets.
#pragma once

#include <cstdint>

#include "ct.h"
#include "p256.h"

namespace p256::P256_VARIANT {

// x^-1 mod m for an odd prime m < 2^256 and x < m (0 for x = 0). The time
// depends on x: use only on public data.
U256 modinv_var(const U256& x, const U256& m);

// x^-1 mod m for an odd prime m < 2^256 (public) and x < m (0 for x = 0),
// in constant time: a fixed number of divsteps, no branch and no memory
// address that depends on x.
U256 modinv_ct(const U256& x, const U256& m);

// The pieces of the iteration, visible to the tests.
namespace modinv_detail {

inline constexpr std::int64_t kMask62 = (std::int64_t{1} << 62) - 1;

// value = sum v[i] 2^(62 i); v[0..3] in [0, 2^62) once normalised, v[4]
// carries the sign.
struct S62 {
    std::int64_t v[5];
};

// A transition matrix of a batch: 2^k (f', g') = (u f + v g, q f + r g).
struct Matrix {
    std::int64_t u, v, q, r;
};

S62 to_s62(const U256& a);
// For 0 <= a < 2^256 with normalised limbs.
U256 from_s62(const S62& a);
// a += sign * b (sign = +-1), normalising the limbs.
void add_scaled(S62& a, const S62& b, std::int64_t sign);

// 30 divsteps, branch-free, on the low 64 bits of f (odd) and g, which are
// updated in place (their low 34 bits are exact); eta = -delta in two's
// complement, returned updated; the matrix is scaled by 2^30.
std::uint64_t divsteps_30_ct(std::uint64_t eta, std::uint64_t& f, std::uint64_t& g, Matrix& t);

// (negate ? -d : d) mod m for |d| < 14 m, in constant time.
U256 normalise_ct(S62 d, std::uint64_t negate, const S62& m);

}  // namespace modinv_detail

}  // namespace p256::P256_VARIANT
