// A slow reference for the tests: modular arithmetic by shift-and-add and
// the textbook affine group law. Written for obviousness, not speed; it
// shares no code with the engine beyond the U256 type and compare().
#pragma once

#include "testing.h"

namespace ref {

using p256::U256;

inline U256 P() { return testing::h("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff"); }
inline U256 N() { return testing::h("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551"); }
inline U256 B() { return testing::h("5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b"); }
inline U256 Gx() { return testing::h("6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296"); }
inline U256 Gy() { return testing::h("4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5"); }

// a + b as a 257-bit number: returns the carry.
inline int add_raw(const U256& a, const U256& b, U256& r) {
    unsigned carry = 0;
    for (int i = 0; i < 4; ++i) {
        const std::uint64_t s = a.limb[i] + b.limb[i];
        const unsigned c1 = s < a.limb[i];
        r.limb[i] = s + carry;
        const unsigned c2 = r.limb[i] < s;
        carry = c1 + c2;
    }
    return static_cast<int>(carry);
}

inline int sub_raw(const U256& a, const U256& b, U256& r) {
    unsigned borrow = 0;
    for (int i = 0; i < 4; ++i) {
        const std::uint64_t d = a.limb[i] - b.limb[i];
        const unsigned b1 = a.limb[i] < b.limb[i];
        r.limb[i] = d - borrow;
        const unsigned b2 = d < borrow;
        borrow = b1 + b2;
    }
    return static_cast<int>(borrow);
}

// x mod m for any 256-bit x (repeated subtraction; m > 2^255 here).
inline U256 reduce(U256 x, const U256& m) {
    while (p256::compare(x, m) >= 0) sub_raw(x, m, x);
    return x;
}

inline U256 add_mod(const U256& a, const U256& b, const U256& m) {
    U256 r;
    const int carry = add_raw(a, b, r);
    if (carry || p256::compare(r, m) >= 0) sub_raw(r, m, r);
    return r;
}

inline U256 sub_mod(const U256& a, const U256& b, const U256& m) {
    U256 r;
    if (sub_raw(a, b, r)) add_raw(r, m, r);
    return r;
}

inline bool bit(const U256& a, int i) { return (a.limb[i / 64] >> (i % 64)) & 1; }

// a * b mod m by double-and-add over the bits of b.
inline U256 mul_mod(const U256& a, const U256& b, const U256& m) {
    U256 r{{0, 0, 0, 0}};
    const U256 ar = reduce(a, m);
    for (int i = 255; i >= 0; --i) {
        r = add_mod(r, r, m);
        if (bit(b, i)) r = add_mod(r, ar, m);
    }
    return r;
}

inline U256 pow_mod(const U256& a, const U256& e, const U256& m) {
    U256 r{{1, 0, 0, 0}};
    for (int i = 255; i >= 0; --i) {
        r = mul_mod(r, r, m);
        if (bit(e, i)) r = mul_mod(r, a, m);
    }
    return r;
}

// Inverse modulo a prime by Fermat.
inline U256 inv_mod(const U256& a, const U256& m) {
    U256 e;
    sub_raw(m, U256{{2, 0, 0, 0}}, e);
    return pow_mod(a, e, m);
}

struct Point {
    U256 x, y;
    bool inf;
};

inline Point infinity() { return Point{{{0, 0, 0, 0}}, {{0, 0, 0, 0}}, true}; }
inline Point G() { return Point{Gx(), Gy(), false}; }

inline bool same(const Point& a, const Point& b) {
    if (a.inf || b.inf) return a.inf == b.inf;
    return testing::eq(a.x, b.x) && testing::eq(a.y, b.y);
}

inline bool on_curve(const Point& a) {
    const U256 p = P();
    const U256 y2 = mul_mod(a.y, a.y, p);
    U256 rhs = mul_mod(mul_mod(a.x, a.x, p), a.x, p);
    const U256 three_x = add_mod(add_mod(a.x, a.x, p), a.x, p);
    rhs = add_mod(sub_mod(rhs, three_x, p), B(), p);
    return testing::eq(y2, rhs);
}

inline Point neg(const Point& a) {
    if (a.inf) return a;
    return Point{a.x, sub_mod(U256{{0, 0, 0, 0}}, a.y, P()), false};
}

// Chord and tangent.
inline Point add(const Point& a, const Point& b) {
    const U256 p = P();
    if (a.inf) return b;
    if (b.inf) return a;
    U256 lambda;
    if (testing::eq(a.x, b.x)) {
        if (!testing::eq(a.y, b.y) || p256::is_zero(a.y)) return infinity();
        // (3 x^2 - 3) / (2 y)
        U256 num = mul_mod(a.x, a.x, p);
        num = add_mod(add_mod(num, num, p), num, p);
        num = sub_mod(num, U256{{3, 0, 0, 0}}, p);
        lambda = mul_mod(num, inv_mod(add_mod(a.y, a.y, p), p), p);
    } else {
        lambda = mul_mod(sub_mod(b.y, a.y, p), inv_mod(sub_mod(b.x, a.x, p), p), p);
    }
    const U256 x3 = sub_mod(sub_mod(mul_mod(lambda, lambda, p), a.x, p), b.x, p);
    const U256 y3 = sub_mod(mul_mod(lambda, sub_mod(a.x, x3, p), p), a.y, p);
    return Point{x3, y3, false};
}

// k a by double-and-add (slow: only for small k in the tests).
inline Point mul_small(std::uint64_t k, const Point& a) {
    Point r = infinity();
    for (int i = 63; i >= 0; --i) {
        r = add(r, r);
        if ((k >> i) & 1) r = add(r, a);
    }
    return r;
}

}  // namespace ref
