// quarlopro.jwt_es256: ES256 (ECDSA over P-256 with SHA-256) and compact JSON
// Web Tokens on Python ints, with no cryptographic library.
//
// Every function reads the module's constants, sibling helpers and standard
// modules through the module's globals at call time. The exact path is the
// algorithm as written, on Python objects. Where the globals a computation
// would read are still the module's originals and the inputs lie where the
// native P-256 engine provably gives the same result (exact ints in range,
// points on the curve), the engine computes it instead, with the GIL
// released. Anything else takes the exact path.
#include "qrl.h"
#include "p256/p256.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

using qrl::Ref;

// ---------------------------------------------------------------------------
// Names and originals, fixed at import

#define JWT_GLOBAL_NAMES(X)                                                                                          \
    X(base64) X(hmac) X(hashlib) X(json) X(secrets) X(time) X(_P256_P) X(_P256_A) X(_P256_B) X(_P256_N) X(_P256_GX) \
    X(_P256_GY) X(_INF) X(_b64url_decode) X(_b64url_encode) X(_mod_inv) X(_is_on_curve) X(_point_add)              \
    X(_scalar_mult) X(_verify_ecdsa_p256_sha256) X(_der_ecdsa_signature_to_raw64) X(_rfc6979_k_p256_sha256)         \
    X(_sign_ecdsa_p256_sha256) X(public_key_xy_from_jwk) X(private_key_d_from_jwk) X(_int_to_b64url_32)            \
    X(generate_es256_keypair) X(generate_es256_keypair_jwk) X(sign_es256_jwt) X(sign_es256_jwt_with_jwk)            \
    X(verify_es256_jwt)

// Attribute names and other texts used at call time.
#define JWT_OTHER_NAMES(X)                                                                                      \
    X(urlsafe_b64decode, "urlsafe_b64decode") X(urlsafe_b64encode, "urlsafe_b64encode") X(sha256, "sha256")    \
    X(digest, "digest") X(hmac_new, "new") X(dumps, "dumps") X(loads, "loads") X(randbelow, "randbelow")       \
    X(time_fn, "time") X(rstrip, "rstrip") X(decode, "decode") X(encode, "encode") X(get, "get")              \
    X(split, "split") X(update, "update") X(kty, "kty") X(crv, "crv") X(x, "x") X(y, "y") X(d, "d")           \
    X(kid, "kid") X(alg, "alg") X(typ, "typ") X(exp, "exp") X(nbf, "nbf") X(iat, "iat") X(iss, "iss")         \
    X(aud, "aud") X(EC, "EC") X(P_256, "P-256") X(ES256, "ES256") X(JWT, "JWT") X(dot, ".") X(ascii, "ascii") \
    X(utf_8, "utf-8") X(equals, "=") X(HMAC, "HMAC") X(_hashopenssl, "_hashopenssl") X(hmac_new_fn, "hmac_new") \
    X(JSONEncoder, "JSONEncoder") X(_functype, "_functype") X(dunder_init, "__init__") X(_init_hmac, "_init_hmac") \
    X(_current, "_current")

struct Names {
#define DECLARE_GLOBAL(id) PyObject* id;
#define DECLARE_OTHER(id, text) PyObject* id;
    JWT_GLOBAL_NAMES(DECLARE_GLOBAL)
    JWT_OTHER_NAMES(DECLARE_OTHER)
#undef DECLARE_GLOBAL
#undef DECLARE_OTHER
};
Names names;

// The objects bound at import, for the identity checks of the fast paths.
struct Originals {
#define DECLARE_GLOBAL(id) PyObject* id;
    JWT_GLOBAL_NAMES(DECLARE_GLOBAL)
#undef DECLARE_GLOBAL
};
Originals originals;

// What two standard-library calls do internally, taken at import: while
// nothing on the way has been replaced, a call goes straight there and skips
// the Python-level wrapper, with the same result.
//  * hmac.new(key, msg, hashlib.sha256).digest() is
//    hmac._hashopenssl.hmac_new(key, msg, hashlib.sha256).digest(), by way
//    of HMAC.__init__, HMAC._init_hmac, HMAC.digest and HMAC._current;
//  * json.dumps(v, separators=(",", ":"), sort_keys=True) is
//    json.JSONEncoder(separators=(",", ":"), sort_keys=True).encode(v); the
//    encoder is made once (encode() keeps no state between calls).
struct Stdlib {
    PyObject* hmac_new;            // hmac.new
    PyObject* hmac_class;          // hmac.HMAC
    PyObject* hmac_methods[4];     // its __init__, _init_hmac, digest, _current
    PyObject* hmac_functype;       // hmac._functype
    PyObject* hashopenssl;         // hmac._hashopenssl, or null without OpenSSL
    PyObject* openssl_hmac_new;    // its hmac_new
    PyObject* sha256;              // hashlib.sha256
    PyObject* json_dumps;          // json.dumps
    PyObject* json_encoder_class;  // json.JSONEncoder
    PyObject* json_encoder_init;   // its __init__
    PyObject* canonical_encoder;   // json.JSONEncoder(separators=(",", ":"), sort_keys=True)
};
Stdlib stdlib;

// Other immutable objects made once.
struct Constants {
    PyObject* pad_byte_00;      // b"\x00"
    PyObject* pad_byte_01;      // b"\x01"
    PyObject* typ_allowed;      // (None, "JWT")
    PyObject* kw_separators_sort_keys;  // ("separators", "sort_keys")
    PyObject* kw_deterministic;         // ("deterministic",)
    PyObject* kw_header;                // ("header",)
    PyObject* separators;       // (",", ":")
    PyObject* equals_byte;      // b"="
};
Constants constants;

bool init_names() {
#define INTERN_GLOBAL(id) names.id = qrl::intern(#id).release();
#define INTERN_OTHER(id, text) names.id = qrl::intern(text).release();
    JWT_GLOBAL_NAMES(INTERN_GLOBAL)
    JWT_OTHER_NAMES(INTERN_OTHER)
#undef INTERN_GLOBAL
#undef INTERN_OTHER
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------------------
// Small helpers

Ref global(qrl::Call& call, PyObject* name) { return qrl::global(call.globals(), name); }

bool is_original(qrl::Call& call, PyObject* name, PyObject* original) {
    return qrl::global_is(call.globals(), name, original);
}

using qrl::value_error;

// `stdmodule.attribute(args...)` with the module looked up as a global.
template <typename... Args>
Ref call_std(qrl::Call& call, PyObject* module_name, PyObject* attr, Args... args) {
    return qrl::call_global_attr(call.globals(), module_name, attr, args...);
}

// `name(args...)` for a module global.
template <typename... Args>
Ref call_global(qrl::Call& call, PyObject* name, Args... args) {
    return qrl::call_global(call.globals(), name, args...);
}

// hashlib.sha256(data).digest()
// True when attribute `name` of the module `module` is exactly `original`.
bool module_attr_is(PyObject* module, PyObject* name, PyObject* original) {
    if (!original || !PyModule_CheckExact(module)) return false;
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value && PyErr_Occurred()) PyErr_Clear();
    return value == original;
}

Ref sha256_digest(qrl::Call& call, PyObject* data) {
    Ref hasher = call_std(call, names.hashlib, names.sha256, data);
    if (!hasher) return {};
    return qrl::call_method(hasher.get(), names.digest);
}

// Whether sha256_digest runs only the standard library's C code, so that no
// Python code (which could replace globals) runs within it.
bool sha256_is_builtin(qrl::Call& call) {
    return is_original(call, names.hashlib, originals.hashlib) &&
           module_attr_is(originals.hashlib, names.sha256, stdlib.sha256);
}

// `low <= value < high` as Python evaluates the chain; -1 on error.
int in_range(PyObject* low, PyObject* value, PyObject* high) {
    const int lower = qrl::cmp(low, value, Py_LE);
    if (lower <= 0) return lower;
    return qrl::cmp(value, high, Py_LT);
}

}  // namespace

// ---------------------------------------------------------------------------
// Base64url

namespace {

// base64.urlsafe_b64decode(text + "=" * ((-len(text)) % 4))
PyObject* b64url_decode(qrl::Call& call) {
    PyObject* text = call[0];
    const Py_ssize_t pad = (4 - PyUnicode_GET_LENGTH(text) % 4) % 4;
    Ref padding = qrl::steal(PySequence_Repeat(names.equals, pad));
    Ref padded = qrl::add(text, padding);
    if (!padded) return nullptr;
    return qrl::base64_call(call.globals(), names.base64, qrl::Base64Fn::urlsafe_b64decode, padded.get()).release();
}

// base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")
PyObject* b64url_encode(qrl::Call& call) {
    Ref encoded = qrl::base64_call(call.globals(), names.base64, qrl::Base64Fn::urlsafe_b64encode, call[0]);
    if (!encoded) return nullptr;
    Ref stripped = qrl::call_method(encoded.get(), names.rstrip, constants.equals_byte);
    if (!stripped) return nullptr;
    return qrl::call_method(stripped.get(), names.decode, names.ascii).release();
}

}  // namespace

