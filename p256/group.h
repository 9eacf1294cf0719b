// The group law on y^2 = x^3 - 3x + b over the field.
//
// Two representations:
//  * Ge: affine (x, y), with a flag for the point at infinity;
//  * Gej: Jacobian (X, Y, Z) for (X/Z^2, Y/Z^3), with an infinity flag. The
//    variable-time functions handle every exceptional case by branch; the
//    constant-time addition has none and leaves them to its caller.
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

struct GeStorage {
    Fe x, y;
};

}  // namespace p256

namespace p256::P256_VARIANT {

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

// r = a + b for Jacobian a and affine b (8M + 3S) with no branch at all:
// only valid when a is not infinity and a != +-b. The caller rules those
// cases out (or selects the right result by mask).
void gej_add_ge_distinct(Gej& r, const Gej& a, const GeStorage& b);

// r = a when mask is all ones, else r is left alone (coordinates only).
inline void gej_cmov(Gej& r, const Gej& a, std::uint64_t mask) {
    fe_cmov(r.x, a.x, mask);
    fe_cmov(r.y, a.y, mask);
    fe_cmov(r.z, a.z, mask);
}

}  // namespace p256::P256_VARIANT
