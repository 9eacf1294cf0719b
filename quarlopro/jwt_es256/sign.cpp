// ECDSA signing with the deterministic nonce and low s.
#include "sign.h"

#include "bridge.h"
#include "exact.h"
#include "stdlib.h"

namespace jwt {

namespace {

// The signing steps after the nonce, on Python objects: the signature point,
// r, s and the low-s rule.
PyObject* sign_with_nonce_exact(qrl::Call& call, PyObject* k, PyObject* d, PyObject* e) {
    const State& st = state(call);
    const Names& n = st.names;
    Ref mult = global(call, n._scalar_mult);
    Ref g = mult ? base_point(call) : Ref();
    Ref point = g ? qrl::call(mult.get(), k, g.get()) : Ref();
    if (!point) return nullptr;
    Ref xy[2];
    if (!qrl::unpack(point.get(), xy)) return nullptr;
    if (xy[0].get() == Py_None) return qrl::value_error("Failed to generate signature point");

    Ref r = qrl::mod(xy[0], global(call, n._P256_N));
    int is_zero = qrl::cmp(r, st.constants.zero, Py_EQ);
    if (is_zero < 0) return nullptr;
    if (is_zero) return qrl::value_error("Invalid signature nonce (r == 0)");

    // s = (_mod_inv(k, _P256_N) * (e + r * private_key_d)) % _P256_N
    Ref inverse_fn = global(call, n._mod_inv);
    Ref order = inverse_fn ? global(call, n._P256_N) : Ref();
    Ref inverse = order ? qrl::call(inverse_fn.get(), k, order.get()) : Ref();
    Ref rd = inverse ? qrl::mul(r, d) : Ref();
    Ref s = qrl::mul(inverse, qrl::add(e, rd));
    order = s ? global(call, n._P256_N) : Ref();
    s = qrl::mod(s, order);
    is_zero = qrl::cmp(s, st.constants.zero, Py_EQ);
    if (is_zero < 0) return nullptr;
    if (is_zero) return qrl::value_error("Invalid signature nonce (s == 0)");

    // Low-s: if s > _P256_N // 2, s = _P256_N - s.
    const int high = qrl::cmp(s, qrl::floordiv(global(call, n._P256_N), st.constants.two), Py_GT);
    if (high < 0) return nullptr;
    if (high) s = qrl::sub(global(call, n._P256_N), s);
    Ref r_bytes = qrl::int_to_bytes_big(r.get(), 32);
    Ref s_bytes = r_bytes ? qrl::int_to_bytes_big(s.get(), 32) : Ref();
    return qrl::add(r_bytes, s_bytes).release();
}

// r || s, or the error for a nonce that gave r == 0 or s == 0.
PyObject* signature_bytes(p256::SignStatus status, const p256::U256& r, const p256::U256& s) {
    if (!sign_status_ok(status)) return nullptr;
    std::array<std::uint8_t, 64> raw;
    p256::store_be(r, raw.data());
    p256::store_be(s, raw.data() + 32);
    return qrl::bytes_from(raw).release();
}

// The same steps in the engine, constant time in k and d; only the public
// outcome (r or s zero) is branched on. The engine returns the low s.
PyObject* sign_with_nonce_native(p256::U256& k, p256::U256& d, const p256::U256& e) {
    p256::U256 r, s;
    p256::SignStatus status;
    {
        qrl::WithoutGil unlocked;
        status = p256::ecdsa_sign_ct(k, d, e, r, s);
    }
    forget(k);
    forget(d);
    return signature_bytes(status, r, s);
}

// Everything after the key check in the engine, from message to signature,
// without the GIL; the nonce never becomes a Python object.
PyObject* sign_message_native(PyObject* message, p256::U256& d) {
    const auto bytes = qrl::bytes_view(message);
    p256::U256 r, s;
    p256::SignStatus status;
    {
        qrl::WithoutGil unlocked;  // the bytes object is immutable and held by the caller
        status = p256::ecdsa_sign_message_ct(bytes.data(), bytes.size(), d, r, s);
    }
    forget(d);
    return signature_bytes(status, r, s);
}

}  // namespace

bool signs_natively(qrl::Call& call) { return state(call).originals.unchanged(call.globals(), kNativeSigningRoutes); }

bool sign_status_ok(p256::SignStatus status) {
    const char* error = status == p256::SignStatus::r_zero   ? "Invalid signature nonce (r == 0)"
                        : status == p256::SignStatus::s_zero ? "Invalid signature nonce (s == 0)"
                                                             : nullptr;
    if (error) qrl::value_error(error);
    return !error;
}

PyObject* sign_ecdsa(qrl::Call& call, PyObject* message, PyObject* d, PyObject* deterministic) {
    const Names& n = state(call).names;
    if (deterministic == Py_True && signs_natively(call)) {
        // Hashing, the module's own nonce, its HMACs and the steps after it
        // all as the module found them: the whole signature natively, the
        // key's range test included (_P256_N is the original).
        p256::U256 key;
        return load_private_key(d, key) ? sign_message_native(message, key) : nullptr;
    }
    const int bad_key = outside_scalar_range(call, d);
    if (bad_key < 0) return nullptr;
    if (bad_key) return qrl::value_error("Invalid private key");
    Ref e = qrl::int_from_bytes_big(sha256_digest(call, message).get());
    if (!e) return nullptr;
    if (deterministic != Py_True) return qrl::value_error("Non-deterministic signing is not supported");
    // The nonce function gets the digest again: the algorithm hashes the
    // message a second time here, and a replaced hashlib sees both calls.
    Ref nonce_fn = global(call, n._rfc6979_k_p256_sha256);
    Ref digest = nonce_fn ? sha256_digest(call, message) : Ref();
    Ref k = digest ? qrl::call(nonce_fn.get(), d, digest.get()) : Ref();
    if (!k) return nullptr;
    p256::U256 k_native{}, d_native{}, e_native{};
    const bool loaded = unchanged(call, kSignTailRoute) && load_u256(e.get(), e_native) &&
                        load_secret_u256(k.get(), k_native) && load_secret_u256(d, d_native);
    if (loaded && scalar_in_range(k_native) && scalar_in_range(d_native))
        return sign_with_nonce_native(k_native, d_native, e_native);
    forget(k_native);
    forget(d_native);
    return sign_with_nonce_exact(call, k.get(), d, e.get());
}

}  // namespace jwt