// ---------------------------------------------------------------------------
// P-256 arithmetic, exact path

namespace {

// pow(value, -1, modulus)
PyObject* mod_inv(qrl::Call& call) {
    Ref minus_one = qrl::small_int(-1);
    if (!minus_one) return nullptr;
    return PyNumber_Power(call[0], minus_one.get(), call[1]);
}

PyObject* is_on_curve_exact(qrl::Call& call, PyObject* point) {
    Ref inf = global(call, names._INF);
    if (!inf) return nullptr;
    const int at_infinity = qrl::cmp(point, inf, Py_EQ);
    if (at_infinity < 0) return nullptr;
    if (at_infinity) Py_RETURN_TRUE;

    Ref xy[2];
    if (!qrl::unpack(point, xy)) return nullptr;
    Ref zero = qrl::small_int(0);
    if (!zero) return nullptr;
    for (const Ref& coordinate : xy) {
        Ref p = global(call, names._P256_P);
        if (!p) return nullptr;
        const int ok = in_range(zero.get(), coordinate.get(), p.get());
        if (ok < 0) return nullptr;
        if (!ok) Py_RETURN_FALSE;
    }
    const Ref& x = xy[0];
    const Ref& y = xy[1];
    // (y*y - (x*x*x + _P256_A*x + _P256_B)) % _P256_P == 0
    Ref yy = qrl::mul(y, y);
    Ref xxx = qrl::mul(qrl::mul(x, x), x);
    Ref a = xxx ? global(call, names._P256_A) : Ref();
    Ref ax = qrl::mul(a, x);
    Ref sum = qrl::add(xxx, ax);
    Ref b = sum ? global(call, names._P256_B) : Ref();
    Ref rhs = qrl::add(sum, b);
    Ref diff = qrl::sub(yy, rhs);
    Ref p = diff ? global(call, names._P256_P) : Ref();
    Ref rem = qrl::mod(diff, p);
    if (!rem) return nullptr;
    return PyObject_RichCompare(rem.get(), zero.get(), Py_EQ);
}

PyObject* point_add_exact(qrl::Call& call, PyObject* p1, PyObject* p2) {
    Ref inf = global(call, names._INF);
    if (!inf) return nullptr;
    int eq = qrl::cmp(p1, inf, Py_EQ);
    if (eq < 0) return nullptr;
    if (eq) return Py_NewRef(p2);
    inf = global(call, names._INF);
    eq = qrl::cmp(p2, inf, Py_EQ);
    if (eq < 0) return nullptr;
    if (eq) return Py_NewRef(p1);

    Ref a[2], b[2];
    if (!qrl::unpack(p1, a) || !qrl::unpack(p2, b)) return nullptr;
    const Ref &x1 = a[0], &y1 = a[1], &x2 = b[0], &y2 = b[1];

    // x1 == x2 and (y1 + y2) % _P256_P == 0
    int opposite = qrl::cmp(x1, x2, Py_EQ);
    if (opposite < 0) return nullptr;
    if (opposite) {
        Ref sum = qrl::add(y1, y2);
        Ref p = sum ? global(call, names._P256_P) : Ref();
        Ref rem = qrl::mod(sum, p);
        Ref zero = rem ? qrl::small_int(0) : Ref();
        opposite = qrl::cmp(rem, zero, Py_EQ);
        if (opposite < 0) return nullptr;
        if (opposite) return global(call, names._INF).release();
    }

    const int doubling = qrl::cmp(p1, p2, Py_EQ);
    if (doubling < 0) return nullptr;
    Ref slope;
    if (doubling) {
        // ((3*x1*x1 + _P256_A) * _mod_inv(2*y1 % _P256_P, _P256_P)) % _P256_P
        Ref three = qrl::small_int(3);
        Ref numerator = qrl::mul(qrl::mul(three, x1), x1);
        Ref a_coef = numerator ? global(call, names._P256_A) : Ref();
        numerator = qrl::add(numerator, a_coef);
        Ref inverse_fn = numerator ? global(call, names._mod_inv) : Ref();
        Ref two = inverse_fn ? qrl::small_int(2) : Ref();
        Ref doubled = qrl::mul(two, y1);
        Ref p = doubled ? global(call, names._P256_P) : Ref();
        Ref denominator = qrl::mod(doubled, p);
        Ref p_arg = denominator ? global(call, names._P256_P) : Ref();
        Ref inverse = p_arg ? qrl::call(inverse_fn.get(), denominator.get(), p_arg.get()) : Ref();
        Ref product = qrl::mul(numerator, inverse);
        Ref p_mod = product ? global(call, names._P256_P) : Ref();
        slope = qrl::mod(product, p_mod);
    } else {
        // ((y2 - y1) * _mod_inv((x2 - x1) % _P256_P, _P256_P)) % _P256_P
        Ref numerator = qrl::sub(y2, y1);
        Ref inverse_fn = numerator ? global(call, names._mod_inv) : Ref();
        Ref diff = inverse_fn ? qrl::sub(x2, x1) : Ref();
        Ref p = diff ? global(call, names._P256_P) : Ref();
        Ref denominator = qrl::mod(diff, p);
        Ref p_arg = denominator ? global(call, names._P256_P) : Ref();
        Ref inverse = p_arg ? qrl::call(inverse_fn.get(), denominator.get(), p_arg.get()) : Ref();
        Ref product = qrl::mul(numerator, inverse);
        Ref p_mod = product ? global(call, names._P256_P) : Ref();
        slope = qrl::mod(product, p_mod);
    }
    if (!slope) return nullptr;
    // x3 = (slope*slope - x1 - x2) % _P256_P; y3 = (slope*(x1 - x3) - y1) % _P256_P
    Ref x3 = qrl::sub(qrl::sub(qrl::mul(slope, slope), x1), x2);
    Ref p = x3 ? global(call, names._P256_P) : Ref();
    x3 = qrl::mod(x3, p);
    Ref y3 = qrl::sub(qrl::mul(slope, qrl::sub(x1, x3)), y1);
    p = y3 ? global(call, names._P256_P) : Ref();
    y3 = qrl::mod(y3, p);
    if (!y3) return nullptr;
    return PyTuple_Pack(2, x3.get(), y3.get());
}

// Right-to-left double-and-add on the bits of k (a non-negative exact int),
// calling _point_add through the globals for every step.
PyObject* scalar_mult_exact(qrl::Call& call, PyObject* k, PyObject* point) {
    Ref result = global(call, names._INF);
    if (!result) return nullptr;
    Ref addend = qrl::borrow(point);
    const size_t bits = _PyLong_NumBits(k);
    if (bits == static_cast<size_t>(-1)) return nullptr;
    std::vector<unsigned char> little((bits + 7) / 8 + 1);
#if PY_VERSION_HEX >= 0x030D0000
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(k), little.data(), little.size(), 1, 0, 1) < 0)
        return nullptr;
#else
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(k), little.data(), little.size(), 1, 0) < 0)
        return nullptr;
#endif
    for (size_t bit = 0; bit < bits; ++bit) {
        if (little[bit / 8] >> (bit % 8) & 1) {
            result = call_global(call, names._point_add, result.get(), addend.get());
            if (!result) return nullptr;
        }
        addend = call_global(call, names._point_add, addend.get(), addend.get());
        if (!addend) return nullptr;
    }
    return result.release();
}

}  // namespace

// ---------------------------------------------------------------------------
// Native fast paths
//
// A computation may run natively only while every global it would read, and
// every global read by the original helpers it would call, is still the
// object bound at import. These are those closures.

#define ORIGINAL(id) std::pair { names.id, originals.id }

bool unchanged(qrl::Call& call, std::initializer_list<std::pair<PyObject*, PyObject*>> globals) {
    for (auto [name, original] : globals) {
        if (!is_original(call, name, original)) return false;
    }
    return true;
}

// _is_on_curve reads _INF and the curve constants.
bool curve_check_native(qrl::Call& call) {
    return unchanged(call, {ORIGINAL(_INF), ORIGINAL(_P256_P), ORIGINAL(_P256_A), ORIGINAL(_P256_B)});
}

// _scalar_mult reads _INF and _point_add, which reads _INF, p, a and _mod_inv.
bool scalar_mult_native(qrl::Call& call) {
    return unchanged(call, {ORIGINAL(_INF), ORIGINAL(_point_add), ORIGINAL(_P256_P), ORIGINAL(_P256_A),
                            ORIGINAL(_mod_inv)});
}

