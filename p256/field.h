// Field elements modulo p = 2^256 - 2^224 + 2^192 + 2^96 - 1.
//
// An element is kept in Montgomery form, a * 2^256 mod p, in four 64-bit
// limbs and always fully reduced (< p), so equal values have equal limbs.
// Because p = -1 mod 2^64, the Montgomery factor -p^-1 mod 2^64 is 1 and
// each reduction step needs only shifts and one multiplication by the top
// limb of p.
//
// Every function here is constant time unless its name ends in _var.
#pragma once

#include "ct.h"
#include "field_adx.h"
#include "u256.h"

namespace p256 {

// The same representation in every variant (the point tables are shared).
struct Fe {
    std::uint64_t v[4];
};

}  // namespace p256

namespace p256::P256_VARIANT {

namespace field_detail {
inline constexpr std::uint64_t kP0 = 0xFFFFFFFFFFFFFFFFull;
inline constexpr std::uint64_t kP1 = 0x00000000FFFFFFFFull;
inline constexpr std::uint64_t kP2 = 0;
inline constexpr std::uint64_t kP3 = 0xFFFFFFFF00000001ull;

constexpr Fe to_fe(const U256& a) { return Fe{{a.limb[0], a.limb[1], a.limb[2], a.limb[3]}}; }
}  // namespace field_detail

inline constexpr Fe kFeZero{{0, 0, 0, 0}};
inline constexpr Fe kFeOne = field_detail::to_fe(u256_to_mont(U256{{1, 0, 0, 0}}, params::p));
inline constexpr Fe kFeB = field_detail::to_fe(u256_to_mont(params::b, params::p));
// 2^512 mod p: multiplying by it converts into Montgomery form.
inline constexpr Fe kFeR2 =
    field_detail::to_fe(u256_to_mont(u256_to_mont(U256{{1, 0, 0, 0}}, params::p), params::p));

// r = t mod p for t = c * 2^256 + (t0..t3) < 2p: subtracts p unless that
// would go negative (a borrow out of the carry limb too).
P256_INLINE void fe_reduce_once(Fe& r, std::uint64_t t0, std::uint64_t t1, std::uint64_t t2,
                           std::uint64_t t3, std::uint64_t c) {
    using namespace field_detail;
    std::uint64_t b = 0;
    std::uint64_t d[4];
    d[0] = subb(t0, kP0, b);
    d[1] = subb(t1, kP1, b);
    d[2] = subb(t2, kP2, b);
    d[3] = subb(t3, kP3, b);
    subb(c, 0, b);
    const std::uint64_t t[4] = {t0, t1, t2, t3};
    select4(r.v, t, d, mask_bit(b));
}

// One Montgomery step: l = (l + m p) / 2^64 with m = l0 (since -p^-1 = 1
// mod 2^64). As m p = m 2^256 - m 2^224 + m 2^192 + m 2^96 - m and the low
// limb cancels, the shifted sum is l + m 2^32 + m p3 2^128, which stays
// below 2^256.
P256_INLINE void fe_reduce_step(std::uint64_t& l0, std::uint64_t& l1, std::uint64_t& l2,
                                std::uint64_t& l3) {
    const std::uint64_t m = l0;
    std::uint64_t ml = m << 32, mh = m >> 32;
    std::uint64_t hi, c = 0;
    std::uint64_t lo = mul_wide(m, field_detail::kP3, hi);
#if defined(__GNUC__) || defined(__clang__)
    // Have the shifts and the product ready before the carry chain starts:
    // interleaved, they clobber the carry flag and the compiler has to save
    // and restore it around them.
    __asm__("" : "+r"(ml), "+r"(mh), "+r"(lo), "+r"(hi));
#endif
    l0 = addc(l1, ml, c);
    l1 = addc(l2, mh, c);
    l2 = addc(l3, lo, c);
    l3 = addc(hi, 0, c);  // m p3 < 2^128 - 2^96: no carry out
}

// r = t / 2^256 mod p for the 512-bit t (low limb first) with t < p 2^256.
P256_INLINE void fe_mont_reduce(Fe& r, const std::uint64_t t[8]) {
    std::uint64_t l0 = t[0], l1 = t[1], l2 = t[2], l3 = t[3];
    fe_reduce_step(l0, l1, l2, l3);
    fe_reduce_step(l0, l1, l2, l3);
    fe_reduce_step(l0, l1, l2, l3);
    fe_reduce_step(l0, l1, l2, l3);
    std::uint64_t c = 0;
    const std::uint64_t s0 = addc(t[4], l0, c);
    const std::uint64_t s1 = addc(t[5], l1, c);
    const std::uint64_t s2 = addc(t[6], l2, c);
    const std::uint64_t s3 = addc(t[7], l3, c);
    fe_reduce_once(r, s0, s1, s2, s3, c);
}

// t[i .. i+4] += x * b, where t[i+4] is the next free limb (set here) and
// the sum fits in t[0 .. i+4]. Low halves of the products go through one
// carry chain, high halves through another.
P256_INLINE void mul_row(std::uint64_t t[8], int i, std::uint64_t x, const std::uint64_t b[4]) {
    std::uint64_t h0, h1, h2, h3, c = 0;
    const std::uint64_t l0 = mul_wide(x, b[0], h0);
    const std::uint64_t l1 = mul_wide(x, b[1], h1);
    const std::uint64_t l2 = mul_wide(x, b[2], h2);
    const std::uint64_t l3 = mul_wide(x, b[3], h3);
    // The row itself, x b, in five limbs.
    const std::uint64_t r1 = addc(l1, h0, c);
    const std::uint64_t r2 = addc(l2, h1, c);
    const std::uint64_t r3 = addc(l3, h2, c);
    const std::uint64_t r4 = addc(h3, 0, c);
    c = 0;
    t[i] = addc(t[i], l0, c);
    t[i + 1] = addc(t[i + 1], r1, c);
    t[i + 2] = addc(t[i + 2], r2, c);
    t[i + 3] = addc(t[i + 3], r3, c);
    t[i + 4] = addc(r4, 0, c);
}

// t = a * b as a 512-bit integer.
P256_INLINE void mul_256(std::uint64_t t[8], const std::uint64_t a[4], const std::uint64_t b[4]) {
    std::uint64_t h0, h1, h2, h3, c = 0;
    t[0] = mul_wide(a[0], b[0], h0);
    const std::uint64_t l1 = mul_wide(a[0], b[1], h1);
    const std::uint64_t l2 = mul_wide(a[0], b[2], h2);
    const std::uint64_t l3 = mul_wide(a[0], b[3], h3);
    t[1] = addc(l1, h0, c);
    t[2] = addc(l2, h1, c);
    t[3] = addc(l3, h2, c);
    t[4] = addc(h3, 0, c);
    mul_row(t, 1, a[1], b);
    mul_row(t, 2, a[2], b);
    mul_row(t, 3, a[3], b);
}

// t = a^2 as a 512-bit integer: the six cross products once, doubled, plus
// the four squares.
P256_INLINE void sqr_256(std::uint64_t t[8], const std::uint64_t a[4]) {
    std::uint64_t h01, h02, h03, h12, h13, h23, c = 0;
    const std::uint64_t l01 = mul_wide(a[0], a[1], h01);
    const std::uint64_t l02 = mul_wide(a[0], a[2], h02);
    const std::uint64_t l03 = mul_wide(a[0], a[3], h03);
    const std::uint64_t l12 = mul_wide(a[1], a[2], h12);
    const std::uint64_t l13 = mul_wide(a[1], a[3], h13);
    const std::uint64_t l23 = mul_wide(a[2], a[3], h23);
    // Cross products at limbs 1..6:
    //   1: l01   2: h01 l02   3: h02 l03 l12   4: h03 h12 l13
    //   5: h13 l23   6: h23
    std::uint64_t x1 = l01;
    std::uint64_t x2 = addc(h01, l02, c);
    std::uint64_t x3 = addc(h02, l03, c);
    std::uint64_t x4 = addc(h03, l13, c);
    std::uint64_t x5 = addc(h13, l23, c);
    std::uint64_t x6 = addc(h23, 0, c);
    c = 0;
    x3 = addc(x3, l12, c);
    x4 = addc(x4, h12, c);
    x5 = addc(x5, 0, c);
    x6 = addc(x6, 0, c);
    // Double (as an add chain, which keeps the carry flag live), then add
    // the squares a_i^2 at limb 2i.
    std::uint64_t s0h, s1h, s2h, s3h;
    std::uint64_t s0l = mul_wide(a[0], a[0], s0h);
    std::uint64_t s1l = mul_wide(a[1], a[1], s1h);
    std::uint64_t s2l = mul_wide(a[2], a[2], s2h);
    std::uint64_t s3l = mul_wide(a[3], a[3], s3h);
#if defined(__GNUC__) || defined(__clang__)
    __asm__("" : "+r"(s0l), "+r"(s1l), "+r"(s2l), "+r"(s3l), "+r"(s0h), "+r"(s1h), "+r"(s2h), "+r"(s3h));
#endif
    c = 0;
    x1 = addc(x1, x1, c);
    x2 = addc(x2, x2, c);
    x3 = addc(x3, x3, c);
    x4 = addc(x4, x4, c);
    x5 = addc(x5, x5, c);
    x6 = addc(x6, x6, c);
    const std::uint64_t x7 = addc(0, 0, c);
    c = 0;
    t[0] = s0l;
    t[1] = addc(x1, s0h, c);
    t[2] = addc(x2, s1l, c);
    t[3] = addc(x3, s1h, c);
    t[4] = addc(x4, s2l, c);
    t[5] = addc(x5, s2h, c);
    t[6] = addc(x6, s3l, c);
    t[7] = addc(x7, s3h, c);
}

// r = a b / 2^256 mod p for a, b < p (Montgomery form: the product of the
// values they stand for).
P256_INLINE void fe_mul(Fe& r, const Fe& a, const Fe& b) {
#if P256_HAVE_ADX_ASM
    fe_mul_adx(r.v, a.v, b.v);
#else
    std::uint64_t t[8];
    mul_256(t, a.v, b.v);
    fe_mont_reduce(r, t);
#endif
}

P256_INLINE void fe_sqr(Fe& r, const Fe& a) {
#if P256_HAVE_ADX_ASM
    fe_sqr_adx(r.v, a.v);
#else
    std::uint64_t t[8];
    sqr_256(t, a.v);
    fe_mont_reduce(r, t);
#endif
}

// r = a squared n times.
P256_INLINE void fe_sqr_n(Fe& r, const Fe& a, int n) {
    fe_sqr(r, a);
    for (int i = 1; i < n; ++i) fe_sqr(r, r);
}

P256_INLINE void fe_add(Fe& r, const Fe& a, const Fe& b) {
    std::uint64_t c = 0;
    const std::uint64_t s0 = addc(a.v[0], b.v[0], c);
    const std::uint64_t s1 = addc(a.v[1], b.v[1], c);
    const std::uint64_t s2 = addc(a.v[2], b.v[2], c);
    const std::uint64_t s3 = addc(a.v[3], b.v[3], c);
    fe_reduce_once(r, s0, s1, s2, s3, c);
}

P256_INLINE void fe_sub(Fe& r, const Fe& a, const Fe& b) {
    using namespace field_detail;
    std::uint64_t bw = 0;
    const std::uint64_t d0 = subb(a.v[0], b.v[0], bw);
    const std::uint64_t d1 = subb(a.v[1], b.v[1], bw);
    const std::uint64_t d2 = subb(a.v[2], b.v[2], bw);
    const std::uint64_t d3 = subb(a.v[3], b.v[3], bw);
    // Add p back when the difference went negative.
    const std::uint64_t m = mask_bit(bw);
    std::uint64_t c = 0;
    r.v[0] = addc(d0, kP0 & m, c);
    r.v[1] = addc(d1, kP1 & m, c);
    r.v[2] = addc(d2, kP2 & m, c);
    r.v[3] = addc(d3, kP3 & m, c);
}

P256_INLINE void fe_neg(Fe& r, const Fe& a) { fe_sub(r, kFeZero, a); }

// r = a / 2: a itself when even, else (a + p) / 2, which is below p.
P256_INLINE void fe_half(Fe& r, const Fe& a) {
    using namespace field_detail;
    const std::uint64_t m = mask_bit(a.v[0] & 1);
    std::uint64_t c = 0;
    const std::uint64_t s0 = addc(a.v[0], kP0 & m, c);
    const std::uint64_t s1 = addc(a.v[1], kP1 & m, c);
    const std::uint64_t s2 = addc(a.v[2], kP2 & m, c);
    const std::uint64_t s3 = addc(a.v[3], kP3 & m, c);
    r.v[0] = (s0 >> 1) | (s1 << 63);
    r.v[1] = (s1 >> 1) | (s2 << 63);
    r.v[2] = (s2 >> 1) | (s3 << 63);
    r.v[3] = (s3 >> 1) | (c << 63);
}

// Negates r in place when mask is all ones.
P256_INLINE void fe_cneg(Fe& r, std::uint64_t mask) {
    Fe n;
    fe_neg(n, r);
    select4(r.v, n.v, r.v, mask);
}

// r = a when mask is all ones, else r is left alone.
P256_INLINE void fe_cmov(Fe& r, const Fe& a, std::uint64_t mask) { select4(r.v, a.v, r.v, mask); }

P256_INLINE std::uint64_t fe_is_zero_mask(const Fe& a) {
    return mask_zero(a.v[0] | a.v[1] | a.v[2] | a.v[3]);
}

P256_INLINE bool fe_is_zero_var(const Fe& a) { return (a.v[0] | a.v[1] | a.v[2] | a.v[3]) == 0; }

P256_INLINE bool fe_equal_var(const Fe& a, const Fe& b) {
    return ((a.v[0] ^ b.v[0]) | (a.v[1] ^ b.v[1]) | (a.v[2] ^ b.v[2]) | (a.v[3] ^ b.v[3])) == 0;
}

// Montgomery form of any 256-bit integer. The input is reduced below p
// first (it is below 2^256 < 2p), as the multiplication expects.
P256_INLINE void fe_from_u256(Fe& r, const U256& a) {
    Fe t;
    fe_reduce_once(t, a.limb[0], a.limb[1], a.limb[2], a.limb[3], 0);
    fe_mul(r, t, kFeR2);
}

// The ordinary integer value (< p) of a field element.
P256_INLINE U256 fe_to_u256(const Fe& a) {
    const std::uint64_t t[8] = {a.v[0], a.v[1], a.v[2], a.v[3], 0, 0, 0, 0};
    Fe r;
    fe_mont_reduce(r, t);
    return U256{{r.v[0], r.v[1], r.v[2], r.v[3]}};
}

// r = a^-1 (0 for a = 0) in constant time, by divsteps.
void fe_inv(Fe& r, const Fe& a);

// The same by exponentiation to p - 2 (slower; the tests' reference).
void fe_inv_pow(Fe& r, const Fe& a);

// r = a^-1 (0 for a = 0) for public a; the time depends on a.
void fe_inv_var(Fe& r, const Fe& a);


}  // namespace p256::P256_VARIANT
