// The group law on y^2 = x^3 - 3x + b over the field.
//
// Three representations:
//  * Ge: affine (x, y), with a flag for the point at infinity;
//  * Gej: Jacobian (X, Y, Z) for (X/Z^2, Y/Z^3), with an infinity flag; the
//    variable-time code uses it, handling every exceptional case by branch;
//  * Gep: homogeneous projective (X, Y, Z) for (X/Z, Y/Z), infinity (0:1:0);
//    the constant-time code uses it with complete addition formulas, which
//    have no exceptional cases at all.
// GeStorage is an affine point without the flag, as kept in tables.
#pragma once

#include <cstddef>

#include "field.h"

namespace p256 {

struct Ge {
    Fe x, y;
    bool infinity;
};

struct Gej {
    Fe x, y, z;
    bool infinity;
};

struct Gep {
    Fe x, y, z;
};

struct GeStorage {
    Fe x, y;
};

// The base point, in Montgomery form.
Ge ge_generator();

// y^2 == x^3 - 3x + b.
bool ge_on_curve_var(const Ge& a);

inline void ge_neg(Ge& r, const Ge& a) {
    r.x = a.x;
    fe_neg(r.y, a.y);
    r.infinity = a.infinity;
}

inline void ge_from_storage(Ge& r, const GeStorage& a) {
    r.x = a.x;
    r.y = a.y;
    r.infinity = false;
}

// ---- Variable time (public points) ---------------------------------------

void gej_set_infinity(Gej& r);
void gej_set_ge(Gej& r, const Ge& a);

// r = 2a.
void gej_double_var(Gej& r, const Gej& a);

// r = a + b with b affine; any inputs, including a == b, a == -b, infinity.
void gej_add_ge_var(Gej& r, const Gej& a, const Ge& b);

// r = a + b; any inputs.
void gej_add_var(Gej& r, const Gej& a, const Gej& b);

// Affine form of a (one inversion).
void ge_set_gej_var(Ge& r, const Gej& a);

// Affine forms of a[0..n) with a single inversion; r and a may not overlap.
void ge_set_all_gej_var(Ge* r, const Gej* a, std::size_t n);

// ---- Constant time -------------------------------------------------------

void gep_set_infinity(Gep& r);

// r = a + b for any a (infinity included) and affine b, by the complete
// mixed formulas of Renes, Costello and Batina for a = -3 (11M + 2 b-mults).
void gep_add_ge(Gep& r, const Gep& a, const GeStorage& b);

// r = a when mask is all ones, else r is left alone.
inline void gep_cmov(Gep& r, const Gep& a, std::uint64_t mask) {
    fe_cmov(r.x, a.x, mask);
    fe_cmov(r.y, a.y, mask);
    fe_cmov(r.z, a.z, mask);
}

}  // namespace p256