// The signer after its nonce: n, G, _scalar_mult (and its closure), _mod_inv.
bool sign_native(qrl::Call& call) {
    return scalar_mult_native(call) &&
           unchanged(call, {ORIGINAL(_scalar_mult), ORIGINAL(_P256_N), ORIGINAL(_P256_GX), ORIGINAL(_P256_GY)});
}

// The verifier: all of the above plus _is_on_curve and b.
bool verify_native(qrl::Call& call) {
    return sign_native(call) && unchanged(call, {ORIGINAL(_is_on_curve), ORIGINAL(_P256_B)});
}

#undef ORIGINAL

// Reads an exact int in 0 .. 2^256-1; false for anything else.
bool load_u256(PyObject* value, p256::U256& out) {
    std::uint8_t be[32];
    if (!qrl::int_to_be32(value, be)) return false;
    out = p256::load_be(be);
    return true;
}

Ref int_from_u256(const p256::U256& value) {
    std::uint8_t be[32];
    p256::store_be(value, be);
    return qrl::int_from_be(be);
}

Ref point_from_u256(const p256::U256& x, const p256::U256& y) {
    Ref px = int_from_u256(x);
    Ref py = px ? int_from_u256(y) : Ref();
    return py ? qrl::steal(PyTuple_Pack(2, px.get(), py.get())) : Ref();
}

// An exact tuple of two exact ints on the curve, as engine coordinates.
bool load_curve_point(PyObject* point, p256::U256& x, p256::U256& y) {
    return PyTuple_CheckExact(point) && PyTuple_GET_SIZE(point) == 2 && load_u256(PyTuple_GET_ITEM(point, 0), x) &&
           load_u256(PyTuple_GET_ITEM(point, 1), y) && p256::on_curve(x, y);
}

bool is_base_point(const p256::U256& x, const p256::U256& y) {
    return p256::compare(x, p256::kGx) == 0 && p256::compare(y, p256::kGy) == 0;
}

// k mod n for k < 2^256 (< 2n) without a branch on k: the signing nonce and
// private keys pass through here.
p256::U256 reduce_once_ct(const p256::U256& k) {
    p256::U256 reduced;
    const std::uint64_t keep = 0 - p256::sub(k, p256::kN, reduced);  // all ones when k < n
    p256::U256 out;
    for (int i = 0; i < 4; ++i) out.limb[i] = (k.limb[i] & keep) | (reduced.limb[i] & ~keep);
    return out;
}

// k*P for a point on the curve, natively. The result equals the exact
// double-and-add: the module's _INF for a multiple of n, the point itself
// for k == 1 (the loop returns its input then), else a new tuple.
PyObject* scalar_mult_on_curve(PyObject* k, PyObject* point, const p256::U256& x, const p256::U256& y) {
    if (_PyLong_Sign(k) == 0) return Py_NewRef(originals._INF);
    if (_PyLong_NumBits(k) == 1) return Py_NewRef(point);
    Ref reduced = qrl::borrow(k);
    if (_PyLong_NumBits(k) > 256) {
        reduced = qrl::mod(k, originals._P256_N);
        if (!reduced) return nullptr;
    }
    p256::U256 scalar;
    if (!load_u256(reduced.get(), scalar)) return qrl::raise(PyExc_SystemError, "scalar out of range");
    p256::U256 rx, ry;
    bool finite;
    if (is_base_point(x, y)) {
        // The signer's and key generator's secrets come this way: constant time.
        scalar = reduce_once_ct(scalar);
        finite = !p256::is_zero(scalar);
        if (finite) {
            qrl::WithoutGil unlocked;
            p256::mul_base_ct(scalar, rx, ry);
        }
    } else {
        qrl::WithoutGil unlocked;
        finite = p256::mul_vartime(scalar, x, y, rx, ry);
    }
    if (!finite) return Py_NewRef(originals._INF);
    return point_from_u256(rx, ry).release();
}

// ---------------------------------------------------------------------------
// ECDSA verification and DER signatures

