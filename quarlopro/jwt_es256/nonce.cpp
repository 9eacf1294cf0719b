// The deterministic nonce of RFC 6979 section 3.2 with HMAC-SHA-256 for P-256.
#include "bridge.h"
#include "exact.h"
#include "sign.h"
#include "stdlib.h"

namespace jwt {

namespace {

// int.from_bytes(message_hash, "big") % n natively; false for a hash longer
// than 32 bytes (reduced through Python ints then).
bool load_reduced_hash(PyObject* message_hash, p256::U256& h1) {
    const auto hash = qrl::bytes_view(message_hash);
    if (hash.size() > 32) return false;
    std::uint8_t be[32] = {};
    std::copy(hash.begin(), hash.end(), be + (32 - hash.size()));
    h1 = p256::reduce_mod_n_ct(p256::load_be(be));
    return true;
}

// The nonce by the engine, for an exact int 0 <= d < 2^256 (else null with
// no error: the Python route raises what to_bytes raises). k becomes a
// Python int only as the function's result.
Ref rfc6979_k_native(PyObject* private_key_d, PyObject* message_hash, const State& s) {
    p256::U256 d, h1;
    if (!load_secret_u256(private_key_d, d)) return {};
    if (!load_reduced_hash(message_hash, h1)) {
        Ref reduced = qrl::mod(qrl::int_from_bytes_big(message_hash), s.n);
        if (!reduced || !load_u256(reduced.get(), h1)) {
            forget(d);
            return {};
        }
    }
    p256::U256 k;
    {
        qrl::WithoutGil unlocked;
        k = p256::rfc6979_nonce_ct(d, h1);
    }
    forget(d);
    Ref result = int_from_u256(k);
    forget(k);
    return result;
}

// Concatenation of byte strings as the + operator does it.
Ref concat(std::initializer_list<PyObject*> parts) {
    Ref result;
    for (PyObject* part : parts) {
        if (!part) return {};
        result = result ? qrl::add(result, part) : qrl::borrow(part);
        if (!result) return {};
    }
    return result;
}

}  // namespace

PyObject* rfc6979_k(qrl::Call& call, PyObject* private_key_d, PyObject* message_hash) {
    const State& s = state(call);
    if (unchanged(call, {&kHmacRoute, &kNonceBoundRoute})) {
        if (Ref k = rfc6979_k_native(private_key_d, message_hash, s)) return k.release();
        if (PyErr_Occurred()) return nullptr;
    }
    const Constants& c = s.constants;
    constexpr Py_ssize_t rolen = 32, holen = 32;
    Ref x = qrl::int_to_bytes_big(private_key_d, rolen);
    Ref h1 = x ? qrl::int_from_bytes_big(message_hash) : Ref();
    Ref order = h1 ? global(call, s.names._P256_N) : Ref();
    h1 = qrl::mod(h1, order);
    Ref h1_bytes = qrl::int_to_bytes_big(h1.get(), rolen);
    if (!h1_bytes) return nullptr;

    Ref v = qrl::steal(PySequence_Repeat(c.byte_01, holen));
    Ref k = v ? qrl::steal(PySequence_Repeat(c.byte_00, holen)) : Ref();
    if (!k) return nullptr;
    for (PyObject* separator : {c.byte_00.get(), c.byte_01.get()}) {
        k = hmac_sha256(call, k.get(), concat({v.get(), separator, x.get(), h1_bytes.get()}).get());
        v = hmac_sha256(call, k.get(), v.get());
        if (!v) return nullptr;
    }
    for (;;) {
        Ref t = qrl::bytes_from(std::string_view());
        for (;;) {
            const Py_ssize_t have = t ? PyObject_Length(t.get()) : -1;
            if (have < 0) return nullptr;
            if (have >= rolen) break;
            v = hmac_sha256(call, k.get(), v.get());
            t = qrl::add(t, v);
        }
        Ref head = qrl::steal(PySequence_GetSlice(t.get(), 0, rolen));
        Ref candidate = qrl::int_from_bytes_big(head.get());
        const int ok = candidate ? in_range_of_global(call, c.one, candidate.get(), s.names._P256_N) : -1;
        if (ok < 0) return nullptr;
        if (ok) return candidate.release();
        k = hmac_sha256(call, k.get(), concat({v.get(), c.byte_00}).get());
        v = hmac_sha256(call, k.get(), v.get());
        if (!v) return nullptr;
    }
}

}  // namespace jwt
