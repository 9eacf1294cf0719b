// Point doubling and addition.
#include "group.h"

namespace p256 {

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

// Doubling for a = -3 (3M + 5S):
//   delta = Z^2, gamma = Y^2, beta = X gamma, alpha = 3 (X - delta)(X + delta),
//   X3 = alpha^2 - 8 beta, Z3 = (Y + Z)^2 - gamma - delta,
//   Y3 = alpha (4 beta - X3) - 8 gamma^2.
void gej_double_var(Gej& r, const Gej& a) {
    // y = 0 would be a point of order 2, which a prime-order curve lacks;
    // the test keeps the formulas honest for any input.
    if (a.infinity || fe_is_zero_var(a.y)) {
        gej_set_infinity(r);
        return;
    }
    Fe delta, gamma, beta, alpha, t, u;
    fe_sqr(delta, a.z);
    fe_sqr(gamma, a.y);
    fe_mul(beta, a.x, gamma);
    fe_sub(t, a.x, delta);
    fe_add(u, a.x, delta);
    fe_mul(alpha, t, u);
    fe_add(t, alpha, alpha);
    fe_add(alpha, alpha, t);
    fe_add(t, a.y, a.z);
    fe_sqr(t, t);
    fe_sub(t, t, gamma);
    fe_sub(r.z, t, delta);
    fe_add(beta, beta, beta);  // 2 beta
    fe_add(beta, beta, beta);  // 4 beta
    fe_sqr(t, alpha);
    fe_add(u, beta, beta);
    fe_sub(r.x, t, u);
    fe_sub(t, beta, r.x);
    fe_mul(t, alpha, t);
    fe_sqr(gamma, gamma);
    fe_add(gamma, gamma, gamma);
    fe_add(gamma, gamma, gamma);
    fe_add(gamma, gamma, gamma);  // 8 gamma^2
    fe_sub(r.y, t, gamma);
    r.infinity = false;
}

// Mixed addition (7M + 4S):
//   Z1Z1 = Z1^2, U2 = x2 Z1Z1, S2 = y2 Z1 Z1Z1, H = U2 - X1, HH = H^2,
//   I = 4 HH, J = H I, R = 2 (S2 - Y1), V = X1 I,
//   X3 = R^2 - J - 2V, Y3 = R (V - X3) - 2 Y1 J, Z3 = (Z1 + H)^2 - Z1Z1 - HH.
// The first part gives H and S2 - Y1; H = 0 means equal x, where the points
// are equal (double) or opposite (infinity) and the formulas do not apply.
static inline void madd_start(Fe& z1z1, Fe& h, Fe& rr, const Gej& a, const Fe& bx, const Fe& by) {
    Fe u2, s2;
    fe_sqr(z1z1, a.z);
    fe_mul(u2, bx, z1z1);
    fe_mul(s2, by, a.z);
    fe_mul(s2, s2, z1z1);
    fe_sub(h, u2, a.x);
    fe_sub(rr, s2, a.y);
}

static inline void madd_finish(Gej& r, const Gej& a, const Fe& z1z1, const Fe& h, Fe rr) {
    Fe hh, i, j, v, t;
    fe_add(rr, rr, rr);
    fe_sqr(hh, h);
    fe_add(i, hh, hh);
    fe_add(i, i, i);
    fe_mul(j, h, i);
    fe_mul(v, a.x, i);
    fe_add(t, a.z, h);
    fe_sqr(t, t);
    fe_sub(t, t, z1z1);
    fe_sub(r.z, t, hh);
    fe_sqr(t, rr);
    fe_sub(t, t, j);
    fe_sub(t, t, v);
    fe_sub(r.x, t, v);
    fe_sub(t, v, r.x);
    fe_mul(t, rr, t);
    fe_mul(j, a.y, j);
    fe_add(j, j, j);
    fe_sub(r.y, t, j);
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
    Fe z1z1, h, rr;
    madd_start(z1z1, h, rr, a, b.x, b.y);
    if (fe_is_zero_var(h)) {
        if (fe_is_zero_var(rr)) {
            gej_double_var(r, a);
        } else {
            gej_set_infinity(r);
        }
        return;
    }
    madd_finish(r, a, z1z1, h, rr);
}

// General addition (11M + 5S):
//   U1 = X1 Z2^2, U2 = X2 Z1^2, S1 = Y1 Z2^3, S2 = Y2 Z1^3, H = U2 - U1,
//   I = (2H)^2, J = H I, R = 2 (S2 - S1), V = U1 I,
//   X3 = R^2 - J - 2V, Y3 = R (V - X3) - 2 S1 J,
//   Z3 = ((Z1 + Z2)^2 - Z1^2 - Z2^2) H.
void gej_add_var(Gej& r, const Gej& a, const Gej& b) {
    if (a.infinity) {
        r = b;
        return;
    }
    if (b.infinity) {
        r = a;
        return;
    }
    Fe z1z1, z2z2, u1, u2, s1, s2, h, i, j, rr, v, t;
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
    fe_add(rr, rr, rr);
    fe_add(i, h, h);
    fe_sqr(i, i);
    fe_mul(j, h, i);
    fe_mul(v, u1, i);
    fe_add(t, a.z, b.z);
    fe_sqr(t, t);
    fe_sub(t, t, z1z1);
    fe_sub(t, t, z2z2);
    fe_mul(r.z, t, h);
    fe_sqr(t, rr);
    fe_sub(t, t, j);
    fe_sub(t, t, v);
    fe_sub(r.x, t, v);
    fe_sub(t, v, r.x);
    fe_mul(t, rr, t);
    fe_mul(j, s1, j);
    fe_add(j, j, j);
    fe_sub(r.y, t, j);
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
    Fe z1z1, h, rr;
    madd_start(z1z1, h, rr, a, b.x, b.y);
    madd_finish(r, a, z1z1, h, rr);
}

}  // namespace p256
