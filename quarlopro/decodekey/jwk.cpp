// JWK members and shared key structure pieces.
#include "jwk.h"

#include "elements.h"
#include "pem.h"

namespace decodekey {

Ref new_jwk(qrl::Call& call, PyObject* crv) {
    const Names& n = state(call).names;
    Ref jwk = qrl::steal(PyDict_New());
    if (!jwk || !qrl::dict_set(jwk.get(), n.kty, qrl::borrow(n.EC)) || !qrl::dict_set(jwk.get(), n.crv, qrl::borrow(crv))) return {};
    return jwk;
}

Ref with_kid(qrl::Call& call, Ref jwk, PyObject* kid) {
    const int wanted = PyObject_IsTrue(kid);
    if (wanted < 0) return {};
    if (wanted && !qrl::dict_set(jwk.get(), state(call).names.kid, qrl::borrow(kid))) return {};
    return jwk;
}

bool split_point(qrl::Call& call, PyObject* point, PyObject* size, Ref& x, Ref& y) {
    const Constants& t = state(call).constants;
    Ref middle = qrl::add(t.one, size);
    x = middle ? slice(point, t.one, middle.get()) : Ref();
    y = x ? slice(point, middle.get(), nullptr) : Ref();
    return static_cast<bool>(y);
}

int compare_point_length(qrl::Call& call, PyObject* point, int op, PyObject* size) {
    const Constants& t = state(call).constants;
    const Py_ssize_t length = PyObject_Size(point);
    if (length < 0) return -1;
    Ref own = qrl::steal(PyLong_FromSsize_t(length));
    Ref expected = own ? qrl::add(t.one, qrl::mul(t.two, size)) : Ref();
    return expected ? qrl::compare(own.get(), expected.get(), op) : -1;
}

Ref check_kty_and_crv(qrl::Call& call, PyObject* jwk) {
    const Names& n = state(call).names;
    Ref kty = qrl::dict_get(jwk, n.kty);
    const int not_ec = kty ? qrl::compare(kty.get(), n.EC, Py_NE) : -1;
    if (not_ec) return reject(not_ec, "Only EC JWK is supported");
    Ref crv = qrl::dict_get(jwk, n.crv);
    const int known = crv ? global_contains(call, n.CURVES_BY_NAME, crv.get()) : -1;
    if (known <= 0) return reject(negate(known), "Unsupported EC curve");
    return crv;
}

int has_members(PyObject* jwk, PyObject* a, PyObject* b) {
    const int first = PyDict_Contains(jwk, a);
    return first > 0 ? PyDict_Contains(jwk, b) : first;
}

Ref decode_member(qrl::Call& call, PyObject* jwk, PyObject* member) {
    Ref text = item(jwk, member);
    return text ? b64u_decode(call, text.get()) : Ref();
}

bool decode_coordinates(qrl::Call& call, PyObject* jwk, PyObject* size, Ref& x, Ref& y) {
    const Names& n = state(call).names;
    x = decode_member(call, jwk, n.x);
    y = x ? decode_member(call, jwk, n.y) : Ref();
    if (!y) return false;
    int bad = len_compare(x.get(), Py_NE, size);
    if (bad == 0) bad = len_compare(y.get(), Py_NE, size);
    if (bad) reject(bad, "Invalid EC coordinate size for curve");
    return bad == 0;
}

Ref algorithm_identifier(qrl::Call& call, PyObject* curve_oid) {
    Ref ec_oid = global(call, state(call).names.OID_EC_PUBLIC_KEY);
    Ref first = der_tlv(call, 0x06, ec_oid);
    Ref second = first ? der_tlv(call, 0x06, curve_oid) : Ref();
    return der_tlv(call, 0x30, second ? qrl::add(first, second) : Ref());
}

Ref uncompressed_point(qrl::Call& call, const Ref& x, const Ref& y) {
    return qrl::add(qrl::add(state(call).constants.byte_04, x), y);
}

Ref point_bit_string(qrl::Call& call, const Ref& point) {
    return der_tlv(call, 0x03, qrl::add(state(call).constants.byte_00, point));
}

}  // namespace decodekey
