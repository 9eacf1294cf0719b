// The native P-256 engine: field and scalar arithmetic, the group law, ECDSA.
//
// Pure C++ with no Python headers. Values cross the boundary as 256-bit
// unsigned integers in four little-endian 64-bit limbs; callers convert from
// and to big-endian bytes with load_be/store_be.
//
// Two kinds of operation:
//  * public-data operations (verification, arbitrary points) may take time
//    that depends on their inputs;
//  * secret-data operations (names ending in _ct) take time and touch memory
//    independently of the secret scalar: no branch and no address depends on
//    it. Their preconditions are checked by the caller, not by branching on
//    the secret here.
#pragma once

#include <cstdint>

namespace p256 {

struct U256 {
    std::uint64_t limb[4];  // value = sum of limb[i] * 2^(64 i)
};

U256 load_be(const std::uint8_t in[32]);
void store_be(const U256& value, std::uint8_t out[32]);

// -1, 0 or 1 as a <, ==, > b (variable time: public values only).
int compare(const U256& a, const U256& b);
bool is_zero(const U256& a);

// Domain parameters.
extern const U256 kP;      // field prime
extern const U256 kB;      // curve coefficient b (a = p - 3)
extern const U256 kN;      // group order
extern const U256 kHalfN;  // n // 2, the low-s bound
extern const U256 kGx;     // base point
extern const U256 kGy;

// a - b mod 2^256, returns the borrow (public values).
std::uint64_t sub(const U256& a, const U256& b, U256& out);

// ---- Public-data operations -------------------------------------------

// x < p, y < p and y^2 == x^3 - 3x + b (mod p).
bool on_curve(const U256& x, const U256& y);

// k * (x, y) for a point on the curve (caller checked on_curve) and any
// 256-bit k (reduced modulo n inside). Returns false when the result is the
// point at infinity (k = 0 mod n), else stores the affine result.
bool mul_vartime(const U256& k, const U256& x, const U256& y, U256& rx, U256& ry);

// ECDSA verification core for P-256: e is the whole 256-bit digest (not
// reduced), 1 <= r, s < n and Q = (qx, qy) on the curve (caller checked).
// Returns whether x(u1*G + u2*Q) mod n == r with w = s^-1, u1 = e*w, u2 = r*w
// (all mod n); false when the sum is the point at infinity.
bool ecdsa_verify(const U256& e, const U256& r, const U256& s, const U256& qx, const U256& qy);

// Builds the precomputed point tables now instead of on first use (for
// callers that want every table ready at import). Thread-safe; idempotent.
void init_tables();

// ---- Secret-data operations (constant time) ---------------------------

// k mod n for any 256-bit k, in constant time (one masked subtraction).
U256 reduce_mod_n_ct(const U256& k);

// k * G for any 256-bit k (reduced mod n inside), affine. Constant time in k;
// false, the only branch, when k = 0 mod n (the point at infinity).
bool mul_base_ct(const U256& k, U256& rx, U256& ry);

enum class SignStatus { ok, r_zero, s_zero };

// r = x(k*G) mod n; s = k^-1 * (e + r*d) mod n, where e is the whole digest.
// 1 <= k, d < n. s is low: n - s replaces an s above n // 2.
// Constant time in k and d; reports r == 0 or s == 0 instead of retrying.
SignStatus ecdsa_sign_ct(const U256& k, const U256& d, const U256& e, U256& r, U256& s);

}  // namespace p256
