// EC private keys: SEC1 ECPrivateKey and PKCS#8 PrivateKeyInfo to JWK, and a
// private JWK to PKCS#8 PEM.
#include "curves.h"
#include "elements.h"
#include "jwk.h"
#include "keys.h"
#include "pem.h"

namespace decodekey {

namespace {

bool is_str_or_none(PyObject* obj) { return obj == Py_None || PyUnicode_CheckExact(obj); }

// The [1] field of a SEC1 key: sets x and y when it holds exactly a BIT STRING
// with no unused bits and an uncompressed point of the known curve's size.
// Anything else is skipped; false only for a raised error.
bool read_public_point(qrl::Call& call, PyObject* field, PyObject* curve_name, Ref& x, Ref& y) {
    const Constants& t = state(call).constants;
    Tlv bits;
    if (!read_tlv(call, field, t.zero, bits)) return false;
    PyObject* bit_val = bits.value.get();
    int usable = compare_int(bits.tag.get(), 0x03, Py_EQ);
    if (usable > 0) usable = compare_with_len(bits.next.get(), Py_EQ, field);
    if (usable > 0) usable = PyObject_IsTrue(bit_val);
    if (usable > 0) usable = compare_first_item(call, bit_val, Py_EQ, 0);
    if (usable <= 0) return usable == 0;

    Ref point = slice(bit_val, t.one, nullptr);
    if (!point) return false;
    usable = PyObject_IsTrue(point.get());
    if (usable > 0) usable = compare_first_item(call, point.get(), Py_EQ, 0x04);
    if (usable > 0) usable = curve_name != Py_None;
    if (usable <= 0) return usable == 0;

    Ref size = curve_size_from_name(call, curve_name);
    if (!size) return false;
    usable = compare_point_length(call, point.get(), Py_EQ, size.get());
    if (usable <= 0) return usable == 0;
    return split_point(call, point.get(), size.get(), x, y);
}

// The [0] field of a SEC1 key: exactly one OBJECT IDENTIFIER naming the curve.
Ref read_curve_params(qrl::Call& call, PyObject* field) {
    Tlv oid;
    if (!read_tlv(call, field, state(call).constants.zero, oid)) return {};
    int bad = compare_int(oid.tag.get(), 0x06, Py_NE);
    if (bad == 0) bad = compare_with_len(oid.next.get(), Py_NE, field);
    if (bad) return reject(bad, "Invalid EC private key curve params");
    return curve_name_from_oid(call, oid.value.get());
}

// `int.from_bytes(value, "big") != 1`; -1 on error.
int version_is_not_one(PyObject* value) {
    Ref version = qrl::int_from_bytes_big(value);
    return version ? compare_int(version.get(), 1, Py_NE) : -1;
}

// The optional fields after the scalar: the curve from the first [0] unless
// one was given, the point from [1]. False only for a raised error.
bool read_optional_fields(qrl::Call& call, PyObject* seq, Ref offset, Ref& curve_name, Ref& x, Ref& y) {
    for (;;) {
        const int more = compare_with_len(offset.get(), Py_LT, seq);
        if (more <= 0) return more == 0;
        Tlv field;
        if (!read_tlv(call, seq, offset.get(), field)) return false;
        offset = field.next;
        const int params = compare_int(field.tag.get(), 0xA0, Py_EQ);
        if (params < 0) return false;
        if (params && curve_name.get() == Py_None) {
            // The first source of the curve wins; later [0] fields are skipped.
            curve_name = read_curve_params(call, field.value.get());
            if (!curve_name) return false;
            continue;
        }
        const int public_point = compare_int(field.tag.get(), 0xA1, Py_EQ);
        if (public_point < 0) return false;
        if (public_point && !read_public_point(call, field.value.get(), curve_name.get(), x, y)) return false;
    }
}

// _der_ec_private_key_to_jwk_sec1(ec_der, curve_name=..., kid=kid)
Ref sec1_to_jwk(qrl::Call& call, PyObject* ec_der, PyObject* curve_name, PyObject* kid) {
    if (PyBytes_CheckExact(ec_der) && is_str_or_none(curve_name) && is_str_or_none(kid) && untouched(call, kSec1ToJwk))
        return sec1_to_jwk_native(call, ec_der, curve_name, kid);
    Ref fn = global(call, qrl::name(kSec1ToJwk.name));
    return fn ? qrl::call_kw(fn.get(), {ec_der, curve_name, kid}, state(call).constants.kw_curve_name_kid) : Ref();
}

// The PKCS#8 reading of `der`: the JWK of the SEC1 key it wraps. Null with no
// error raised when `der` is not a PKCS#8 EC key; null with the error raised
// when a step raised.
Ref read_pkcs8(qrl::Call& call, PyObject* der, PyObject* kid) {
    const State& s = state(call);
    Tlv outer;
    if (!read_tlv(call, der, s.constants.zero, outer)) return {};
    int ok = compare_int(outer.tag.get(), 0x30, Py_EQ);
    if (ok > 0) ok = compare_with_len(outer.next.get(), Py_EQ, der);
    if (ok <= 0) return {};
    PyObject* seq = outer.value.get();

    Tlv version;
    if (!read_tlv(call, seq, s.constants.zero, version)) return {};
    if (compare_int(version.tag.get(), 0x02, Py_EQ) <= 0) return {};

    Tlv algorithm;
    if (!read_tlv(call, seq, version.next.get(), algorithm)) return {};
    if (compare_int(algorithm.tag.get(), 0x30, Py_EQ) <= 0) return {};

    PyObject* alg_val = algorithm.value.get();
    Tlv oid_alg, oid_curve;
    if (!read_tlv(call, alg_val, s.constants.zero, oid_alg) || !read_tlv(call, alg_val, oid_alg.next.get(), oid_curve))
        return {};
    ok = compare_int(oid_alg.tag.get(), 0x06, Py_EQ);
    if (ok > 0) ok = compare_int(oid_curve.tag.get(), 0x06, Py_EQ);
    if (ok > 0) ok = compare_with_len(oid_curve.next.get(), Py_EQ, alg_val);
    if (ok > 0) {
        Ref ec_oid = global(call, s.names.OID_EC_PUBLIC_KEY);
        ok = ec_oid ? qrl::compare(oid_alg.value.get(), ec_oid.get(), Py_EQ) : -1;
    }
    if (ok <= 0) return {};

    Ref curve_name = curve_name_from_oid(call, oid_curve.value.get());
    if (!curve_name) return {};
    Tlv key;
    if (!read_tlv(call, seq, algorithm.next.get(), key)) return {};
    if (compare_int(key.tag.get(), 0x04, Py_EQ) <= 0) return {};
    return sec1_to_jwk(call, key.value.get(), curve_name.get(), kid);
}

// SEC1 ECPrivateKey: version 1, the scalar and, when given, the public point
// in [1]; never the [0] parameters.
Ref sec1_key(qrl::Call& call, const Ref& d, const Ref& point) {
    Ref version = der_tlv(call, 0x02, state(call).constants.byte_01);
    Ref scalar = version ? der_tlv(call, 0x04, d) : Ref();
    Ref body = scalar ? qrl::add(version, scalar) : Ref();
    if (body && point) {
        Ref tagged = der_tlv(call, 0xA1, point_bit_string(call, point));
        body = tagged ? qrl::add(body, tagged) : Ref();
    }
    return der_tlv(call, 0x30, body);
}

}  // namespace

Ref sec1_to_jwk_native(qrl::Call& call, PyObject* ec_der, PyObject* curve_name_arg, PyObject* kid) {
    const State& s = state(call);
    Ref curve_name = qrl::borrow(curve_name_arg);
    Tlv outer;
    if (!read_tlv(call, ec_der, s.constants.zero, outer)) return {};
    int bad = compare_int(outer.tag.get(), 0x30, Py_NE);
    if (bad == 0) bad = compare_with_len(outer.next.get(), Py_NE, ec_der);
    if (bad) return reject(bad, "Invalid EC private key DER");
    PyObject* seq = outer.value.get();

    Tlv version;
    if (!read_tlv(call, seq, s.constants.zero, version)) return {};
    bad = compare_int(version.tag.get(), 0x02, Py_NE);
    if (bad == 0) bad = version_is_not_one(version.value.get());
    if (bad) return reject(bad, "Invalid EC private key version");

    // A scalar whose declared length runs past the sequence is truncated:
    // refused rather than zero-filled into a different key.
    Tlv scalar;
    if (!read_tlv(call, seq, version.next.get(), scalar)) return {};
    bad = compare_int(scalar.tag.get(), 0x04, Py_NE);
    if (bad == 0) bad = compare_with_len(scalar.next.get(), Py_GT, seq);
    if (bad) return reject(bad, "Invalid EC private key scalar");

    Ref x, y;
    if (!read_optional_fields(call, seq, scalar.next, curve_name, x, y)) return {};
    if (curve_name.get() == Py_None) return qrl::value_error("Curve information missing from EC private key");

    Ref size = curve_size_from_name(call, curve_name.get());
    bad = size ? len_compare(scalar.value.get(), Py_GT, size.get()) : -1;
    if (bad) return reject(bad, "Invalid private key size");
    Ref d = qrl::call_method(scalar.value.get(), s.names.rjust, size.get(), s.constants.byte_00.get());
    if (!d) return {};

    Ref jwk = new_jwk(call, curve_name.get());
    if (!jwk || !qrl::dict_set(jwk.get(), s.names.d, b64u(call, d.get()))) return {};
    if (x && y && (!qrl::dict_set(jwk.get(), s.names.x, b64u(call, x.get())) || !qrl::dict_set(jwk.get(), s.names.y, b64u(call, y.get()))))
        return {};
    return with_kid(call, std::move(jwk), kid);
}

// PKCS#8 first; when that attempt fails in any way short of an exception
// outside `Exception`, the whole input is read as SEC1.
Ref der_ec_private_key_to_jwk_native(qrl::Call& call, PyObject* der, PyObject* kid) {
    Ref jwk = read_pkcs8(call, der, kid);
    if (jwk) return jwk;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();
    }
    return sec1_to_jwk(call, der, Py_None, kid);
}

