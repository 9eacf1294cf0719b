// Key pairs and JWKs: reading the members of a P-256 JWK, making new pairs.
#include "keys.h"

#include "exact.h"

namespace jwt {

namespace {

// The kty/crv test shared by both JWK readers. Each member is held while it
// is compared, so that another thread changing the dict cannot free it.
bool check_p256_jwk(const State& s, PyObject* jwk) {
    const Names& n = s.names;
    for (auto [member, expected] : {std::pair{n.kty.get(), n.EC.get()}, std::pair{n.crv.get(), n.P_256.get()}}) {
        Ref value = qrl::dict_get(jwk, member);
        const int differs = qrl::cmp(value, expected, Py_NE);
        if (differs < 0) return false;
        if (differs) {
            qrl::value_error("Unsupported JWK key type or curve");
            return false;
        }
    }
    return true;
}

// int.from_bytes(_b64url_decode(jwk[member]), "big")
Ref jwk_int(qrl::Call& call, PyObject* jwk, PyObject* member) {
    Ref decode = global(call, state(call).names._b64url_decode);
    Ref text = decode ? qrl::steal(PyObject_GetItem(jwk, member)) : Ref();
    Ref raw = text ? qrl::call(decode.get(), text.get()) : Ref();
    return qrl::int_from_bytes_big(raw.get());
}

}  // namespace

PyObject* public_key_xy_from_jwk(qrl::Call& call, PyObject* jwk) {
    const State& s = state(call);
    if (!check_p256_jwk(s, jwk)) return nullptr;
    for (PyObject* member : {s.names.x.get(), s.names.y.get()}) {
        const int has = PyDict_Contains(jwk, member);
        if (has < 0) return nullptr;
        if (!has) return qrl::value_error("JWK must contain x and y");
    }
    Ref x = jwk_int(call, jwk, s.names.x);
    Ref y = x ? jwk_int(call, jwk, s.names.y) : Ref();
    return y ? PyTuple_Pack(2, x.get(), y.get()) : nullptr;
}

PyObject* private_key_d_from_jwk(qrl::Call& call, PyObject* jwk) {
    const State& s = state(call);
    if (!check_p256_jwk(s, jwk)) return nullptr;
    const int has = PyDict_Contains(jwk, s.names.d);
    if (has < 0) return nullptr;
    if (!has) return qrl::value_error("JWK must contain private key parameter d");
    Ref d = jwk_int(call, jwk, s.names.d);
    const int bad = d ? outside_scalar_range(call, d.get()) : -1;
    if (bad < 0) return nullptr;
    if (bad) return qrl::value_error("Invalid private key");
    return d.release();
}

PyObject* int_to_b64url_32(qrl::Call& call, PyObject* value) {
    Ref encode = global(call, state(call).names._b64url_encode);
    Ref raw = encode ? qrl::int_to_bytes_big(value, 32) : Ref();
    return raw ? qrl::call(encode.get(), raw.get()).release() : nullptr;
}

PyObject* generate_keypair(qrl::Call& call) {
    const Names& n = state(call).names;
    Ref d;
    for (;;) {
        Ref secrets = global(call, n.secrets);
        Ref randbelow = secrets ? qrl::getattr(secrets.get(), n.randbelow) : Ref();
        Ref order = randbelow ? global(call, n._P256_N) : Ref();
        d = order ? qrl::call(randbelow.get(), order.get()) : Ref();
        const int outside = d ? outside_scalar_range(call, d.get()) : -1;
        if (outside < 0) return nullptr;
        if (!outside) break;
    }
    Ref mult = global(call, n._scalar_mult);
    Ref g = mult ? base_point(call) : Ref();
    Ref point = g ? qrl::call(mult.get(), d.get(), g.get()) : Ref();
    if (!point) return nullptr;
    Ref q[2];
    if (!qrl::unpack(point.get(), q)) return nullptr;
    if (q[0].get() == Py_None || q[1].get() == Py_None) return qrl::value_error("Failed to generate keypair");
    return Py_BuildValue("(O(OO))", d.get(), q[0].get(), q[1].get());
}

PyObject* generate_keypair_jwk(qrl::Call& call, PyObject* kid) {
    const Names& n = state(call).names;
    Ref pair = call_global(call, n.generate_es256_keypair);
    if (!pair) return nullptr;
    Ref d_q[2], q[2];
    if (!qrl::unpack(pair.get(), d_q) || !qrl::unpack(d_q[1].get(), q)) return nullptr;

    auto b64url_32 = [&](PyObject* value) { return call_global(call, n._int_to_b64url_32, value); };
    Ref public_jwk = qrl::steal(PyDict_New());
    if (!public_jwk || PyDict_SetItem(public_jwk.get(), n.kty, n.EC) < 0 ||
        PyDict_SetItem(public_jwk.get(), n.crv, n.P_256) < 0 || !qrl::dict_set(public_jwk.get(), n.x, b64url_32(q[0].get())) ||
        !qrl::dict_set(public_jwk.get(), n.y, b64url_32(q[1].get())))
        return nullptr;
    Ref private_jwk = qrl::steal(PyDict_Copy(public_jwk.get()));
    if (!private_jwk || !qrl::dict_set(private_jwk.get(), n.d, b64url_32(d_q[0].get()))) return nullptr;
    if (kid != Py_None) {
        if (PyDict_SetItem(public_jwk.get(), n.kid, kid) < 0 || PyDict_SetItem(private_jwk.get(), n.kid, kid) < 0)
            return nullptr;
    }
    return PyTuple_Pack(2, private_jwk.get(), public_jwk.get());
}

}  // namespace jwt
