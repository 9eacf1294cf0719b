// Public and private EC keys between DER/PEM and JWK.
#pragma once

#include "state.h"

namespace decodekey {

Ref der_spki_ec_to_jwk_native(qrl::Call& call, PyObject* der, PyObject* kid);
Ref jwk_public_key_to_pem_native(qrl::Call& call, PyObject* jwk);
Ref jwk_public_key_to_pem(qrl::Call& call, PyObject* jwk);

Ref sec1_to_jwk_native(qrl::Call& call, PyObject* ec_der, PyObject* curve_name, PyObject* kid);
Ref der_ec_private_key_to_jwk_native(qrl::Call& call, PyObject* der, PyObject* kid);
Ref der_ec_private_key_to_jwk(qrl::Call& call, PyObject* der, PyObject* kid);

Ref jwk_private_key_to_pem_native(qrl::Call& call, PyObject* jwk);
Ref jwk_private_key_to_pem(qrl::Call& call, PyObject* jwk);

}  // namespace decodekey
