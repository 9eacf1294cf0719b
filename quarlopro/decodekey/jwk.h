// JWK members and the pieces of key structures both key writers share.
#pragma once

#include "state.h"

namespace decodekey {

// A new JWK {"kty": "EC", "crv": crv}.
Ref new_jwk(qrl::Call& call, PyObject* crv);
// Adds "kid" last when `kid` is true (a non-empty text).
Ref with_kid(qrl::Call& call, Ref jwk, PyObject* kid);

// x and y of an uncompressed point b"\x04" + x + y whose coordinates are
// `size` octets: point[1:1 + size] and point[1 + size:].
bool split_point(qrl::Call& call, PyObject* point, PyObject* size, Ref& x, Ref& y);
// `len(point) OP 1 + 2 * size`; -1 on error.
int compare_point_length(qrl::Call& call, PyObject* point, int op, PyObject* size);

// `jwk.get("kty") != "EC"` and `jwk.get("crv") not in CURVES_BY_NAME`, with
// their messages. Returns crv, or null with the error raised.
Ref check_kty_and_crv(qrl::Call& call, PyObject* jwk);
// `"a" in jwk and "b" in jwk`; -1 on error.
int has_members(PyObject* jwk, PyObject* a, PyObject* b);
// _b64u_decode(jwk[member])
Ref decode_member(qrl::Call& call, PyObject* jwk, PyObject* member);
// x and y decoded from the JWK, each checked to be `size` octets.
bool decode_coordinates(qrl::Call& call, PyObject* jwk, PyObject* size, Ref& x, Ref& y);

// _der_tlv(0x30, _der_tlv(0x06, OID_EC_PUBLIC_KEY) + _der_tlv(0x06, curve_oid))
Ref algorithm_identifier(qrl::Call& call, PyObject* curve_oid);
// b"\x04" + x + y: an uncompressed point.
Ref uncompressed_point(qrl::Call& call, const Ref& x, const Ref& y);
// _der_tlv(0x03, b"\x00" + point): the point with no unused bits.
Ref point_bit_string(qrl::Call& call, const Ref& point);

}  // namespace decodekey