// der_ec_private_key_to_jwk(der, kid=kid)
Ref der_ec_private_key_to_jwk(qrl::Call& call, PyObject* der, PyObject* kid) {
    if (PyBytes_CheckExact(der) && is_str_or_none(kid) && untouched(call, kDerEcPrivateKeyToJwk))
        return der_ec_private_key_to_jwk_native(call, der, kid);
    Ref fn = global(call, qrl::name(kDerEcPrivateKeyToJwk.name));
    return fn ? qrl::call_kw(fn.get(), {der, kid}, state(call).constants.kw_kid) : Ref();
}

Ref jwk_private_key_to_pem_native(qrl::Call& call, PyObject* jwk) {
    const State& s = state(call);
    Ref crv = check_kty_and_crv(call, jwk);
    if (!crv) return {};
    const int has_d = PyDict_Contains(jwk, s.names.d);
    if (has_d <= 0) return reject(negate(has_d), "JWK must contain d");
    Ref curve_oid, size;
    if (!curve_entry(call, s.names.CURVES_BY_NAME, crv.get(), curve_oid, size)) return {};
    Ref d = decode_member(call, jwk, s.names.d);
    const int bad = d ? len_compare(d.get(), Py_NE, size.get()) : -1;
    if (bad) return reject(bad, "Invalid private key size for curve");

    // The key is built without the point first, and again with it when both
    // coordinates are members.
    Ref sec1 = sec1_key(call, d, Ref());
    if (!sec1) return {};
    const int with_point = has_members(jwk, s.names.x, s.names.y);
    if (with_point < 0) return {};
    if (with_point) {
        Ref x, y;
        if (!decode_coordinates(call, jwk, size.get(), x, y)) return {};
        Ref point = uncompressed_point(call, x, y);
        sec1 = point ? sec1_key(call, d, point) : Ref();
        if (!sec1) return {};
    }

    Ref alg_id = algorithm_identifier(call, curve_oid.get());
    Ref version = alg_id ? der_tlv(call, 0x02, s.constants.byte_00) : Ref();
    Ref wrapped = version ? der_tlv(call, 0x04, sec1) : Ref();
    Ref pkcs8 = der_tlv(call, 0x30, wrapped ? qrl::add(qrl::add(version, alg_id), wrapped) : Ref());
    return pem_armor(call, s.constants.private_label, pkcs8.get());
}

Ref jwk_private_key_to_pem(qrl::Call& call, PyObject* jwk) {
    if (untouched(call, kJwkPrivateKeyToPem)) return jwk_private_key_to_pem_native(call, jwk);
    return call_sibling(call, kJwkPrivateKeyToPem, jwk);
}

}  // namespace decodekey
