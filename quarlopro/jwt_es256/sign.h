// Deterministic ECDSA signing: the RFC 6979 nonce and the signature.
#pragma once

#include "p256/p256.h"
#include "state.h"
#include "stdlib.h"

namespace jwt {

// The signer after its nonce: n, G, _scalar_mult (and what it reads), _mod_inv.
inline constexpr qrl::Route kSignTailRoute{"_INF",         "_point_add", "_P256_P",  "_P256_A", "_mod_inv",
                                           "_scalar_mult", "_P256_N",    "_P256_GX", "_P256_GY"};
// The nonce function reads n besides its HMACs (kHmacRoute).
inline constexpr qrl::Route kNonceBoundRoute{"_P256_N"};
// The signer calls the module's own nonce function.
inline constexpr qrl::Route kOwnNonceRoute{"_rfc6979_k_p256_sha256"};

// What the signer's native signature relies on.
inline constexpr const qrl::Route* kNativeSigningRoutes[] = {&kSha256Route, &kOwnNonceRoute, &kNonceBoundRoute,
                                                             &kHmacRoute, &kSignTailRoute};

// Whether _sign_ecdsa_p256_sha256(message, d, deterministic=True) is the
// engine's signature of the message (p256::ecdsa_sign_message_ct) for exact
// bytes and a key in range: everything it reads is as at import.
bool signs_natively(qrl::Call& call);
// False with the signer's ValueError raised for a nonce that gave r == 0 or
// s == 0.
bool sign_status_ok(p256::SignStatus status);

PyObject* rfc6979_k(qrl::Call& call, PyObject* private_key_d, PyObject* message_hash);
PyObject* sign_ecdsa(qrl::Call& call, PyObject* message, PyObject* private_key_d, PyObject* deterministic);

}  // namespace jwt
