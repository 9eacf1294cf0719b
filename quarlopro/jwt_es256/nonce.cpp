// The deterministic nonce of RFC 6979 section 3.2 with HMAC-SHA-256 for P-256.
#include "exact.h"
#include "sign.h"
#include "stdlib.h"

namespace jwt {

namespace {

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