namespace {

// Steps 8 to 11 on Python objects: w, u1, u2, the sum u1*G + u2*Q and the
// comparison of its x with r.
PyObject* verify_tail_exact(qrl::Call& call, PyObject* e, PyObject* r, PyObject* s, PyObject* q) {
    Ref inverse_fn = global(call, names._mod_inv);
    Ref n = inverse_fn ? global(call, names._P256_N) : Ref();
    Ref w = n ? qrl::call(inverse_fn.get(), s, n.get()) : Ref();
    Ref u1 = qrl::mul(e, w);
    n = u1 ? global(call, names._P256_N) : Ref();
    u1 = qrl::mod(u1, n);
    Ref u2 = u1 ? qrl::mul(r, w) : Ref();
    n = u2 ? global(call, names._P256_N) : Ref();
    u2 = qrl::mod(u2, n);
    if (!u2) return nullptr;

    // x, _ = _point_add(_scalar_mult(u1, G), _scalar_mult(u2, q))
    Ref add_fn = global(call, names._point_add);
    Ref mult = add_fn ? global(call, names._scalar_mult) : Ref();
    Ref gx = mult ? global(call, names._P256_GX) : Ref();
    Ref gy = gx ? global(call, names._P256_GY) : Ref();
    Ref g = gy ? qrl::steal(PyTuple_Pack(2, gx.get(), gy.get())) : Ref();
    Ref u1g = g ? qrl::call(mult.get(), u1.get(), g.get()) : Ref();
    mult = u1g ? global(call, names._scalar_mult) : Ref();
    Ref u2q = mult ? qrl::call(mult.get(), u2.get(), q) : Ref();
    Ref sum = u2q ? qrl::call(add_fn.get(), u1g.get(), u2q.get()) : Ref();
    if (!sum) return nullptr;
    Ref sum_xy[2];
    if (!qrl::unpack(sum.get(), sum_xy)) return nullptr;
    if (sum_xy[0].get() == Py_None) Py_RETURN_FALSE;
    n = global(call, names._P256_N);
    Ref x_mod_n = qrl::mod(sum_xy[0], n);
    if (!x_mod_n) return nullptr;
    return PyObject_RichCompare(x_mod_n.get(), r, Py_EQ);
}

// Steps 5 to 11 on Python objects, from the unpacked public key.
PyObject* verify_from_key_exact(qrl::Call& call, PyObject* message, PyObject* r, PyObject* s, const Ref (&q_xy)[2]) {
    Ref q = qrl::steal(PyTuple_Pack(2, q_xy[0].get(), q_xy[1].get()));
    if (!q) return nullptr;
    const int on_curve = qrl::truth(call_global(call, names._is_on_curve, q.get()));
    if (on_curve < 0) return nullptr;
    if (!on_curve) Py_RETURN_FALSE;
    Ref inf = global(call, names._INF);
    const int at_infinity = qrl::cmp(q, inf, Py_EQ);
    if (at_infinity < 0) return nullptr;
    if (at_infinity) Py_RETURN_FALSE;

    // Order check: n*Q must be the point at infinity.
    Ref mult = global(call, names._scalar_mult);
    Ref n = mult ? global(call, names._P256_N) : Ref();
    Ref nq = n ? qrl::call(mult.get(), n.get(), q.get()) : Ref();
    inf = nq ? global(call, names._INF) : Ref();
    const int wrong_order = qrl::cmp(nq, inf, Py_NE);
    if (wrong_order < 0) return nullptr;
    if (wrong_order) Py_RETURN_FALSE;

    Ref e = qrl::int_from_bytes_big(sha256_digest(call, message).get());
    if (!e) return nullptr;
    return verify_tail_exact(call, e.get(), r, s, q.get());
}

// Steps 5 to 11 natively for a public key of exact ints: off the curve is
// False, the order check holds for every curve point (prime order,
// cofactor 1), and the double multiplication runs in the engine. Only the
// hash goes through the globals, as on the exact path.
PyObject* verify_from_key_native(qrl::Call& call, PyObject* message, const p256::U256& r, const p256::U256& s,
                                 const Ref (&q_xy)[2]) {
    p256::U256 qx, qy;
    if (!load_u256(q_xy[0].get(), qx) || !load_u256(q_xy[1].get(), qy) || !p256::on_curve(qx, qy)) Py_RETURN_FALSE;
    const bool builtin_hash = sha256_is_builtin(call);
    Ref digest = sha256_digest(call, message);
    if (!digest) return nullptr;
    // A replaced hash may have replaced globals too, or give a longer digest
    // (e above 256 bits): the steps after hashing then take the exact path.
    if (!PyBytes_CheckExact(digest.get()) || PyBytes_GET_SIZE(digest.get()) > 32 ||
        (!builtin_hash && !verify_native(call))) {
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

bool scalar_in_range(const p256::U256& v) { return !p256::is_zero(v) && p256::compare(v, p256::kN) < 0; }

PyObject* verify_ecdsa(qrl::Call& call) {
    PyObject* message = call[0];
    PyObject* signature = call[1];
    if (PyBytes_GET_SIZE(signature) != 64) Py_RETURN_FALSE;
    const auto raw = qrl::bytes_view(signature);

    if (verify_native(call)) {
        const p256::U256 r = p256::load_be(raw.data());
        const p256::U256 s = p256::load_be(raw.data() + 32);
        if (!scalar_in_range(r) || !scalar_in_range(s)) Py_RETURN_FALSE;
        Ref q_xy[2];
        // Unpacking an iterable other than a tuple or list may have run
        // Python code that replaced globals; then the steps after it take
        // the exact path.
        const bool plain_key = PyTuple_CheckExact(call[2]) || PyList_CheckExact(call[2]);
        if (!qrl::unpack(call[2], q_xy)) return nullptr;
        if (PyLong_CheckExact(q_xy[0].get()) && PyLong_CheckExact(q_xy[1].get()) && (plain_key || verify_native(call)))
            return verify_from_key_native(call, message, r, s, q_xy);
        Ref py_r = int_from_u256(r);
        Ref py_s = py_r ? int_from_u256(s) : Ref();
        return py_s ? verify_from_key_exact(call, message, py_r.get(), py_s.get(), q_xy) : nullptr;
    }

    Ref r = qrl::int_from_be(raw.first(32));
    Ref s = r ? qrl::int_from_be(raw.subspan(32)) : Ref();
    Ref one = s ? qrl::small_int(1) : Ref();
    if (!one) return nullptr;
    for (const Ref* value : {&r, &s}) {
        Ref n = global(call, names._P256_N);
        if (!n) return nullptr;
        const int ok = in_range(one.get(), value->get(), n.get());
        if (ok < 0) return nullptr;
        if (!ok) Py_RETURN_FALSE;
    }
    Ref q_xy[2];
    if (!qrl::unpack(call[2], q_xy)) return nullptr;
    return verify_from_key_exact(call, message, r.get(), s.get(), q_xy);
}

// Strict-length, lenient-content reader of a DER ECDSA-Sig-Value.
PyObject* der_signature_to_raw64(qrl::Call& call) {
    const auto der = qrl::bytes_view(call[0]);
    const size_t len = der.size();
    if (len < 8 || der[0] != 0x30) return value_error("Not a DER ECDSA signature");
    size_t i = 1;
    size_t seq_len = der[i++];
    if (seq_len & 0x80) {
        const size_t n = seq_len & 0x7F;
        if (n == 0 || n > 2) return value_error("Invalid DER length");
        if (i + n > len) return value_error("Invalid DER length");
        seq_len = 0;
        for (size_t j = 0; j < n; ++j) seq_len = seq_len << 8 | der[i + j];
        i += n;
    }
    if (i + seq_len != len) return value_error("Invalid DER sequence length");

    if (i >= len || der[i] != 0x02) return value_error("Invalid DER INTEGER r");
    ++i;
    if (i >= len) return value_error("Invalid DER INTEGER r length");
    const size_t r_len = der[i++];
    if (r_len == 0 || i + r_len > len) return value_error("Invalid DER INTEGER r");
    auto r_bytes = der.subspan(i, r_len);
    i += r_len;

    if (i >= len || der[i] != 0x02) return value_error("Invalid DER INTEGER s");
    ++i;
    if (i >= len) return value_error("Invalid DER INTEGER s length");
    const size_t s_len = der[i++];
    if (s_len == 0 || i + s_len != len) return value_error("Invalid DER INTEGER s");
    auto s_bytes = der.subspan(i, s_len);

    // Every leading zero byte goes, but one byte always remains.
    auto strip = [](std::span<const std::uint8_t> v) {
        while (v.size() > 1 && v[0] == 0x00) v = v.subspan(1);
        return v;
    };
    r_bytes = strip(r_bytes);
    s_bytes = strip(s_bytes);
    if (r_bytes.size() > 32 || s_bytes.size() > 32) return value_error("ECDSA integer too large for P-256");

    std::array<std::uint8_t, 64> raw{};
    std::copy(r_bytes.begin(), r_bytes.end(), raw.begin() + (32 - r_bytes.size()));
    std::copy(s_bytes.begin(), s_bytes.end(), raw.begin() + (64 - s_bytes.size()));
    return qrl::bytes_from(raw).release();
}

}  // namespace

// ---------------------------------------------------------------------------
// Deterministic signing, key pairs and JWKs

namespace {

// True when attribute `name` of the class `cls` (found as an instance would
// find it) is exactly `original`.
bool class_attr_is(PyObject* cls, PyObject* name, PyObject* original) {
    if (!original) return false;
    Ref value = qrl::getattr(cls, name);
    if (!value) PyErr_Clear();
    return value.get() == original;
}

// The methods of hmac.HMAC on the way from hmac.new to the digest.
std::array<PyObject*, 4> hmac_method_names() {
    return {names.dunder_init, names._init_hmac, names.digest, names._current};
}

// Whether hmac.new(..., hashlib.sha256) may go straight to OpenSSL's HMAC of
// the standard library: the module's hmac and hashlib and everything on
// hmac.new's way there are the objects seen at import.
bool hmac_shortcut_open(qrl::Call& call) {
    if (!stdlib.openssl_hmac_new || !is_original(call, names.hmac, originals.hmac) ||
        !is_original(call, names.hashlib, originals.hashlib))
        return false;
    if (!module_attr_is(originals.hmac, names.hmac_new, stdlib.hmac_new) ||
        !module_attr_is(originals.hmac, names.HMAC, stdlib.hmac_class) ||
        !module_attr_is(originals.hmac, names._hashopenssl, stdlib.hashopenssl) ||
        !module_attr_is(originals.hmac, names._functype, stdlib.hmac_functype) ||
        !module_attr_is(stdlib.hashopenssl, names.hmac_new_fn, stdlib.openssl_hmac_new) ||
        !module_attr_is(originals.hashlib, names.sha256, stdlib.sha256))
        return false;
    const auto methods = hmac_method_names();
    for (size_t i = 0; i < methods.size(); ++i) {
        if (!class_attr_is(stdlib.hmac_class, methods[i], stdlib.hmac_methods[i])) return false;
    }
    return true;
}

// hmac.new(key, message, hashlib.sha256).digest(); `shortcut` from
// hmac_shortcut_open, asked again whenever Python code may have run since.
Ref hmac_sha256(qrl::Call& call, bool shortcut, PyObject* key, PyObject* message) {
    if (!key || !message) return {};
    if (shortcut) {
        Ref mac = qrl::call(stdlib.openssl_hmac_new, key, message, stdlib.sha256);
        return mac ? qrl::call_method(mac.get(), names.digest) : Ref();
    }
    Ref hmac = global(call, names.hmac);
    Ref new_fn = hmac ? qrl::getattr(hmac.get(), names.hmac_new) : Ref();
    Ref hashlib = new_fn ? global(call, names.hashlib) : Ref();
    Ref sha256 = hashlib ? qrl::getattr(hashlib.get(), names.sha256) : Ref();
    Ref mac = sha256 ? qrl::call(new_fn.get(), key, message, sha256.get()) : Ref();
    return mac ? qrl::call_method(mac.get(), names.digest) : Ref();
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

// RFC 6979 section 3.2 with HMAC-SHA-256 for P-256.
PyObject* rfc6979_k(qrl::Call& call) {
    PyObject* private_key_d = call[0];
    PyObject* message_hash = call[1];
    constexpr Py_ssize_t rolen = 32, holen = 32;
    Ref x = qrl::int_to_bytes_big(private_key_d, rolen);
    Ref h1 = x ? qrl::int_from_bytes_big(message_hash) : Ref();
    Ref n = h1 ? global(call, names._P256_N) : Ref();
    h1 = qrl::mod(h1, n);
    Ref h1_bytes = qrl::int_to_bytes_big(h1.get(), rolen);
    if (!h1_bytes) return nullptr;

    Ref v = qrl::steal(PySequence_Repeat(constants.pad_byte_01, holen));
    Ref k = qrl::steal(PySequence_Repeat(constants.pad_byte_00, holen));
    if (!v || !k) return nullptr;
    bool shortcut = hmac_shortcut_open(call);
    for (PyObject* separator : {constants.pad_byte_00, constants.pad_byte_01}) {
        k = hmac_sha256(call, shortcut, k.get(), concat({v.get(), separator, x.get(), h1_bytes.get()}).get());
        v = k ? hmac_sha256(call, shortcut, k.get(), v.get()) : Ref();
        if (!v) return nullptr;
    }
    Ref one = qrl::small_int(1);
    if (!one) return nullptr;
    for (;;) {
        Ref t = qrl::bytes_from(std::string_view());
        for (;;) {
            const Py_ssize_t have = t ? PyObject_Length(t.get()) : -1;
            if (have < 0) return nullptr;
            if (have >= rolen) break;
            v = hmac_sha256(call, shortcut, k.get(), v.get());
            t = qrl::add(t, v);
        }
        Ref head = qrl::steal(PySequence_GetSlice(t.get(), 0, rolen));
        Ref candidate = qrl::int_from_bytes_big(head.get());
        n = candidate ? global(call, names._P256_N) : Ref();
        if (!n) return nullptr;
        const int ok = in_range(one.get(), candidate.get(), n.get());
        if (ok < 0) return nullptr;
        if (ok) return candidate.release();
        // Comparing with a replaced _P256_N may have run Python code.
        if (!PyLong_CheckExact(n.get())) shortcut = hmac_shortcut_open(call);
        k = hmac_sha256(call, shortcut, k.get(), concat({v.get(), constants.pad_byte_00}).get());
        v = k ? hmac_sha256(call, shortcut, k.get(), v.get()) : Ref();
        if (!v) return nullptr;
    }
}

// `not (1 <= value < _P256_N)` as a C truth value; -1 on error.
int outside_scalar_range(qrl::Call& call, PyObject* value) {
    Ref one = qrl::small_int(1);
    Ref n = one ? global(call, names._P256_N) : Ref();
    if (!n) return -1;
    const int ok = in_range(one.get(), value, n.get());
    return ok < 0 ? -1 : !ok;
}

// ECDSA signing steps after the nonce, on Python objects: the signature
// point, r, s and the low-s rule.
PyObject* sign_with_nonce_exact(qrl::Call& call, PyObject* k, PyObject* d, PyObject* e) {
    Ref mult = global(call, names._scalar_mult);
    Ref gx = mult ? global(call, names._P256_GX) : Ref();
    Ref gy = gx ? global(call, names._P256_GY) : Ref();
    Ref g = gy ? qrl::steal(PyTuple_Pack(2, gx.get(), gy.get())) : Ref();
    Ref point = g ? qrl::call(mult.get(), k, g.get()) : Ref();
    if (!point) return nullptr;
    Ref xy[2];
    if (!qrl::unpack(point.get(), xy)) return nullptr;
    if (xy[0].get() == Py_None) return value_error("Failed to generate signature point");

    Ref n = global(call, names._P256_N);
    Ref r = qrl::mod(xy[0], n);
    Ref zero = r ? qrl::small_int(0) : Ref();
    int is_zero = qrl::cmp(r, zero, Py_EQ);
    if (is_zero < 0) return nullptr;
    if (is_zero) return value_error("Invalid signature nonce (r == 0)");

    // s = (_mod_inv(k, _P256_N) * (e + r * private_key_d)) % _P256_N
    Ref inverse_fn = global(call, names._mod_inv);
    n = inverse_fn ? global(call, names._P256_N) : Ref();
    Ref inverse = n ? qrl::call(inverse_fn.get(), k, n.get()) : Ref();
    Ref rd = inverse ? qrl::mul(r, d) : Ref();
    Ref s = qrl::mul(inverse, qrl::add(e, rd));
    n = s ? global(call, names._P256_N) : Ref();
    s = qrl::mod(s, n);
    is_zero = qrl::cmp(s, zero, Py_EQ);
    if (is_zero < 0) return nullptr;
    if (is_zero) return value_error("Invalid signature nonce (s == 0)");

    // Low-s: if s > _P256_N // 2, s = _P256_N - s.
    n = global(call, names._P256_N);
    Ref two = n ? qrl::small_int(2) : Ref();
    Ref half = qrl::floordiv(n, two);
    const int high = qrl::cmp(s, half, Py_GT);
    if (high < 0) return nullptr;
    if (high) {
        n = global(call, names._P256_N);
        s = qrl::sub(n, s);
    }
    Ref r_bytes = qrl::int_to_bytes_big(r.get(), 32);
    Ref s_bytes = r_bytes ? qrl::int_to_bytes_big(s.get(), 32) : Ref();
    return qrl::add(r_bytes, s_bytes).release();
}

// The same steps in the engine, constant time in k and d; only the public
// outcome (r or s zero, the low-s choice) is branched on.
PyObject* sign_with_nonce_native(const p256::U256& k, const p256::U256& d, const p256::U256& e) {
    p256::U256 r, s;
    p256::SignStatus status;
    {
        qrl::WithoutGil unlocked;
        status = p256::ecdsa_sign_ct(k, d, e, r, s);
    }
    if (status == p256::SignStatus::r_zero) return value_error("Invalid signature nonce (r == 0)");
    if (status == p256::SignStatus::s_zero) return value_error("Invalid signature nonce (s == 0)");
    if (p256::compare(s, p256::kHalfN) > 0) p256::sub(p256::kN, s, s);
    std::array<std::uint8_t, 64> raw;
    p256::store_be(r, raw.data());
    p256::store_be(s, raw.data() + 32);
    return qrl::bytes_from(raw).release();
}

PyObject* sign_ecdsa(qrl::Call& call) {
    PyObject* message = call[0];
    PyObject* d = call[1];
    const bool deterministic = call[2] == Py_True;
    const int bad_key = outside_scalar_range(call, d);
    if (bad_key < 0) return nullptr;
    if (bad_key) return value_error("Invalid private key");
    Ref e = qrl::int_from_bytes_big(sha256_digest(call, message).get());
    if (!e) return nullptr;
    if (!deterministic) return value_error("Non-deterministic signing is not supported");
    Ref nonce_fn = global(call, names._rfc6979_k_p256_sha256);
    Ref digest = nonce_fn ? sha256_digest(call, message) : Ref();
    Ref k = digest ? qrl::call(nonce_fn.get(), d, digest.get()) : Ref();
    if (!k) return nullptr;
    p256::U256 k_native, d_native, e_native;
    if (sign_native(call) && load_u256(k.get(), k_native) && scalar_in_range(k_native) && load_u256(d, d_native) &&
        scalar_in_range(d_native) && load_u256(e.get(), e_native))
        return sign_with_nonce_native(k_native, d_native, e_native);
    return sign_with_nonce_exact(call, k.get(), d, e.get());
}

// The kty/crv test shared by both JWK readers.
bool check_p256_jwk(PyObject* jwk) {
    for (auto [member, expected] : {std::pair{names.kty, names.EC}, std::pair{names.crv, names.P_256}}) {
        PyObject* value = PyDict_GetItemWithError(jwk, member);
        if (!value && PyErr_Occurred()) return false;
        Ref held = qrl::borrow(value ? value : Py_None);
        const int differs = qrl::cmp(held, expected, Py_NE);
        if (differs < 0) return false;
        if (differs) {
            value_error("Unsupported JWK key type or curve");
            return false;
        }
    }
    return true;
}

// int.from_bytes(_b64url_decode(jwk[member]), "big")
Ref jwk_int(qrl::Call& call, PyObject* jwk, PyObject* member) {
    Ref decode = global(call, names._b64url_decode);
    Ref text = decode ? qrl::steal(PyObject_GetItem(jwk, member)) : Ref();
    Ref raw = text ? qrl::call(decode.get(), text.get()) : Ref();
    return qrl::int_from_bytes_big(raw.get());
}

int has_member(PyObject* jwk, PyObject* member) { return PyDict_Contains(jwk, member); }

PyObject* public_key_xy_from_jwk(qrl::Call& call) {
    PyObject* jwk = call[0];
    if (!check_p256_jwk(jwk)) return nullptr;
    for (PyObject* member : {names.x, names.y}) {
        const int has = has_member(jwk, member);
        if (has < 0) return nullptr;
        if (!has) return value_error("JWK must contain x and y");
    }
    Ref x = jwk_int(call, jwk, names.x);
    Ref y = x ? jwk_int(call, jwk, names.y) : Ref();
    if (!y) return nullptr;
    return PyTuple_Pack(2, x.get(), y.get());
}

PyObject* private_key_d_from_jwk(qrl::Call& call) {
    PyObject* jwk = call[0];
    if (!check_p256_jwk(jwk)) return nullptr;
    const int has = has_member(jwk, names.d);
    if (has < 0) return nullptr;
    if (!has) return value_error("JWK must contain private key parameter d");
    Ref d = jwk_int(call, jwk, names.d);
    if (!d) return nullptr;
    const int bad = outside_scalar_range(call, d.get());
    if (bad < 0) return nullptr;
    if (bad) return value_error("Invalid private key");
    return d.release();
}

PyObject* int_to_b64url_32(qrl::Call& call) {
    Ref encode = global(call, names._b64url_encode);
    Ref raw = encode ? qrl::int_to_bytes_big(call[0], 32) : Ref();
    return raw ? qrl::call(encode.get(), raw.get()).release() : nullptr;
}

PyObject* generate_keypair(qrl::Call& call) {
    Ref d;
    for (;;) {
        Ref secrets = global(call, names.secrets);
        Ref randbelow = secrets ? qrl::getattr(secrets.get(), names.randbelow) : Ref();
        Ref n = randbelow ? global(call, names._P256_N) : Ref();
        d = n ? qrl::call(randbelow.get(), n.get()) : Ref();
        if (!d) return nullptr;
        const int outside = outside_scalar_range(call, d.get());
        if (outside < 0) return nullptr;
        if (!outside) break;
    }
    Ref mult = global(call, names._scalar_mult);
    Ref gx = mult ? global(call, names._P256_GX) : Ref();
    Ref gy = gx ? global(call, names._P256_GY) : Ref();
    Ref g = gy ? qrl::steal(PyTuple_Pack(2, gx.get(), gy.get())) : Ref();
    Ref point = g ? qrl::call(mult.get(), d.get(), g.get()) : Ref();
    if (!point) return nullptr;
    Ref q[2];
    if (!qrl::unpack(point.get(), q)) return nullptr;
    if (q[0].get() == Py_None || q[1].get() == Py_None) return value_error("Failed to generate keypair");
    return Py_BuildValue("(O(OO))", d.get(), q[0].get(), q[1].get());
}

// _int_to_b64url_32(value) through the globals.
Ref b64url_32(qrl::Call& call, PyObject* value) { return call_global(call, names._int_to_b64url_32, value); }

bool set_item(PyObject* dict, PyObject* key, const Ref& value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

PyObject* generate_keypair_jwk(qrl::Call& call) {
    PyObject* kid = call[0];
    Ref pair = call_global(call, names.generate_es256_keypair);
    if (!pair) return nullptr;
    Ref d_q[2], q[2];
    if (!qrl::unpack(pair.get(), d_q) || !qrl::unpack(d_q[1].get(), q)) return nullptr;

    Ref public_jwk = qrl::steal(PyDict_New());
    if (!public_jwk || PyDict_SetItem(public_jwk.get(), names.kty, names.EC) < 0 ||
        PyDict_SetItem(public_jwk.get(), names.crv, names.P_256) < 0)
        return nullptr;
    if (!set_item(public_jwk.get(), names.x, b64url_32(call, q[0].get()))) return nullptr;
    if (!set_item(public_jwk.get(), names.y, b64url_32(call, q[1].get()))) return nullptr;
    Ref private_jwk = qrl::steal(PyDict_Copy(public_jwk.get()));
    if (!private_jwk || !set_item(private_jwk.get(), names.d, b64url_32(call, d_q[0].get()))) return nullptr;
    if (kid != Py_None) {
        if (PyDict_SetItem(public_jwk.get(), names.kid, kid) < 0 ||
            PyDict_SetItem(private_jwk.get(), names.kid, kid) < 0)
            return nullptr;
    }
    return PyTuple_Pack(2, private_jwk.get(), public_jwk.get());
}

}  // namespace

// ---------------------------------------------------------------------------
// Compact tokens

namespace {

// json.dumps(value, separators=(",", ":"), sort_keys=True).encode("utf-8")
Ref canonical_json(qrl::Call& call, PyObject* value) {
    if (stdlib.canonical_encoder && is_original(call, names.json, originals.json) &&
        module_attr_is(originals.json, names.dumps, stdlib.json_dumps) &&
        module_attr_is(originals.json, names.JSONEncoder, stdlib.json_encoder_class) &&
        class_attr_is(stdlib.json_encoder_class, names.dunder_init, stdlib.json_encoder_init)) {
        Ref text = qrl::call_method(stdlib.canonical_encoder, names.encode, value);
        return text ? qrl::call_method(text.get(), names.encode, names.utf_8) : Ref();
    }
    Ref json = global(call, names.json);
    Ref dumps = json ? qrl::getattr(json.get(), names.dumps) : Ref();
    Ref text = dumps ? qrl::call_kw(dumps.get(), {value, constants.separators, Py_True},
                                    constants.kw_separators_sort_keys)
                     : Ref();
    return text ? qrl::call_method(text.get(), names.encode, names.utf_8) : Ref();
}

// (a + "." + b)
Ref join_dot(PyObject* a, PyObject* b) { return qrl::add(qrl::add(a, names.dot), b); }

PyObject* sign_jwt(qrl::Call& call) {
    PyObject* payload = call[0];
    PyObject* private_key_d = call[1];
    PyObject* header = call[2];
    Ref jwt_header = qrl::steal(PyDict_New());
    if (!jwt_header || PyDict_SetItem(jwt_header.get(), names.alg, names.ES256) < 0 ||
        PyDict_SetItem(jwt_header.get(), names.typ, names.JWT) < 0)
        return nullptr;
    const int has_header = PyObject_IsTrue(header);
    if (has_header < 0) return nullptr;
    if (has_header && PyDict_Update(jwt_header.get(), header) < 0) return nullptr;
    PyObject* alg = PyDict_GetItemWithError(jwt_header.get(), names.alg);
    if (!alg && PyErr_Occurred()) return nullptr;
    const int wrong_alg = qrl::cmp(qrl::borrow(alg ? alg : Py_None), names.ES256, Py_NE);
    if (wrong_alg < 0) return nullptr;
    if (wrong_alg) return value_error("Header alg must be ES256");

    Ref header_json = canonical_json(call, jwt_header.get());
    Ref payload_json = header_json ? canonical_json(call, payload) : Ref();
    Ref header_b64 = payload_json ? call_global(call, names._b64url_encode, header_json.get()) : Ref();
    Ref payload_b64 = header_b64 ? call_global(call, names._b64url_encode, payload_json.get()) : Ref();
    Ref joined = payload_b64 ? join_dot(header_b64.get(), payload_b64.get()) : Ref();
    Ref signing_input = joined ? qrl::call_method(joined.get(), names.encode, names.ascii) : Ref();
    Ref sign_fn = signing_input ? global(call, names._sign_ecdsa_p256_sha256) : Ref();
    Ref signature = sign_fn ? qrl::call_kw(sign_fn.get(), {signing_input.get(), private_key_d, Py_True},
                                           constants.kw_deterministic)
                            : Ref();
    Ref signature_b64 = signature ? call_global(call, names._b64url_encode, signature.get()) : Ref();
    return signature_b64 ? join_dot(join_dot(header_b64.get(), payload_b64.get()).get(), signature_b64.get()).release()
                         : nullptr;
}

PyObject* sign_jwt_with_jwk(qrl::Call& call) {
    Ref d = call_global(call, names.private_key_d_from_jwk, call[1]);
    Ref sign_fn = d ? global(call, names.sign_es256_jwt) : Ref();
    return sign_fn ? qrl::call_kw(sign_fn.get(), {call[0], d.get(), call[2]}, constants.kw_header).release()
                   : nullptr;
}

// json.loads(_b64url_decode(segment))
Ref decode_json_segment(qrl::Call& call, PyObject* segment) {
    Ref json = global(call, names.json);
    Ref loads = json ? qrl::getattr(json.get(), names.loads) : Ref();
    Ref raw = loads ? call_global(call, names._b64url_decode, segment) : Ref();
    return raw ? qrl::call(loads.get(), raw.get()) : Ref();
}

// int(payload[name]) for a claim known to be present.
Ref claim_int(PyObject* payload, PyObject* name) {
    Ref value = qrl::steal(PyObject_GetItem(payload, name));
    return value ? qrl::steal(PyNumber_Long(value.get())) : Ref();
}

// The time claims, each widened by the leeway; -1 on error (raised).
int check_time_claims(qrl::Call& call, PyObject* payload, PyObject* leeway) {
    Ref time_module = global(call, names.time);
    Ref now = time_module ? qrl::call_method(time_module.get(), names.time_fn) : Ref();
    now = now ? qrl::steal(PyNumber_Long(now.get())) : Ref();
    if (!now) return -1;

    int present = PySequence_Contains(payload, names.exp);
    if (present < 0) return -1;
    if (present) {
        const int expired = qrl::cmp(now, qrl::add(claim_int(payload, names.exp), leeway), Py_GT);
        if (expired < 0) return -1;
        if (expired) return value_error("Token expired"), -1;
    }
    present = PySequence_Contains(payload, names.nbf);
    if (present < 0) return -1;
    if (present) {
        Ref latest = qrl::add(now, leeway);
        const int early = latest ? qrl::cmp(latest, claim_int(payload, names.nbf), Py_LT) : -1;
        if (early < 0) return -1;
        if (early) return value_error("Token not yet valid"), -1;
    }
    present = PySequence_Contains(payload, names.iat);
    if (present < 0) return -1;
    if (present) {
        Ref issued = claim_int(payload, names.iat);
        const int future = issued ? qrl::cmp(issued, qrl::add(now, leeway), Py_GT) : -1;
        if (future < 0) return -1;
        if (future) return value_error("Invalid iat"), -1;
    }
    return 0;
}

// Issuer and audience; -1 on error (raised).
int check_audience_claims(PyObject* payload, PyObject* expected_iss, PyObject* expected_aud) {
    if (expected_iss != Py_None) {
        Ref iss = qrl::call_method(payload, names.get, names.iss);
        const int differs = iss ? qrl::cmp(iss, expected_iss, Py_NE) : -1;
        if (differs < 0) return -1;
        if (differs) return value_error("Invalid issuer"), -1;
    }
    if (expected_aud != Py_None) {
        Ref aud = qrl::call_method(payload, names.get, names.aud);
        if (!aud) return -1;
        int accepted;
        if (PyUnicode_Check(aud.get())) {
            accepted = qrl::cmp(aud, expected_aud, Py_NE);
            accepted = accepted < 0 ? -1 : !accepted;
        } else if (PyList_Check(aud.get())) {
            accepted = PySequence_Contains(aud.get(), expected_aud);
        } else {
            accepted = 0;
        }
        if (accepted < 0) return -1;
        if (!accepted) return value_error("Invalid audience"), -1;
    }
    return 0;
}

PyObject* verify_jwt(qrl::Call& call) {
    PyObject* token = call[0];
    PyObject* public_key_xy = call[1];
    Ref parts = qrl::steal(PyUnicode_Split(token, names.dot, -1));
    if (!parts) return nullptr;
    Ref segments[3];
    if (!qrl::unpack(parts.get(), segments)) return nullptr;
    const Ref &header_b64 = segments[0], &payload_b64 = segments[1], &signature_b64 = segments[2];

    Ref header = decode_json_segment(call, header_b64.get());
    Ref payload = header ? decode_json_segment(call, payload_b64.get()) : Ref();
    Ref signature = payload ? call_global(call, names._b64url_decode, signature_b64.get()) : Ref();
    if (!signature) return nullptr;
    const Py_ssize_t signature_len = PyObject_Length(signature.get());
    if (signature_len < 0) return nullptr;
    if (signature_len != 64) {
        signature = call_global(call, names._der_ecdsa_signature_to_raw64, signature.get());
        if (!signature) return nullptr;
    }

    Ref alg = qrl::call_method(header.get(), names.get, names.alg);
    const int wrong_alg = alg ? qrl::cmp(alg, names.ES256, Py_NE) : -1;
    if (wrong_alg < 0) return nullptr;
    if (wrong_alg) return value_error("Unexpected alg");
    Ref typ = qrl::call_method(header.get(), names.get, names.typ);
    const int allowed = typ ? PySequence_Contains(constants.typ_allowed, typ.get()) : -1;
    if (allowed < 0) return nullptr;
    if (!allowed) return value_error("Unexpected typ");

    Ref joined = join_dot(header_b64.get(), payload_b64.get());
    Ref signing_input = joined ? qrl::call_method(joined.get(), names.encode, names.ascii) : Ref();
    Ref valid = signing_input ? call_global(call, names._verify_ecdsa_p256_sha256, signing_input.get(),
                                            signature.get(), public_key_xy)
                              : Ref();
    const int ok = qrl::truth(valid);
    if (ok < 0) return nullptr;
    if (!ok) return value_error("Invalid signature");

    if (check_time_claims(call, payload.get(), call[4]) < 0) return nullptr;
    if (check_audience_claims(payload.get(), call[2], call[3]) < 0) return nullptr;
    return payload.release();
}

}  // namespace

// ---------------------------------------------------------------------------
// P-256 arithmetic entries

namespace {

PyObject* is_on_curve(qrl::Call& call) {
    PyObject* point = call[0];
    if (PyTuple_CheckExact(point) && PyTuple_GET_SIZE(point) == 2 && curve_check_native(call)) {
        PyObject* px = PyTuple_GET_ITEM(point, 0);
        PyObject* py = PyTuple_GET_ITEM(point, 1);
        if (PyLong_CheckExact(px) && PyLong_CheckExact(py)) {
            // An exact int outside 0 .. 2^256-1 fails the range test, as below p does.
            p256::U256 x, y;
            return PyBool_FromLong(load_u256(px, x) && load_u256(py, y) && p256::on_curve(x, y));
        }
    }
    return is_on_curve_exact(call, point);
}

PyObject* point_add(qrl::Call& call) { return point_add_exact(call, call[0], call[1]); }

PyObject* scalar_mult(qrl::Call& call) {
    PyObject* k = call[0];
    if (_PyLong_Sign(k) < 0) return value_error("Scalar must not be negative");
    PyObject* point = call[1];
    p256::U256 x, y;
    if (load_curve_point(point, x, y) && scalar_mult_native(call)) return scalar_mult_on_curve(k, point, x, y);
    return scalar_mult_exact(call, k, point);
}

}  // namespace

// ---------------------------------------------------------------------------
// The module

namespace {

using qrl::Arg;
using qrl::Default;

const qrl::FunctionSpec kB64urlDecode{
    .name = "_b64url_decode",
    .doc = "Decode unpadded Base64url text to bytes.",
    .params = {{.name = "text", .kind = Arg::Str, .annotation = "str"}},
    .return_annotation = "bytes",
    .impl = b64url_decode,
};
const qrl::FunctionSpec kB64urlEncode{
    .name = "_b64url_encode",
    .doc = "Encode bytes as Base64url text without padding.",
    .params = {{.name = "data", .kind = Arg::Bytes, .annotation = "bytes"}},
    .return_annotation = "str",
    .impl = b64url_encode,
};
const qrl::FunctionSpec kModInv{
    .name = "_mod_inv",
    .doc = "Modular inverse: pow(value, -1, modulus).",
    .params = {{.name = "value", .kind = Arg::Int, .annotation = "int"},
               {.name = "modulus", .kind = Arg::Int, .annotation = "int"}},
    .return_annotation = "int",
    .impl = mod_inv,
};
const qrl::FunctionSpec kIsOnCurve{
    .name = "_is_on_curve",
    .doc = "Whether a point lies on P-256 (the point at infinity counts).",
    .params = {{.name = "point"}},
    .return_annotation = "bool",
    .impl = is_on_curve,
};
const qrl::FunctionSpec kPointAdd{
    .name = "_point_add",
    .doc = "Add two affine P-256 points.",
    .params = {{.name = "p1"}, {.name = "p2"}},
    .impl = point_add,
};
const qrl::FunctionSpec kScalarMult{
    .name = "_scalar_mult",
    .doc = "Multiply a P-256 point by a non-negative integer.",
    .params = {{.name = "k", .kind = Arg::Int, .annotation = "int"}, {.name = "point"}},
    .impl = scalar_mult,
};

const qrl::FunctionSpec kVerifyEcdsa{
    .name = "_verify_ecdsa_p256_sha256",
    .doc = "Verify a raw 64-byte ECDSA P-256 / SHA-256 signature of a message.",
    .params = {{.name = "message", .kind = Arg::Bytes, .annotation = "bytes"},
               {.name = "signature", .kind = Arg::Bytes, .annotation = "bytes"},
               {.name = "public_key_xy"}},
    .return_annotation = "bool",
    .impl = verify_ecdsa,
};
const qrl::FunctionSpec kDerSignatureToRaw64{
    .name = "_der_ecdsa_signature_to_raw64",
    .doc = "Convert a DER ECDSA signature to the raw 64-byte r||s form.",
    .params = {{.name = "signature", .kind = Arg::Bytes, .annotation = "bytes"}},
    .return_annotation = "bytes",
    .impl = der_signature_to_raw64,
};

const qrl::FunctionSpec kRfc6979{
    .name = "_rfc6979_k_p256_sha256",
    .doc = "The deterministic ECDSA nonce of RFC 6979 for P-256 with HMAC-SHA-256.",
    .params = {{.name = "private_key_d", .kind = Arg::Int, .annotation = "int"},
               {.name = "message_hash", .kind = Arg::Bytes, .annotation = "bytes"}},
    .return_annotation = "int",
    .impl = rfc6979_k,
};
const qrl::FunctionSpec kSignEcdsa{
    .name = "_sign_ecdsa_p256_sha256",
    .doc = "Sign a message with ECDSA P-256 / SHA-256: deterministic nonce, low-s, raw 64 bytes.",
    .params = {{.name = "message", .kind = Arg::Bytes, .annotation = "bytes"},
               {.name = "private_key_d", .kind = Arg::Int, .annotation = "int"},
               {.name = "deterministic", .kind = Arg::Bool, .annotation = "bool", .default_kind = Default::True}},
    .return_annotation = "bytes",
    .impl = sign_ecdsa,
};
const qrl::FunctionSpec kPublicKeyXy{
    .name = "public_key_xy_from_jwk",
    .doc = "The public point (x, y) of a P-256 JWK.",
    .params = {{.name = "jwk", .kind = Arg::Dict, .annotation = "dict"}},
    .return_annotation = "tuple[int, int]",
    .impl = public_key_xy_from_jwk,
};
const qrl::FunctionSpec kPrivateKeyD{
    .name = "private_key_d_from_jwk",
    .doc = "The private scalar d of a P-256 JWK.",
    .params = {{.name = "jwk", .kind = Arg::Dict, .annotation = "dict"}},
    .return_annotation = "int",
    .impl = private_key_d_from_jwk,
};
const qrl::FunctionSpec kIntToB64url32{
    .name = "_int_to_b64url_32",
    .doc = "A 256-bit integer as 32 big-endian bytes in Base64url.",
    .params = {{.name = "value", .kind = Arg::Int, .annotation = "int"}},
    .return_annotation = "str",
    .impl = int_to_b64url_32,
};
const qrl::FunctionSpec kGenerateKeypair{
    .name = "generate_es256_keypair",
    .doc = "A new random P-256 key pair as (d, (x, y)).",
    .return_annotation = "tuple[int, tuple[int, int]]",
    .impl = generate_keypair,
};
const qrl::FunctionSpec kGenerateKeypairJwk{
    .name = "generate_es256_keypair_jwk",
    .doc = "A new random P-256 key pair as (private JWK, public JWK).",
    .params = {{.name = "kid", .kind = Arg::StrOrNone, .annotation = "str | None", .default_kind = Default::None}},
    .return_annotation = "tuple[dict, dict]",
    .impl = generate_keypair_jwk,
};
const qrl::FunctionSpec kSignJwt{
    .name = "sign_es256_jwt",
    .doc = "Sign claims as a compact ES256 JSON Web Token.",
    .params = {{.name = "payload", .kind = Arg::Dict, .annotation = "dict"},
               {.name = "private_key_d", .kind = Arg::Int, .annotation = "int"},
               {.name = "header", .kind = Arg::DictOrNone, .annotation = "dict | None", .default_kind = Default::None}},
    .return_annotation = "str",
    .impl = sign_jwt,
};
const qrl::FunctionSpec kSignJwtWithJwk{
    .name = "sign_es256_jwt_with_jwk",
    .doc = "Sign claims as a compact ES256 JSON Web Token with a private JWK.",
    .params = {{.name = "payload", .kind = Arg::Dict, .annotation = "dict"},
               {.name = "jwk", .kind = Arg::Dict, .annotation = "dict"},
               {.name = "header", .kind = Arg::DictOrNone, .annotation = "dict | None", .default_kind = Default::None}},
    .return_annotation = "str",
    .impl = sign_jwt_with_jwk,
};
const qrl::FunctionSpec kVerifyJwt{
    .name = "verify_es256_jwt",
    .doc = "Verify a compact ES256 JSON Web Token and return its claims.",
    .params = {{.name = "token", .kind = Arg::Str, .annotation = "str"},
               {.name = "public_key_xy"},
               {.name = "expected_iss", .default_kind = Default::None},
               {.name = "expected_aud", .default_kind = Default::None},
               {.name = "leeway_seconds", .kind = Arg::Int, .annotation = "int", .default_kind = Default::Int,
                .default_int = 30}},
    .return_annotation = "dict",
    .impl = verify_jwt,
};

const qrl::FunctionSpec* const kFunctions[] = {
    &kB64urlDecode,    &kB64urlEncode,  &kModInv,          &kIsOnCurve,        &kPointAdd,
    &kScalarMult,      &kVerifyEcdsa,   &kDerSignatureToRaw64, &kRfc6979,      &kSignEcdsa,
    &kPublicKeyXy,     &kPrivateKeyD,   &kIntToB64url32,   &kGenerateKeypair,  &kGenerateKeypairJwk,
    &kSignJwt,         &kSignJwtWithJwk, &kVerifyJwt,
};

Ref int_from_hex(const char* hex) { return qrl::steal(PyLong_FromString(hex, nullptr, 16)); }

bool bind_constants(PyObject* module) {
    Ref p = int_from_hex("FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF");
    Ref three = qrl::small_int(3);
    Ref a = qrl::sub(p, three);
    return qrl::bind(module, "_P256_P", p) && qrl::bind(module, "_P256_A", a) &&
           qrl::bind(module, "_P256_B", int_from_hex("5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B")) &&
           qrl::bind(module, "_P256_N", int_from_hex("FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551")) &&
           qrl::bind(module, "_P256_GX", int_from_hex("6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296")) &&
           qrl::bind(module, "_P256_GY", int_from_hex("4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5")) &&
           qrl::bind(module, "_INF", qrl::steal(PyTuple_Pack(2, Py_None, Py_None)));
}

bool init_constants() {
    constants.pad_byte_00 = qrl::bytes_from(std::string_view("\x00", 1)).release();
    constants.pad_byte_01 = qrl::bytes_from(std::string_view("\x01", 1)).release();
    constants.equals_byte = qrl::bytes_from(std::string_view("=")).release();
    constants.typ_allowed = PyTuple_Pack(2, Py_None, names.JWT);
    constants.separators = Py_BuildValue("(ss)", ",", ":");
    constants.kw_separators_sort_keys = Py_BuildValue("(ss)", "separators", "sort_keys");
    constants.kw_deterministic = Py_BuildValue("(s)", "deterministic");
    constants.kw_header = Py_BuildValue("(s)", "header");
    return !PyErr_Occurred();
}

// Remembers what the module bound at import, for the fast paths' checks.
// The references are kept for the life of the process, so that an original
// replaced in the module dict can never be freed and its address reused.
bool remember_originals(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
#define REMEMBER(id) originals.id = Py_XNewRef(PyDict_GetItemWithError(dict, names.id));
    JWT_GLOBAL_NAMES(REMEMBER)
#undef REMEMBER
    return !PyErr_Occurred();
}

// Borrowed-then-kept attribute of a module, or null when it has none.
PyObject* keep_attr(PyObject* module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module, name);
    if (!value) PyErr_Clear();
    return value;
}

bool remember_stdlib() {
    stdlib.hmac_new = keep_attr(originals.hmac, names.hmac_new);
    stdlib.hmac_class = keep_attr(originals.hmac, names.HMAC);
    stdlib.hashopenssl = keep_attr(originals.hmac, names._hashopenssl);
    stdlib.hmac_functype = keep_attr(originals.hmac, names._functype);
    const auto methods = hmac_method_names();
    for (size_t i = 0; i < methods.size(); ++i)
        stdlib.hmac_methods[i] = stdlib.hmac_class ? keep_attr(stdlib.hmac_class, methods[i]) : nullptr;
    stdlib.sha256 = keep_attr(originals.hashlib, names.sha256);
    if (stdlib.hashopenssl && stdlib.hashopenssl != Py_None && stdlib.sha256)
        stdlib.openssl_hmac_new = keep_attr(stdlib.hashopenssl, names.hmac_new_fn);
    stdlib.json_dumps = keep_attr(originals.json, names.dumps);
    stdlib.json_encoder_class = keep_attr(originals.json, names.JSONEncoder);
    if (stdlib.json_encoder_class) {
        stdlib.json_encoder_init = keep_attr(stdlib.json_encoder_class, names.dunder_init);
        stdlib.canonical_encoder = qrl::call_kw(stdlib.json_encoder_class, {constants.separators, Py_True},
                                                constants.kw_separators_sort_keys)
                                       .release();
        if (!stdlib.canonical_encoder) PyErr_Clear();
    }
    return true;
}

// A library whose engine was compiled for BMI2 and ADX would stop with an
// illegal instruction on a CPU without them; say so at import instead.
bool engine_runs_on_this_cpu() {
#if QRL_ENGINE_ADX
    if (!__builtin_cpu_supports("bmi2") || !__builtin_cpu_supports("adx")) {
        PyErr_SetString(PyExc_ImportError,
                        "quarlopro was built for CPUs with the BMI2 and ADX instructions, which this CPU "
                        "lacks; reinstall it on this machine");
        return false;
    }
#endif
    return true;
}

int exec_jwt_es256(PyObject* module) {
    if (!engine_runs_on_this_cpu()) return -1;
    if (!qrl::require_runtime() || !init_names() || !init_constants()) return -1;
    for (const char* std_module : {"base64", "hmac", "hashlib", "json", "secrets", "time"}) {
        if (!qrl::import_into(module, std_module)) return -1;
    }
    if (!bind_constants(module)) return -1;
    p256::init_tables();  // the base point tables, built once, read-only afterwards
    for (const qrl::FunctionSpec* spec : kFunctions) {
        if (!qrl::add_function(module, *spec)) return -1;
    }
    return remember_originals(module) && remember_stdlib() ? 0 : -1;
}

qrl::ModuleDefinition definition("quarlopro.jwt_es256", "jwt_es256",
                                 "ES256 signatures and compact JSON Web Tokens on P-256.", exec_jwt_es256);

}  // namespace

PyMODINIT_FUNC PyInit_jwt_es256(void) { return qrl::module_init<definition>(); }
