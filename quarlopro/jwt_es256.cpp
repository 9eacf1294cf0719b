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
    X(utf_8, "utf-8") X(equals, "=")

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

[[maybe_unused]] bool is_original(qrl::Call& call, PyObject* name, PyObject* original) {
    return qrl::global_is(call.globals(), name, original);
}

// Raises ValueError(message) and returns nullptr.
std::nullptr_t value_error(const char* message) { return qrl::raise(PyExc_ValueError, message); }

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
[[maybe_unused]] Ref sha256_digest(qrl::Call& call, PyObject* data) {
    Ref hasher = call_std(call, names.hashlib, names.sha256, data);
    if (!hasher) return {};
    return qrl::call_method(hasher.get(), names.digest);
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
    return call_std(call, names.base64, names.urlsafe_b64decode, padded.get()).release();
}

// base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")
PyObject* b64url_encode(qrl::Call& call) {
    Ref encoded = call_std(call, names.base64, names.urlsafe_b64encode, call[0]);
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
// P-256 arithmetic entries

namespace {

PyObject* is_on_curve(qrl::Call& call) { return is_on_curve_exact(call, call[0]); }

PyObject* point_add(qrl::Call& call) { return point_add_exact(call, call[0], call[1]); }

PyObject* scalar_mult(qrl::Call& call) {
    PyObject* k = call[0];
    if (_PyLong_Sign(k) < 0) return value_error("Scalar must not be negative");
    return scalar_mult_exact(call, k, call[1]);
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

const qrl::FunctionSpec* const kFunctions[] = {
    &kB64urlDecode, &kB64urlEncode, &kModInv, &kIsOnCurve, &kPointAdd, &kScalarMult,
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
bool remember_originals(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
#define REMEMBER(id) originals.id = PyDict_GetItemWithError(dict, names.id);
    JWT_GLOBAL_NAMES(REMEMBER)
#undef REMEMBER
    return !PyErr_Occurred();
}

int exec_jwt_es256(PyObject* module) {
    if (!qrl::require_runtime() || !init_names() || !init_constants()) return -1;
    for (const char* std_module : {"base64", "hmac", "hashlib", "json", "secrets", "time"}) {
        if (!qrl::import_into(module, std_module)) return -1;
    }
    if (!bind_constants(module)) return -1;
    for (const qrl::FunctionSpec* spec : kFunctions) {
        if (!qrl::add_function(module, *spec)) return -1;
    }
    return remember_originals(module) ? 0 : -1;
}

qrl::ModuleDefinition definition("quarlopro.jwt_es256", "jwt_es256",
                                 "ES256 signatures and compact JSON Web Tokens on P-256.", exec_jwt_es256);

}  // namespace

PyMODINIT_FUNC PyInit_jwt_es256(void) { return definition.init(); }
