// ECDSA verification: the checks in order, natively where the globals and
// inputs allow, and the DER signature reader.
#include "verify.h"

#include "bridge.h"
#include "der/der.h"
#include "exact.h"
#include "stdlib.h"

#include <algorithm>

namespace jwt {

namespace {

// Steps 8 to 11 on Python objects: w, u1, u2, the sum u1*G + u2*Q and the
// comparison of its x with r.
PyObject* verify_tail_exact(qrl::Call& call, PyObject* e, PyObject* r, PyObject* s, PyObject* q) {
    const Names& n = state(call).names;
    Ref inverse_fn = global(call, n._mod_inv);
    Ref order = inverse_fn ? global(call, n._P256_N) : Ref();
    Ref w = order ? qrl::call(inverse_fn.get(), s, order.get()) : Ref();
    Ref u1 = qrl::mul(e, w);
    order = u1 ? global(call, n._P256_N) : Ref();
    u1 = qrl::mod(u1, order);
    Ref u2 = u1 ? qrl::mul(r, w) : Ref();
    order = u2 ? global(call, n._P256_N) : Ref();
    u2 = qrl::mod(u2, order);
    if (!u2) return nullptr;

    // x, _ = _point_add(_scalar_mult(u1, G), _scalar_mult(u2, q))
    Ref add_fn = global(call, n._point_add);
    Ref mult = add_fn ? global(call, n._scalar_mult) : Ref();
    Ref g = mult ? base_point(call) : Ref();
    Ref u1g = g ? qrl::call(mult.get(), u1.get(), g.get()) : Ref();
    mult = u1g ? global(call, n._scalar_mult) : Ref();
    Ref u2q = mult ? qrl::call(mult.get(), u2.get(), q) : Ref();
    Ref sum = u2q ? qrl::call(add_fn.get(), u1g.get(), u2q.get()) : Ref();
    if (!sum) return nullptr;
    Ref sum_xy[2];
    if (!qrl::unpack(sum.get(), sum_xy)) return nullptr;
    if (sum_xy[0].get() == Py_None) Py_RETURN_FALSE;
    order = global(call, n._P256_N);
    Ref x_mod_n = qrl::mod(sum_xy[0], order);
    return x_mod_n ? PyObject_RichCompare(x_mod_n.get(), r, Py_EQ) : nullptr;
}

// Steps 5 to 11 on Python objects, from the unpacked public key.
PyObject* verify_from_key_exact(qrl::Call& call, PyObject* message, PyObject* r, PyObject* s, const Ref (&q_xy)[2]) {
    const Names& n = state(call).names;
    Ref q = qrl::steal(PyTuple_Pack(2, q_xy[0].get(), q_xy[1].get()));
    if (!q) return nullptr;
    const int on_curve = qrl::truth(call_global(call, n._is_on_curve, q.get()));
    if (on_curve < 0) return nullptr;
    if (!on_curve) Py_RETURN_FALSE;
    const int at_infinity = qrl::cmp(q, global(call, n._INF), Py_EQ);
    if (at_infinity < 0) return nullptr;
    if (at_infinity) Py_RETURN_FALSE;

    // Order check: n*Q must be the point at infinity.
    Ref mult = global(call, n._scalar_mult);
    Ref order = mult ? global(call, n._P256_N) : Ref();
    Ref nq = order ? qrl::call(mult.get(), order.get(), q.get()) : Ref();
    const int wrong_order = qrl::cmp(nq, nq ? global(call, n._INF) : Ref(), Py_NE);
    if (wrong_order < 0) return nullptr;
    if (wrong_order) Py_RETURN_FALSE;

    Ref e = qrl::int_from_bytes_big(sha256_digest(call, message).get());
    return e ? verify_tail_exact(call, e.get(), r, s, q.get()) : nullptr;
}

// Steps 5 to 11 natively for a public key of exact ints: off the curve is
// False, the order check holds for every curve point (prime order,
// cofactor 1), and the double multiplication runs in the engine. Only the
// hash goes through the globals, as on the exact path.
PyObject* verify_from_key_native(qrl::Call& call, PyObject* message, const p256::U256& r, const p256::U256& s,
                                 const Ref (&q_xy)[2]) {
    p256::U256 qx, qy;
    if (!load_u256(q_xy[0].get(), qx) || !load_u256(q_xy[1].get(), qy) || !p256::on_curve(qx, qy)) Py_RETURN_FALSE;
    const bool standard_hash = unchanged(call, kSha256Route);
    if (standard_hash) {
        // Hash and verification in one stretch without the GIL.
        const auto bytes = qrl::bytes_view(message);
        bool valid;
        {
            qrl::WithoutGil unlocked;  // the message is immutable and held by the caller
            std::uint8_t digest[32];
            p256::sha256(bytes.data(), bytes.size(), digest);
            valid = p256::ecdsa_verify(p256::load_be(digest), r, s, qx, qy);
        }
        return PyBool_FromLong(valid);
    }
    Ref digest = sha256_digest(call, message);
    if (!digest) return nullptr;
    // A replaced hash may have replaced globals too, or give a longer digest
    // (e above 256 bits): the steps after hashing then take the exact path.
    if (!PyBytes_CheckExact(digest.get()) || PyBytes_GET_SIZE(digest.get()) > 32 || !unchanged(call, kVerifyRoute)) {
        Ref e = qrl::int_from_bytes_big(digest.get());
        Ref py_r = e ? int_from_u256(r) : Ref();
        Ref py_s = py_r ? int_from_u256(s) : Ref();
        Ref q = py_s ? qrl::steal(PyTuple_Pack(2, q_xy[0].get(), q_xy[1].get())) : Ref();
        return q ? verify_tail_exact(call, e.get(), py_r.get(), py_s.get(), q.get()) : nullptr;
    }
    std::uint8_t e_be[32] = {};
    const auto raw = qrl::bytes_view(digest.get());
    std::copy(raw.begin(), raw.end(), e_be + (32 - raw.size()));
    const p256::U256 e = p256::load_be(e_be);
    bool valid;
    {
        qrl::WithoutGil unlocked;
        valid = p256::ecdsa_verify(e, r, s, qx, qy);
    }
    return PyBool_FromLong(valid);
}

// Steps 2 to 4 natively (r and s from exact bytes), then the key.
PyObject* verify_native(qrl::Call& call, PyObject* message, std::span<const std::uint8_t> raw, PyObject* key) {
    const p256::U256 r = p256::load_be(raw.data());
    const p256::U256 s = p256::load_be(raw.data() + 32);
    if (!scalar_in_range(r) || !scalar_in_range(s)) Py_RETURN_FALSE;
    Ref q_xy[2];
    // Unpacking an iterable other than a tuple or list may have run Python
    // code that replaced globals; then the steps after it take the exact path.
    const bool plain_key = PyTuple_CheckExact(key) || PyList_CheckExact(key);
    if (!qrl::unpack(key, q_xy)) return nullptr;
    if (PyLong_CheckExact(q_xy[0].get()) && PyLong_CheckExact(q_xy[1].get()) &&
        (plain_key || unchanged(call, kVerifyRoute)))
        return verify_from_key_native(call, message, r, s, q_xy);
    Ref py_r = int_from_u256(r);
    Ref py_s = py_r ? int_from_u256(s) : Ref();
    return py_s ? verify_from_key_exact(call, message, py_r.get(), py_s.get(), q_xy) : nullptr;
}

}  // namespace

PyObject* verify_ecdsa(qrl::Call& call, PyObject* message, PyObject* signature, PyObject* public_key_xy) {
    if (PyBytes_GET_SIZE(signature) != 64) Py_RETURN_FALSE;
    const auto raw = qrl::bytes_view(signature);
    if (unchanged(call, kVerifyRoute)) return verify_native(call, message, raw, public_key_xy);

    const State& st = state(call);
    Ref r = qrl::int_from_be(raw.first(32));
    Ref s = r ? qrl::int_from_be(raw.subspan(32)) : Ref();
    if (!s) return nullptr;
    for (const Ref* value : {&r, &s}) {
        const int ok = in_range_of_global(call, st.constants.one, value->get(), st.names._P256_N);
        if (ok < 0) return nullptr;
        if (!ok) Py_RETURN_FALSE;
    }
    Ref q_xy[2];
    if (!qrl::unpack(public_key_xy, q_xy)) return nullptr;
    return verify_from_key_exact(call, message, r.get(), s.get(), q_xy);
}

PyObject* der_signature_to_raw64(qrl::Call&, PyObject* signature) {
    std::array<std::uint8_t, 64> raw;
    const der::SignatureError error = der::signature_to_raw64(qrl::bytes_view(signature), raw);
    if (error != der::SignatureError::none) return qrl::value_error(der::message(error));
    return qrl::bytes_from(raw).release();
}

}  // namespace jwt
