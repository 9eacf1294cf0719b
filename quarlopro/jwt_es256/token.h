// Compact ES256 JSON Web Tokens: signing and verification with the claim checks.
#pragma once

#include "state.h"

namespace jwt {

// The module's own Base64url encoder.
inline constexpr qrl::Route kB64urlEncodeRoute{"_b64url_encode"};
// The module's own signer.
inline constexpr qrl::Route kOwnSignerRoute{"_sign_ecdsa_p256_sha256"};

// The first segment of a token with the default header, made at import by
// the standard json and base64 functions (null, and no error, when they are
// not as expected).
Ref default_header_segment(const State& s, PyObject* module);

PyObject* sign_jwt(qrl::Call& call, PyObject* payload, PyObject* private_key_d, PyObject* header);
PyObject* sign_jwt_with_jwk(qrl::Call& call, PyObject* payload, PyObject* jwk, PyObject* header);
PyObject* verify_jwt(qrl::Call& call, PyObject* token, PyObject* public_key_xy, PyObject* expected_iss,
                     PyObject* expected_aud, PyObject* leeway_seconds);

}  // namespace jwt
