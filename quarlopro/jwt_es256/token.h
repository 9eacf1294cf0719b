// Compact ES256 JSON Web Tokens: signing and verification with the claim checks.
#pragma once

#include "state.h"

namespace jwt {

PyObject* sign_jwt(qrl::Call& call, PyObject* payload, PyObject* private_key_d, PyObject* header);
PyObject* sign_jwt_with_jwk(qrl::Call& call, PyObject* payload, PyObject* jwk, PyObject* header);
PyObject* verify_jwt(qrl::Call& call, PyObject* token, PyObject* public_key_xy, PyObject* expected_iss,
                     PyObject* expected_aud, PyObject* leeway_seconds);

}  // namespace jwt
