// Plain 256-bit integer helpers and the curve's constants, all usable at
// compile time. These run on public values or on constants only.
#pragma once

#include "ct.h"
#include "p256.h"

namespace p256::P256_VARIANT {

namespace params {
inline constexpr U256 p{{0xFFFFFFFFFFFFFFFFull, 0x00000000FFFFFFFFull, 0x0000000000000000ull,
                         0xFFFFFFFF00000001ull}};
inline constexpr U256 b{{0x3BCE3C3E27D2604Bull, 0x651D06B0CC53B0F6ull, 0xB3EBBD55769886BCull,
                         0x5AC635D8AA3A93E7ull}};
inline constexpr U256 n{{0xF3B9CAC2FC632551ull, 0xBCE6FAADA7179E84ull, 0xFFFFFFFFFFFFFFFFull,
                         0xFFFFFFFF00000000ull}};
inline constexpr U256 half_n{{0x79DCE5617E3192A8ull, 0xDE737D56D38BCF42ull,
                              0x7FFFFFFFFFFFFFFFull, 0x7FFFFFFF80000000ull}};
inline constexpr U256 gx{{0xF4A13945D898C296ull, 0x77037D812DEB33A0ull, 0xF8BCE6E563A440F2ull,
                          0x6B17D1F2E12C4247ull}};
inline constexpr U256 gy{{0xCBB6406837BF51F5ull, 0x2BCE33576B315ECEull, 0x8EE7EB4A7C0F9E16ull,
                          0x4FE342E2FE1A7F9Bull}};
}  // namespace params

constexpr int u256_cmp(const U256& a, const U256& b) {
    for (int i = 3; i >= 0; --i) {
        if (a.limb[i] != b.limb[i]) return a.limb[i] < b.limb[i] ? -1 : 1;
    }
    return 0;
}

constexpr bool u256_is_zero(const U256& a) {
    return (a.limb[0] | a.limb[1] | a.limb[2] | a.limb[3]) == 0;
}

constexpr std::uint64_t u256_add(const U256& a, const U256& b, U256& r) {
    std::uint64_t c = 0;
    for (int i = 0; i < 4; ++i) r.limb[i] = addc(a.limb[i], b.limb[i], c);
    return c;
}

constexpr std::uint64_t u256_sub(const U256& a, const U256& b, U256& r) {
    std::uint64_t c = 0;
    for (int i = 0; i < 4; ++i) r.limb[i] = subb(a.limb[i], b.limb[i], c);
    return c;
}

// (a + b) mod m for a, b < m.
constexpr U256 u256_add_mod(const U256& a, const U256& b, const U256& m) {
    U256 s{}, d{};
    std::uint64_t carry = u256_add(a, b, s);
    std::uint64_t borrow = u256_sub(s, m, d);
    return (carry || !borrow) ? d : s;
}

// a * 2^256 mod m for a < m: the Montgomery form of a, by 256 doublings.
constexpr U256 u256_to_mont(U256 a, const U256& m) {
    for (int i = 0; i < 256; ++i) a = u256_add_mod(a, a, m);
    return a;
}

// -m0^-1 mod 2^64 for odd m0, by Newton iteration (each step doubles the
// number of correct low bits).
constexpr std::uint64_t neg_inv64(std::uint64_t m0) {
    std::uint64_t x = m0;  // correct to 3 bits for odd m0
    for (int i = 0; i < 5; ++i) x *= 2 - m0 * x;
    return 0 - x;
}

constexpr bool u256_bit(const U256& a, int i) {
    return i >= 0 && i < 256 && ((a.limb[i >> 6] >> (i & 63)) & 1);
}

}  // namespace p256::P256_VARIANT
