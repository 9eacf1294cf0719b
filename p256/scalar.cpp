// Scalar arithmetic modulo n.
#include "scalar.h"

#include "field.h"  // mul_256
#include "modinv.h"

namespace p256::P256_VARIANT {

namespace {

constexpr std::uint64_t kN0 = params::n.limb[0];
constexpr std::uint64_t kN1 = params::n.limb[1];
constexpr std::uint64_t kN2 = params::n.limb[2];
constexpr std::uint64_t kN3 = params::n.limb[3];
constexpr std::uint64_t kNInv = neg_inv64(kN0);  // -n^-1 mod 2^64
static_assert(kN0 * (0 - kNInv) == 1);

// 2^512 mod n: Montgomery multiplication by it converts into Montgomery form.
constexpr U256 kR2 = u256_to_mont(u256_to_mont(U256{{1, 0, 0, 0}}, params::n), params::n);
// n - 2, the exponent that inverts.
constexpr U256 kNMinus2{{kN0 - 2, kN1, kN2, kN3}};

// r = t mod n for t = c * 2^256 + (t0..t3) < 2n.
P256_INLINE void reduce_once(Sc& r, const std::uint64_t t[4], std::uint64_t c) {
    std::uint64_t b = 0;
    std::uint64_t d[4];
    d[0] = subb(t[0], kN0, b);
    d[1] = subb(t[1], kN1, b);
    d[2] = subb(t[2], kN2, b);
    d[3] = subb(t[3], kN3, b);
    subb(c, 0, b);  // a borrow out of the carry limb too: t < n
    select4(r.v, t, d, mask_bit(b));
}

// One Montgomery step: l = (l + m n) / 2^64 with m = l0 (-n^-1) mod 2^64,
// which clears the low limb; l stays below 2^256 because n + 2^192 < 2^256.
P256_INLINE void reduce_step(std::uint64_t& l0, std::uint64_t& l1, std::uint64_t& l2,
                             std::uint64_t& l3) {
    const std::uint64_t m = l0 * kNInv;
    std::uint64_t h0, h1, h2, h3, c = 0;
    std::uint64_t p0 = mul_wide(m, kN0, h0);
    std::uint64_t p1 = mul_wide(m, kN1, h1);
    std::uint64_t p2 = mul_wide(m, kN2, h2);
    std::uint64_t p3 = mul_wide(m, kN3, h3);
#if defined(__GNUC__) || defined(__clang__)
    // All products first, then the carry chains (see fe_reduce_step).
    __asm__("" : "+r"(p0), "+r"(p1), "+r"(p2), "+r"(p3), "+r"(h0), "+r"(h1), "+r"(h2), "+r"(h3));
#endif
    addc(l0, p0, c);  // zero by the choice of m
    std::uint64_t n0 = addc(l1, p1, c);
    std::uint64_t n1 = addc(l2, p2, c);
    std::uint64_t n2 = addc(l3, p3, c);
    std::uint64_t n3 = addc(0, 0, c);
    c = 0;
    l0 = addc(n0, h0, c);
    l1 = addc(n1, h1, c);
    l2 = addc(n2, h2, c);
    l3 = addc(n3, h3, c);
}

// r = t / 2^256 mod n for the 512-bit t with t < n 2^256.
P256_INLINE void mont_reduce(Sc& r, const std::uint64_t t[8]) {
    std::uint64_t l0 = t[0], l1 = t[1], l2 = t[2], l3 = t[3];
    reduce_step(l0, l1, l2, l3);
    reduce_step(l0, l1, l2, l3);
    reduce_step(l0, l1, l2, l3);
    reduce_step(l0, l1, l2, l3);
    std::uint64_t s[4], c = 0;
    s[0] = addc(t[4], l0, c);
    s[1] = addc(t[5], l1, c);
    s[2] = addc(t[6], l2, c);
    s[3] = addc(t[7], l3, c);
    reduce_once(r, s, c);
}

// r = a b 2^-256 mod n for a b < n 2^256.
P256_INLINE void mont_mul(Sc& r, const std::uint64_t a[4], const std::uint64_t b[4]) {
    std::uint64_t t[8];
    mul_256(t, a, b);
    mont_reduce(r, t);
}

P256_INLINE void mont_sqr(Sc& r, const std::uint64_t a[4]) {
    std::uint64_t t[8];
    sqr_256(t, a);
    mont_reduce(r, t);
}

// r = a^e in Montgomery form for a public exponent e, left to right with
// sliding windows of up to 5 bits over precomputed odd powers. The control
// flow and table indices follow only the bits of e.
void mont_pow(Sc& r, const Sc& a, const U256& e) {
    constexpr int kW = 5;
    Sc odd[1 << (kW - 1)];  // a^1, a^3, ..., a^31
    Sc a2;
    odd[0] = a;
    mont_sqr(a2, a.v);
    for (int i = 1; i < (1 << (kW - 1)); ++i) mont_mul(odd[i], odd[i - 1].v, a2.v);

    int i = 255;
    while (i >= 0 && !u256_bit(e, i)) --i;
    bool started = false;
    r = odd[0];  // replaced at the first window; e = 0 is not used here
    while (i >= 0) {
        if (!u256_bit(e, i)) {
            mont_sqr(r, r.v);
            --i;
            continue;
        }
        // The longest window of at most kW bits starting here and ending
        // in a set bit.
        int low = i - kW + 1 < 0 ? 0 : i - kW + 1;
        while (!u256_bit(e, low)) ++low;
        unsigned w = 0;
        for (int j = i; j >= low; --j) w = (w << 1) | (u256_bit(e, j) ? 1u : 0u);
        if (started) {
            for (int j = i; j >= low; --j) mont_sqr(r, r.v);
            mont_mul(r, r.v, odd[w >> 1].v);
        } else {
            r = odd[w >> 1];
            started = true;
        }
        i = low - 1;
    }
}

}  // namespace

void sc_from_u256(Sc& r, const U256& a) { reduce_once(r, a.limb, 0); }

U256 sc_to_u256(const Sc& a) { return U256{{a.v[0], a.v[1], a.v[2], a.v[3]}}; }

void sc_add(Sc& r, const Sc& a, const Sc& b) {
    std::uint64_t c = 0;
    std::uint64_t s[4];
    for (int i = 0; i < 4; ++i) s[i] = addc(a.v[i], b.v[i], c);
    reduce_once(r, s, c);
}

void sc_neg(Sc& r, const Sc& a) {
    // n - a, then 0 instead of n when a = 0.
    std::uint64_t b = 0;
    std::uint64_t d[4];
    d[0] = subb(kN0, a.v[0], b);
    d[1] = subb(kN1, a.v[1], b);
    d[2] = subb(kN2, a.v[2], b);
    d[3] = subb(kN3, a.v[3], b);
    const std::uint64_t keep = ~sc_is_zero_mask(a);
    for (int i = 0; i < 4; ++i) r.v[i] = d[i] & keep;
}

void sc_mul(Sc& r, const Sc& a, const Sc& b) {
    Sc t;
    mont_mul(t, a.v, b.v);      // a b / R
    mont_mul(r, t.v, kR2.limb);  // a b
}

void sc_inv(Sc& r, const Sc& a) {
    const U256 inv = modinv_ct(sc_to_u256(a), params::n);
    r = Sc{{inv.limb[0], inv.limb[1], inv.limb[2], inv.limb[3]}};
}

void sc_inv_pow(Sc& r, const Sc& a) {
    Sc m, t;
    mont_mul(m, a.v, kR2.limb);  // a R
    mont_pow(t, m, kNMinus2);    // a^-1 R
    const std::uint64_t one[4] = {1, 0, 0, 0};
    mont_mul(r, t.v, one);
}

void sc_inv_var(Sc& r, const Sc& a) {
    const U256 inv = modinv_var(sc_to_u256(a), params::n);
    r = Sc{{inv.limb[0], inv.limb[1], inv.limb[2], inv.limb[3]}};
}

}  // namespace p256::P256_VARIANT
