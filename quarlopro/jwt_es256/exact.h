// P-256 arithmetic on Python ints, step by step as the algorithms are
// written: the definition of behaviour that the native engine must match.
// Constants and sibling helpers are read through the module's globals at the
// moment each step needs them.
#pragma once

#include "state.h"

namespace jwt {

// pow(value, -1, modulus)
PyObject* mod_inv(qrl::Call& call, PyObject* value, PyObject* modulus);

PyObject* is_on_curve_exact(qrl::Call& call, PyObject* point);
PyObject* point_add_exact(qrl::Call& call, PyObject* p1, PyObject* p2);
// Right-to-left double-and-add on the bits of k (a non-negative exact int),
// calling _point_add through the globals for every step.
PyObject* scalar_mult_exact(qrl::Call& call, PyObject* k, PyObject* point);

// `low <= value < <global bound>` as the chained comparison evaluates it:
// the bound is looked up only once the lower test has passed. -1 on error.
int in_range_of_global(qrl::Call& call, PyObject* low, PyObject* value, PyObject* bound);

// `not (1 <= value < _P256_N)`; -1 on error.
int outside_scalar_range(qrl::Call& call, PyObject* value);

// (_P256_GX, _P256_GY) through the globals.
Ref base_point(qrl::Call& call);

}  // namespace jwt
