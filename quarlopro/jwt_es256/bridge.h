// Between Python ints and the native P-256 engine: conversions, and the
// arithmetic entries that take the engine where it provably gives the
// result of the exact path.
#pragma once

#include "p256/p256.h"
#include "state.h"

namespace jwt {

// What each native computation reads on the exact path, directly or through
// the original helpers it would call.
// _is_on_curve reads _INF and the curve constants.
inline constexpr qrl::Route kCurveCheckRoute{"_INF", "_P256_P", "_P256_A", "_P256_B"};
// _scalar_mult reads _INF and _point_add, which reads _INF, p, a and _mod_inv.
inline constexpr qrl::Route kScalarMultRoute{"_INF", "_point_add", "_P256_P", "_P256_A", "_mod_inv"};

// An exact int in 0 .. 2^256-1 as engine limbs; false for anything else.
bool load_u256(PyObject* value, p256::U256& out);
// The same for a secret: no copy is left behind but `out`, which the caller
// wipes (forget) once it is done with it.
bool load_secret_u256(PyObject* value, p256::U256& out);
void forget(p256::U256& secret);
// The key of a native signature, for callers that know _P256_N is the
// original: the module's test 1 <= d < _P256_N, made on the limbs in
// constant time, for an exact int d (as the argument conversion leaves it).
// True with the key in `key`, for the caller to forget; false, with "Invalid
// private key" raised and nothing left behind, for a key outside.
bool load_private_key(PyObject* d, p256::U256& key);
Ref int_from_u256(const p256::U256& value);
Ref point_from_u256(const p256::U256& x, const p256::U256& y);
// An exact tuple of two exact ints on the curve, as engine coordinates.
bool load_curve_point(PyObject* point, p256::U256& x, p256::U256& y);
// 1 <= v < n
bool scalar_in_range(const p256::U256& v);

PyObject* is_on_curve(qrl::Call& call, PyObject* point);
PyObject* point_add(qrl::Call& call, PyObject* p1, PyObject* p2);
PyObject* scalar_mult(qrl::Call& call, PyObject* k, PyObject* point);

}  // namespace jwt
