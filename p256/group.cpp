// Point doubling and addition.
#include "group.h"

namespace p256::P256_VARIANT {

Ge ge_generator() {
    Ge g;
    fe_from_u256(g.x, params::gx);
    fe_from_u256(g.y, params::gy);
    g.infinity = false;
    return g;
}

bool ge_on_curve_var(const Ge& a) {
    Fe y2, x3, t;
    fe_sqr(y2, a.y);
    fe_sqr(x3, a.x);
    fe_mul(x3, x3, a.x);
    fe_add(t, a.x, a.x);
    fe_add(t, t, a.x);
    fe_sub(x3, x3, t);
    fe_add(x3, x3, kFeB);
    return fe_equal_var(y2, x3);
}

void gej_set_infinity(Gej& r) {
    r.x = kFeZero;
    r.y = kFeOne;
    r.z = kFeZero;
    r.infinity = true;
}

void gej_set_ge(Gej& r, const Ge& a) {
    if (a.infinity) {
        gej_set_infinity(r);
        return;
    }
    r.x = a.x;
    r.y = a.y;
    r.z = kFeOne;
    r.infinity = false;
}

// Doubling for a = -3 (4M + 4S), with Y' = 2Y to save additions:
//   alpha = 3 (X - Z^2)(X + Z^2), Z3 = Y' Z, C = Y'^2 = 4 Y^2, D = X C = 4 X Y^2,
//   X3 = alpha^2 - 2 D, Y3 = alpha (D - X3) - C^2 / 2   (C^2 / 2 = 8 Y^4).
// One more multiplication than the 3M + 5S form, but six fewer additions,
// whose carry chains cost about as much here.
void gej_double_var(Gej& r, const Gej& a) {
    // y = 0 would be a point of order 2, which a prime-order curve lacks;
    // the test keeps the formulas honest for any input.
    if (a.infinity || fe_is_zero_var(a.y)) {
        gej_set_infinity(r);
        return;
    }
    Fe zz, t, u, alpha, c, d;
    fe_sqr(zz, a.z);
    fe_sub(t, a.x, zz);
    fe_add(u, a.x, zz);
    fe_mul(t, t, u);
    fe_add(alpha, t, t);
    fe_add(alpha, alpha, t);
    fe_add(t, a.y, a.y);
    fe_mul(r.z, t, a.z);
    fe_sqr(c, t);
    fe_mul(d, a.x, c);
    fe_sqr(c, c);
    fe_half(c, c);
    fe_sqr(t, alpha);
    fe_add(u, d, d);
    fe_sub(r.x, t, u);
    fe_sub(t, d, r.x);
    fe_mul(t, alpha, t);
    fe_sub(r.y, t, c);
    r.infinity = false;
}

// Mixed addition (8M + 3S):
//   U2 = x2 Z1^2, S2 = y2 Z1^3, H = U2 - X1, R = S2 - Y1, HH = H^2, HHH = H HH,
//   V = X1 HH, X3 = R^2 - HHH - 2V, Y3 = R (V - X3) - Y1 HHH, Z3 = Z1 H.
// One more multiplication and one squaring fewer than the 7M + 4S form, and
// half as many additions, whose carry chains cost about as much here.
// The first part gives H and R; H = 0 means equal x, where the points are
// equal (double) or opposite (infinity) and the formulas do not apply.
static inline void madd_start(Fe& h, Fe& rr, const Gej& a, const Fe& bx, const Fe& by) {
    Fe z1z1, z3, u2, s2;
    fe_sqr(z1z1, a.z);
    fe_mul(z3, z1z1, a.z);
    fe_mul(u2, bx, z1z1);
    fe_mul(s2, by, z3);
    fe_sub(h, u2, a.x);
    fe_sub(rr, s2, a.y);
}

// r may be a.
static inline void madd_finish(Gej& r, const Gej& a, const Fe& h, const Fe& rr) {
    Fe hh, hhh, v, t, y1h;
    fe_sqr(hh, h);
    fe_mul(hhh, hh, h);
    fe_mul(v, a.x, hh);
    fe_mul(y1h, a.y, hhh);
    fe_mul(r.z, a.z, h);
    fe_sqr(t, rr);
    fe_sub(t, t, hhh);
    fe_sub(t, t, v);
    fe_sub(r.x, t, v);
    fe_sub(t, v, r.x);
    fe_mul(t, rr, t);
    fe_sub(r.y, t, y1h);
    r.infinity = false;
}

void gej_add_ge_var(Gej& r, const Gej& a, const Ge& b) {
    if (a.infinity) {
        gej_set_ge(r, b);
        return;
    }
    if (b.infinity) {
        r = a;
        return;
    }
    Fe h, rr;
    madd_start(h, rr, a, b.x, b.y);
    if (fe_is_zero_var(h)) {
        if (fe_is_zero_var(rr)) {
            gej_double_var(r, a);
        } else {
            gej_set_infinity(r);
        }
        return;
    }
    madd_finish(r, a, h, rr);
}

// General addition (12M + 4S):
//   U1 = X1 Z2^2, U2 = X2 Z1^2, S1 = Y1 Z2^3, S2 = Y2 Z1^3, H = U2 - U1,
//   R = S2 - S1, HH = H^2, HHH = H HH, V = U1 HH,
//   X3 = R^2 - HHH - 2V, Y3 = R (V - X3) - S1 HHH, Z3 = Z1 Z2 H.
void gej_add_var(Gej& r, const Gej& a, const Gej& b) {
    if (a.infinity) {
        r = b;
        return;
    }
    if (b.infinity) {
        r = a;
        return;
    }
    Fe z1z1, z2z2, u1, u2, s1, s2, h, rr, hh, hhh, v, t;
    fe_sqr(z1z1, a.z);
    fe_sqr(z2z2, b.z);
    fe_mul(u1, a.x, z2z2);
    fe_mul(u2, b.x, z1z1);
    fe_mul(s1, a.y, b.z);
    fe_mul(s1, s1, z2z2);
    fe_mul(s2, b.y, a.z);
    fe_mul(s2, s2, z1z1);
    fe_sub(h, u2, u1);
    fe_sub(rr, s2, s1);
    if (fe_is_zero_var(h)) {
        if (fe_is_zero_var(rr)) {
            gej_double_var(r, a);
        } else {
            gej_set_infinity(r);
        }
        return;
    }
    fe_sqr(hh, h);
    fe_mul(hhh, hh, h);
    fe_mul(v, u1, hh);
    fe_mul(s1, s1, hhh);
    fe_mul(t, a.z, b.z);
    fe_mul(r.z, t, h);
    fe_sqr(t, rr);
    fe_sub(t, t, hhh);
    fe_sub(t, t, v);
    fe_sub(r.x, t, v);
    fe_sub(t, v, r.x);
    fe_mul(t, rr, t);
    fe_sub(r.y, t, s1);
    r.infinity = false;
}

void ge_set_gej_var(Ge& r, const Gej& a) {
    if (a.infinity) {
        r.x = kFeZero;
        r.y = kFeZero;
        r.infinity = true;
        return;
    }
    Fe zi, zi2, zi3;
    fe_inv_var(zi, a.z);
    fe_sqr(zi2, zi);
    fe_mul(zi3, zi2, zi);
    fe_mul(r.x, a.x, zi2);
    fe_mul(r.y, a.y, zi3);
    r.infinity = false;
}

// Montgomery's trick: the running products of the Z coordinates are kept in
// r[i].x, one inversion of the total, then a backward pass peels off each
// 1/Z_i.
void ge_set_all_gej_var(Ge* r, const Gej* a, std::size_t n) {
    Fe acc = kFeOne;
    for (std::size_t i = 0; i < n; ++i) {
        r[i].infinity = a[i].infinity;
        if (a[i].infinity) continue;
        fe_mul(acc, acc, a[i].z);
        r[i].x = acc;
    }
    Fe inv;
    fe_inv_var(inv, acc);
    for (std::size_t k = n; k-- > 0;) {
        if (r[k].infinity) {
            r[k].x = kFeZero;
            r[k].y = kFeZero;
            continue;
        }
        // 1/Z_k = inv * (product of the earlier Z's).
        Fe zi = inv;
        std::size_t prev = k;
        while (prev > 0 && a[prev - 1].infinity) --prev;
        if (prev > 0) fe_mul(zi, inv, r[prev - 1].x);
        fe_mul(inv, inv, a[k].z);
        Fe zi2, zi3;
        fe_sqr(zi2, zi);
        fe_mul(zi3, zi2, zi);
        fe_mul(r[k].x, a[k].x, zi2);
        fe_mul(r[k].y, a[k].y, zi3);
    }
}

void gej_add_ge_distinct(Gej& r, const Gej& a, const GeStorage& b) {
    Fe h, rr;
    madd_start(h, rr, a, b.x, b.y);
    madd_finish(r, a, h, rr);
}

}  // namespace p256::P256_VARIANT
