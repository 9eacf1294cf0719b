// Base64url members and PEM armour.
#pragma once

#include "state.h"

namespace decodekey {

// While `re` and the functions of it the block search relies on are as the
// module found them, PEM blocks are found natively (in linear time).
inline constexpr qrl::Route kPemSearchRoute{"re.search", "re._compile", "re.S"};

// _b64u(b) natively / through the module global.
Ref b64u_native(qrl::Call& call, PyObject* data);
Ref b64u(qrl::Call& call, PyObject* data);
// _b64u_decode(s) natively / through the module global.
Ref b64u_decode_native(qrl::Call& call, PyObject* text);
Ref b64u_decode(qrl::Call& call, PyObject* text);

// _pem_armor(label, der) natively / through the module global.
Ref pem_armor_native(qrl::Call& call, PyObject* label, PyObject* der);
Ref pem_armor(qrl::Call& call, PyObject* label, PyObject* der);

Ref pem_public_key_to_der_native(qrl::Call& call, PyObject* text);
Ref pem_private_key_to_der_native(qrl::Call& call, PyObject* text);
Ref pem_private_key_to_der(qrl::Call& call, PyObject* text);

}  // namespace decodekey
