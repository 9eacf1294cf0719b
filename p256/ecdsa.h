// ECDSA over P-256 in this variant: the bodies of ecdsa_verify and
// ecdsa_sign_ct (p256.h), with the same contracts.
#pragma once

#include "ct.h"
#include "p256.h"

namespace p256::P256_VARIANT {

bool point_on_curve(const U256& x, const U256& y);

bool verify_signature(const U256& e, const U256& r, const U256& s, const U256& qx, const U256& qy);

SignStatus sign_with_nonce_ct(const U256& k, const U256& d, const U256& e, U256& r, U256& s);

}  // namespace p256::P256_VARIANT
