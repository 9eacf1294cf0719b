// ECDSA P-256 / SHA-256 verification, and DER signatures.
#pragma once

#include "state.h"

namespace jwt {

// The verifier after the raw signature is read: everything the signature
// tail of the signer reads, plus the on-curve check of the key and b.
inline constexpr qrl::Route kVerifyRoute{"_INF",     "_point_add", "_P256_P",      "_P256_A",
                                         "_mod_inv", "_scalar_mult", "_P256_N",    "_P256_GX",
                                         "_P256_GY", "_is_on_curve", "_P256_B"};

PyObject* verify_ecdsa(qrl::Call& call, PyObject* message, PyObject* signature, PyObject* public_key_xy);
PyObject* der_signature_to_raw64(qrl::Call& call, PyObject* signature);

}  // namespace jwt
