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
#include "u256.h"

namespace p256 {

struct Fe {
    std::uint64_t v[4];
};

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
// would go negative.
inline void fe_reduce_once(Fe& r, std::uint64_t t0, std::uint64_t t1, std::uint64_t t2,
                           std::uint64_t t3, std::uint64_t c) {
    using namespace field_detail;
    std::uint64_t b = 0;
    std::uint64_t d[4];
    d[0] = subb(t0, kP0, b);
    d[1] = subb(t1, kP1, b);
    d[2] = subb(t2, kP2, b);
    d[3] = subb(t3, kP3, b);
    const std::uint64_t t[4] = {t0, t1, t2, t3};
    // Keep t only when the subtraction borrowed and there was no carry.
    select4(r.v, t, d, mask_bit(b & (c ^ 1)));
}

// r = (h * 2^256 + l) / 2^256 mod p for the 512-bit t = (l, h) with t < p * 2^256.
inline void fe_mont_reduce(Fe& r, const std::uint64_t t[8]) {
    using namespace field_detail;
    std::uint64_t l0 = t[0], l1 = t[1], l2 = t[2], l3 = t[3];
    // Four rounds of l = (l + m p) / 2^64 with m = l0 (since -p^-1 = 1 mod
    // 2^64). As m p = m 2^256 - m 2^224 + m 2^192 + m 2^96 - m and the low
    // limb cancels, the shifted sum is l + m 2^32 + m p3 2^128, which stays
    // below 2^256.
    for (int i = 0; i < 4; ++i) {
        const std::uint64_t m = l0;
        u128 acc = static_cast<u128>(l1) + (static_cast<u128>(m) << 32);
        const std::uint64_t n0 = static_cast<std::uint64_t>(acc);
        acc = static_cast<u128>(l2) + static_cast<std::uint64_t>(acc >> 64);
        const std::uint64_t n1 = static_cast<std::uint64_t>(acc);
        acc = static_cast<u128>(m) * kP3 + l3 + static_cast<std::uint64_t>(acc >> 64);
        l0 = n0;
        l1 = n1;
        l2 = static_cast<std::uint64_t>(acc);
        l3 = static_cast<std::uint64_t>(acc >> 64);
    }
    std::uint64_t c = 0;
    const std::uint64_t s0 = addc(t[4], l0, c);
    const std::uint64_t s1 = addc(t[5], l1, c);
    const std::uint64_t s2 = addc(t[6], l2, c);
    const std::uint64_t s3 = addc(t[7], l3, c);
    fe_reduce_once(r, s0, s1, s2, s3, c);
}

// t = a * b as a 512-bit integer.
inline void mul_256(std::uint64_t t[8], const std::uint64_t a[4], const std::uint64_t b[4]) {
    u128 acc;
    std::uint64_t c;
    acc = static_cast<u128>(a[0]) * b[0];
    t[0] = static_cast<std::uint64_t>(acc);
    c = static_cast<std::uint64_t>(acc >> 64);
    for (int j = 1; j < 4; ++j) {
        acc = static_cast<u128>(a[0]) * b[j] + c;
        t[j] = static_cast<std::uint64_t>(acc);
        c = static_cast<std::uint64_t>(acc >> 64);
    }
    t[4] = c;
    for (int i = 1; i < 4; ++i) {
        c = 0;
        for (int j = 0; j < 4; ++j) {
            acc = static_cast<u128>(a[i]) * b[j] + t[i + j] + c;
            t[i + j] = static_cast<std::uint64_t>(acc);
            c = static_cast<std::uint64_t>(acc >> 64);
        }
        t[i + 4] = c;
    }
}

// t = a^2 as a 512-bit integer: the six cross products once, doubled, plus
// the four squares.
inline void sqr_256(std::uint64_t t[8], const std::uint64_t a[4]) {
    u128 acc;
    std::uint64_t c;
    // Cross products a_i a_j, i < j, into t[1..6].
    acc = static_cast<u128>(a[0]) * a[1];
    t[1] = static_cast<std::uint64_t>(acc);
    acc = static_cast<u128>(a[0]) * a[2] + static_cast<std::uint64_t>(acc >> 64);
    t[2] = static_cast<std::uint64_t>(acc);
    acc = static_cast<u128>(a[0]) * a[3] + static_cast<std::uint64_t>(acc >> 64);
    t[3] = static_cast<std::uint64_t>(acc);
    t[4] = static_cast<std::uint64_t>(acc >> 64);
    acc = static_cast<u128>(a[1]) * a[2] + t[3];
    t[3] = static_cast<std::uint64_t>(acc);
    acc = static_cast<u128>(a[1]) * a[3] + t[4] + static_cast<std::uint64_t>(acc >> 64);
    t[4] = static_cast<std::uint64_t>(acc);
    t[5] = static_cast<std::uint64_t>(acc >> 64);
    acc = static_cast<u128>(a[2]) * a[3] + t[5];
    t[5] = static_cast<std::uint64_t>(acc);
    t[6] = static_cast<std::uint64_t>(acc >> 64);
    // Double them.
    t[7] = t[6] >> 63;
    t[6] = (t[6] << 1) | (t[5] >> 63);
    t[5] = (t[5] << 1) | (t[4] >> 63);
    t[4] = (t[4] << 1) | (t[3] >> 63);
    t[3] = (t[3] << 1) | (t[2] >> 63);
    t[2] = (t[2] << 1) | (t[1] >> 63);
    t[1] = t[1] << 1;
    // Add the squares a_i^2 at limb 2i.
    acc = static_cast<u128>(a[0]) * a[0];
    t[0] = static_cast<std::uint64_t>(acc);
    c = 0;
    t[1] = addc(t[1], static_cast<std::uint64_t>(acc >> 64), c);
    for (int i = 1; i < 4; ++i) {
        acc = static_cast<u128>(a[i]) * a[i];
        t[2 * i] = addc(t[2 * i], static_cast<std::uint64_t>(acc), c);
        t[2 * i + 1] = addc(t[2 * i + 1], static_cast<std::uint64_t>(acc >> 64), c);
    }
}

inline void fe_mul(Fe& r, const Fe& a, const Fe& b) {
    std::uint64_t t[8];
    mul_256(t, a.v, b.v);
    fe_mont_reduce(r, t);
}

inline void fe_sqr(Fe& r, const Fe& a) {
    std::uint64_t t[8];
    sqr_256(t, a.v);
    fe_mont_reduce(r, t);
}

// r = a squared n times.
inline void fe_sqr_n(Fe& r, const Fe& a, int n) {
    fe_sqr(r, a);
    for (int i = 1; i < n; ++i) fe_sqr(r, r);
}

inline void fe_add(Fe& r, const Fe& a, const Fe& b) {
    std::uint64_t c = 0;
    const std::uint64_t s0 = addc(a.v[0], b.v[0], c);
    const std::uint64_t s1 = addc(a.v[1], b.v[1], c);
    const std::uint64_t s2 = addc(a.v[2], b.v[2], c);
    const std::uint64_t s3 = addc(a.v[3], b.v[3], c);
    fe_reduce_once(r, s0, s1, s2, s3, c);
}

inline void fe_sub(Fe& r, const Fe& a, const Fe& b) {
    using namespace field_detail;
    std::uint64_t bw = 0;
    std::uint64_t d[4];
    for (int i = 0; i < 4; ++i) d[i] = subb(a.v[i], b.v[i], bw);
    // Add p back when the difference went negative.
    const std::uint64_t m = mask_bit(bw);
    std::uint64_t c = 0;
    r.v[0] = addc(d[0], kP0 & m, c);
    r.v[1] = addc(d[1], kP1 & m, c);
    r.v[2] = addc(d[2], kP2 & m, c);
    r.v[3] = addc(d[3], kP3 & m, c);
}

inline void fe_neg(Fe& r, const Fe& a) { fe_sub(r, kFeZero, a); }

// Negates r in place when mask is all ones.
inline void fe_cneg(Fe& r, std::uint64_t mask) {
    Fe n;
    fe_neg(n, r);
    select4(r.v, n.v, r.v, mask);
}

// r = a when mask is all ones, else r is left alone.
inline void fe_cmov(Fe& r, const Fe& a, std::uint64_t mask) { select4(r.v, a.v, r.v, mask); }

inline std::uint64_t fe_is_zero_mask(const Fe& a) {
    return mask_zero(a.v[0] | a.v[1] | a.v[2] | a.v[3]);
}

inline bool fe_is_zero_var(const Fe& a) { return (a.v[0] | a.v[1] | a.v[2] | a.v[3]) == 0; }

inline bool fe_equal_var(const Fe& a, const Fe& b) {
    return ((a.v[0] ^ b.v[0]) | (a.v[1] ^ b.v[1]) | (a.v[2] ^ b.v[2]) | (a.v[3] ^ b.v[3])) == 0;
}

// Montgomery form of any 256-bit integer (reduced modulo p on the way).
inline void fe_from_u256(Fe& r, const U256& a) {
    const Fe t{{a.limb[0], a.limb[1], a.limb[2], a.limb[3]}};
    fe_mul(r, t, kFeR2);
}

// The ordinary integer value (< p) of a field element.
inline U256 fe_to_u256(const Fe& a) {
    const std::uint64_t t[8] = {a.v[0], a.v[1], a.v[2], a.v[3], 0, 0, 0, 0};
    Fe r;
    fe_mont_reduce(r, t);
    return U256{{r.v[0], r.v[1], r.v[2], r.v[3]}};
}

// r = a^-1 (0 for a = 0), by exponentiation to p - 2: constant time.
void fe_inv(Fe& r, const Fe& a);


}  // namespace p256
