// SubjectPublicKeyInfo of EC keys: DER to JWK and JWK to PEM.
#include "curves.h"
#include "elements.h"
#include "jwk.h"
#include "keys.h"
#include "pem.h"

namespace decodekey {

// Each check in its order; the first that fails names the key's fault.
Ref der_spki_ec_to_jwk_native(qrl::Call& call, PyObject* der, PyObject* kid) {
    const State& s = state(call);
    const Constants& t = s.constants;
    Tlv outer;
    if (!read_tlv(call, der, t.zero, outer)) return {};
    int bad = compare_int(outer.tag.get(), 0x30, Py_NE);
    if (bad == 0) bad = compare_with_len(outer.next.get(), Py_NE, der);
    if (bad) return reject(bad, "Invalid DER SPKI");
    PyObject* spki = outer.value.get();

    Tlv algorithm;
    if (!read_tlv(call, spki, t.zero, algorithm)) return {};
    bad = compare_int(algorithm.tag.get(), 0x30, Py_NE);
    if (bad) return reject(bad, "Invalid algorithm identifier");

    Tlv bits;
    if (!read_tlv(call, spki, algorithm.next.get(), bits)) return {};
    bad = compare_int(bits.tag.get(), 0x03, Py_NE);
    if (bad == 0) bad = compare_with_len(bits.next.get(), Py_NE, spki);
    if (bad) return reject(bad, "Invalid subjectPublicKey BIT STRING");

    PyObject* alg_seq = algorithm.value.get();
    Tlv oid_alg, oid_curve;
    if (!read_tlv(call, alg_seq, t.zero, oid_alg) || !read_tlv(call, alg_seq, oid_alg.next.get(), oid_curve)) return {};
    bad = compare_int(oid_alg.tag.get(), 0x06, Py_NE);
    if (bad == 0) bad = compare_int(oid_curve.tag.get(), 0x06, Py_NE);
    if (bad == 0) bad = compare_with_len(oid_curve.next.get(), Py_NE, alg_seq);
    if (bad) return reject(bad, "Invalid algorithm OIDs");

    Ref ec_oid = global(call, s.names.OID_EC_PUBLIC_KEY);
    bad = ec_oid ? qrl::compare(oid_alg.value.get(), ec_oid.get(), Py_NE) : -1;
    if (bad) return reject(bad, "Not an EC public key");

    const int known = global_contains(call, s.names.CURVES, oid_curve.value.get());
    if (known <= 0) return reject(negate(known), "Unsupported EC curve");
    Ref crv, size;
    if (!curve_entry(call, s.names.CURVES, oid_curve.value.get(), crv, size)) return {};

    PyObject* bitstr = bits.value.get();
    bad = PyObject_Not(bitstr);
    if (bad == 0) bad = compare_first_item(call, bitstr, Py_NE, 0);
    if (bad) return reject(bad, "Invalid BIT STRING");

    Ref point = slice(bitstr, t.one, nullptr);
    if (!point) return {};
    bad = compare_point_length(call, point.get(), Py_NE, size.get());
    if (bad == 0) bad = compare_first_item(call, point.get(), Py_NE, 0x04);
    if (bad) return reject(bad, "Only uncompressed EC points are supported");

    Ref x, y;
    if (!split_point(call, point.get(), size.get(), x, y)) return {};
    Ref jwk = new_jwk(call, crv.get());
    if (!jwk || !qrl::dict_set(jwk.get(), s.names.x, b64u(call, x.get())) || !qrl::dict_set(jwk.get(), s.names.y, b64u(call, y.get())))
        return {};
    return with_kid(call, std::move(jwk), kid);
}

Ref jwk_public_key_to_pem_native(qrl::Call& call, PyObject* jwk) {
    const State& s = state(call);
    Ref crv = check_kty_and_crv(call, jwk);
    if (!crv) return {};
    const int complete = has_members(jwk, s.names.x, s.names.y);
    if (complete <= 0) return reject(negate(complete), "JWK must contain x and y");
    Ref curve_oid, size;
    if (!curve_entry(call, s.names.CURVES_BY_NAME, crv.get(), curve_oid, size)) return {};
    Ref x, y;
    if (!decode_coordinates(call, jwk, size.get(), x, y)) return {};

    Ref alg_id = algorithm_identifier(call, curve_oid.get());
    Ref point = alg_id ? uncompressed_point(call, x, y) : Ref();
    Ref key = point_bit_string(call, point);
    Ref spki = der_tlv(call, 0x30, key ? qrl::add(alg_id, key) : Ref());
    return pem_armor(call, s.constants.public_label, spki.get());
}

Ref jwk_public_key_to_pem(qrl::Call& call, PyObject* jwk) {
    if (untouched(call, kJwkPublicKeyToPem)) return jwk_public_key_to_pem_native(call, jwk);
    return call_sibling(call, kJwkPublicKeyToPem, jwk);
}

}  // namespace decodekey
