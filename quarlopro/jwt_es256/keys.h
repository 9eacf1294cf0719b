// Key pairs and P-256 JSON Web Keys.
#pragma once

#include "state.h"

namespace jwt {

PyObject* public_key_xy_from_jwk(qrl::Call& call, PyObject* jwk);
PyObject* private_key_d_from_jwk(qrl::Call& call, PyObject* jwk);
PyObject* int_to_b64url_32(qrl::Call& call, PyObject* value);
PyObject* generate_keypair(qrl::Call& call);
PyObject* generate_keypair_jwk(qrl::Call& call, PyObject* kid);

}  // namespace jwt
