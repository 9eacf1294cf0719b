// Field inversion: constant time by divsteps or by exponentiation, and
// variable time.
#include "field.h"

#include "modinv.h"

namespace p256::P256_VARIANT {

namespace {
// 2^768 mod p. For x = a 2^256 (a in Montgomery form), x^-1 = a^-1 2^-256,
// and one Montgomery multiplication by 2^768 gives a^-1 2^256.
constexpr Fe kFeR3 = field_detail::to_fe(
    u256_to_mont(u256_to_mont(u256_to_mont(U256{{1, 0, 0, 0}}, params::p), params::p), params::p));
}  // namespace

void fe_inv(Fe& r, const Fe& a) {
    const U256 inv = modinv_ct(U256{{a.v[0], a.v[1], a.v[2], a.v[3]}}, params::p);
    fe_mul(r, Fe{{inv.limb[0], inv.limb[1], inv.limb[2], inv.limb[3]}}, kFeR3);
}

// p - 2 = 2^256 - 2^224 + 2^192 + 2^96 - 3, in bits from the top:
// 32 ones, 31 zeros, a one, 96 zeros, 94 ones, a zero, a one.
// The chain builds a^(2^k - 1) for k = 2, 3, 6, 12, 15, 30, 32 and then
// shifts those runs of ones into place: 255 squarings, 12 multiplications.
// The sequence of operations is fixed, so the time does not depend on a.
void fe_inv_pow(Fe& r, const Fe& a) {
    Fe x2, x3, x6, x12, x15, x30, x32, t;
    fe_sqr(t, a);
    fe_mul(x2, t, a);
    fe_sqr(t, x2);
    fe_mul(x3, t, a);
    fe_sqr_n(t, x3, 3);
    fe_mul(x6, t, x3);
    fe_sqr_n(t, x6, 6);
    fe_mul(x12, t, x6);
    fe_sqr_n(t, x12, 3);
    fe_mul(x15, t, x3);
    fe_sqr_n(t, x15, 15);
    fe_mul(x30, t, x15);
    fe_sqr_n(t, x30, 2);
    fe_mul(x32, t, x2);

    fe_sqr_n(t, x32, 32);  // 32 ones, 32 zeros
    fe_mul(t, t, a);       // ... 31 zeros, 1
    fe_sqr_n(t, t, 128);   // 96 zeros, then room for 32 bits
    fe_mul(t, t, x32);
    fe_sqr_n(t, t, 32);
    fe_mul(t, t, x32);  // 64 of the 94 ones
    fe_sqr_n(t, t, 30);
    fe_mul(t, t, x30);  // 94 ones
    fe_sqr_n(t, t, 2);
    fe_mul(r, t, a);  // 0, 1
}

void fe_inv_var(Fe& r, const Fe& a) { fe_from_u256(r, modinv_var(fe_to_u256(a), params::p)); }

}  // namespace p256::P256_VARIANT
