// quarlopro.jwt_es256: ES256 (ECDSA over P-256 with SHA-256) and compact JSON
// Web Tokens on Python ints, with no cryptographic library.
//
// Every function reads the module's constants, sibling helpers and standard
// modules through the module's globals at call time. The exact path is the
// algorithm as written, on Python objects (exact.cpp). Where the globals a
// computation would read are still the module's originals (the routes beside
// each shortcut) and the inputs lie where the native P-256 engine provably
// gives the same result (exact ints in range, points on the curve), the
// engine computes it instead, with the GIL released. Anything else takes the
// exact path.
//
// This file holds the module table and what the module makes at import.
#include "bridge.h"
#include "exact.h"
#include "keys.h"
#include "sign.h"
#include "stdlib.h"
#include "token.h"
#include "verify.h"

namespace jwt {

namespace {

using qrl::Arg;
using qrl::Default;

// base64.urlsafe_b64decode(text + "=" * ((-len(text)) % 4))
PyObject* b64url_decode(qrl::Call& call, PyObject* text) {
    const State& s = state(call);
    return s.base64.urlsafe_decode_unpadded(s.originals, call.globals(), text).release();
}

// base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")
PyObject* b64url_encode(qrl::Call& call, PyObject* data) {
    const State& s = state(call);
    return s.base64.urlsafe_encode_unpadded(s.originals, call.globals(), data).release();
}

const qrl::FunctionSpec kB64urlDecode{
    .name = "_b64url_decode",
    .doc = "Decode unpadded Base64url text to bytes.",
    .params = {{.name = "text", .kind = Arg::Str, .annotation = "str"}},
    .return_annotation = "bytes",
    .impl = qrl::impl<b64url_decode>,
};
const qrl::FunctionSpec kB64urlEncode{
    .name = "_b64url_encode",
    .doc = "Encode bytes as Base64url text without padding.",
    .params = {{.name = "data", .kind = Arg::Bytes, .annotation = "bytes"}},
    .return_annotation = "str",
    .impl = qrl::impl<b64url_encode>,
};
const qrl::FunctionSpec kModInv{
    .name = "_mod_inv",
    .doc = "Modular inverse: pow(value, -1, modulus).",
    .params = {{.name = "value", .kind = Arg::Int, .annotation = "int"},
               {.name = "modulus", .kind = Arg::Int, .annotation = "int"}},
    .return_annotation = "int",
    .impl = qrl::impl<mod_inv>,
};
const qrl::FunctionSpec kIsOnCurve{
    .name = "_is_on_curve",
    .doc = "Whether a point lies on P-256 (the point at infinity counts).",
    .params = {{.name = "point"}},
    .return_annotation = "bool",
    .impl = qrl::impl<is_on_curve>,
};
const qrl::FunctionSpec kPointAdd{
    .name = "_point_add",
    .doc = "Add two affine P-256 points.",
    .params = {{.name = "p1"}, {.name = "p2"}},
    .impl = qrl::impl<point_add>,
};
const qrl::FunctionSpec kScalarMult{
    .name = "_scalar_mult",
    .doc = "Multiply a P-256 point by a non-negative integer.",
    .params = {{.name = "k", .kind = Arg::Int, .annotation = "int"}, {.name = "point"}},
    .impl = qrl::impl<scalar_mult>,
};
const qrl::FunctionSpec kVerifyEcdsa{
    .name = "_verify_ecdsa_p256_sha256",
    .doc = "Verify a raw 64-byte ECDSA P-256 / SHA-256 signature of a message.",
    .params = {{.name = "message", .kind = Arg::Bytes, .annotation = "bytes"},
               {.name = "signature", .kind = Arg::Bytes, .annotation = "bytes"},
               {.name = "public_key_xy"}},
    .return_annotation = "bool",
    .impl = qrl::impl<verify_ecdsa>,
};
const qrl::FunctionSpec kDerSignatureToRaw64{
    .name = "_der_ecdsa_signature_to_raw64",
    .doc = "Convert a DER ECDSA signature to the raw 64-byte r||s form.",
    .params = {{.name = "signature", .kind = Arg::Bytes, .annotation = "bytes"}},
    .return_annotation = "bytes",
    .impl = qrl::impl<der_signature_to_raw64>,
};
const qrl::FunctionSpec kRfc6979{
    .name = "_rfc6979_k_p256_sha256",
    .doc = "The deterministic ECDSA nonce of RFC 6979 for P-256 with HMAC-SHA-256.",
    .params = {{.name = "private_key_d", .kind = Arg::Int, .annotation = "int"},
               {.name = "message_hash", .kind = Arg::Bytes, .annotation = "bytes"}},
    .return_annotation = "int",
    .impl = qrl::impl<rfc6979_k>,
};
const qrl::FunctionSpec kSignEcdsa{
    .name = "_sign_ecdsa_p256_sha256",
    .doc = "Sign a message with ECDSA P-256 / SHA-256: deterministic nonce, low-s, raw 64 bytes.",
    .params = {{.name = "message", .kind = Arg::Bytes, .annotation = "bytes"},
               {.name = "private_key_d", .kind = Arg::Int, .annotation = "int"},
               {.name = "deterministic", .kind = Arg::Bool, .annotation = "bool", .default_kind = Default::True}},
    .return_annotation = "bytes",
    .impl = qrl::impl<sign_ecdsa>,
};
const qrl::FunctionSpec kPublicKeyXy{
    .name = "public_key_xy_from_jwk",
    .doc = "The public point (x, y) of a P-256 JWK.",
    .params = {{.name = "jwk", .kind = Arg::Dict, .annotation = "dict"}},
    .return_annotation = "tuple[int, int]",
    .impl = qrl::impl<public_key_xy_from_jwk>,
};
const qrl::FunctionSpec kPrivateKeyD{
    .name = "private_key_d_from_jwk",
    .doc = "The private scalar d of a P-256 JWK.",
    .params = {{.name = "jwk", .kind = Arg::Dict, .annotation = "dict"}},
    .return_annotation = "int",
    .impl = qrl::impl<private_key_d_from_jwk>,
};
const qrl::FunctionSpec kIntToB64url32{
    .name = "_int_to_b64url_32",
    .doc = "A 256-bit integer as 32 big-endian bytes in Base64url.",
    .params = {{.name = "value", .kind = Arg::Int, .annotation = "int"}},
    .return_annotation = "str",
    .impl = qrl::impl<int_to_b64url_32>,
};
const qrl::FunctionSpec kGenerateKeypair{
    .name = "generate_es256_keypair",
    .doc = "A new random P-256 key pair as (d, (x, y)).",
    .return_annotation = "tuple[int, tuple[int, int]]",
    .impl = qrl::impl<generate_keypair>,
};
const qrl::FunctionSpec kGenerateKeypairJwk{
    .name = "generate_es256_keypair_jwk",
    .doc = "A new random P-256 key pair as (private JWK, public JWK).",
    .params = {{.name = "kid", .kind = Arg::StrOrNone, .annotation = "str | None", .default_kind = Default::None}},
    .return_annotation = "tuple[dict, dict]",
    .impl = qrl::impl<generate_keypair_jwk>,
};
const qrl::FunctionSpec kSignJwt{
    .name = "sign_es256_jwt",
    .doc = "Sign claims as a compact ES256 JSON Web Token.",
    .params = {{.name = "payload", .kind = Arg::Dict, .annotation = "dict"},
               {.name = "private_key_d", .kind = Arg::Int, .annotation = "int"},
               {.name = "header", .kind = Arg::DictOrNone, .annotation = "dict | None", .default_kind = Default::None}},
    .return_annotation = "str",
    .impl = qrl::impl<sign_jwt>,
};
const qrl::FunctionSpec kSignJwtWithJwk{
    .name = "sign_es256_jwt_with_jwk",
    .doc = "Sign claims as a compact ES256 JSON Web Token with a private JWK.",
    .params = {{.name = "payload", .kind = Arg::Dict, .annotation = "dict"},
               {.name = "jwk", .kind = Arg::Dict, .annotation = "dict"},
               {.name = "header", .kind = Arg::DictOrNone, .annotation = "dict | None", .default_kind = Default::None}},
    .return_annotation = "str",
    .impl = qrl::impl<sign_jwt_with_jwk>,
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
    .impl = qrl::impl<verify_jwt>,
};

// In the order the module defines them.
const qrl::FunctionSpec* const kFunctions[] = {
    &kB64urlDecode, &kB64urlEncode,   &kModInv,         &kIsOnCurve,          &kPointAdd,
    &kScalarMult,   &kVerifyEcdsa,    &kDerSignatureToRaw64, &kRfc6979,       &kSignEcdsa,
    &kPublicKeyXy,  &kPrivateKeyD,    &kIntToB64url32,  &kGenerateKeypair,    &kGenerateKeypairJwk,
    &kSignJwt,      &kSignJwtWithJwk, &kVerifyJwt,
};

bool make_constants(Constants& c, const Names& n) {
    c.zero = qrl::int_from(0);
    c.one = qrl::int_from(1);
    c.two = qrl::int_from(2);
    c.three = qrl::int_from(3);
    c.minus_one = qrl::int_from(-1);
    c.empty_text = qrl::steal(PyUnicode_FromString(""));
    c.byte_00 = qrl::bytes_from(std::string_view("\x00", 1));
    c.byte_01 = qrl::bytes_from(std::string_view("\x01", 1));
    c.typ_allowed = qrl::steal(PyTuple_Pack(2, Py_None, n.JWT.get()));
    c.separators = qrl::steal(Py_BuildValue("(ss)", ",", ":"));
    c.kw_separators_sort_keys = qrl::steal(Py_BuildValue("(ss)", "separators", "sort_keys"));
    c.kw_deterministic = qrl::steal(Py_BuildValue("(s)", "deterministic"));
    c.kw_header = qrl::steal(Py_BuildValue("(s)", "header"));
    return !PyErr_Occurred();
}

// The curve constants, in the order the module binds them; a = p - 3 is
// computed at load.
bool bind_constants(PyObject* module, State& s) {
    Ref p = int_from_u256(p256::kP);
    s.n = int_from_u256(p256::kN);
    s.inf = qrl::steal(PyTuple_Pack(2, Py_None, Py_None));
    return qrl::bind(module, "_P256_P", p) && qrl::bind(module, "_P256_A", qrl::sub(p, s.constants.three)) &&
           qrl::bind(module, "_P256_B", int_from_u256(p256::kB)) && qrl::bind(module, "_P256_N", qrl::borrow(s.n)) &&
           qrl::bind(module, "_P256_GX", int_from_u256(p256::kGx)) &&
           qrl::bind(module, "_P256_GY", int_from_u256(p256::kGy)) && qrl::bind(module, "_INF", qrl::borrow(s.inf));
}

// A library built to force the engine's BMI2/ADX assembly (QRL_ENGINE_ADX=ON)
// cannot run on a CPU without those instructions: refuse the import with a
// clear message instead of stopping on an illegal instruction.
bool engine_runs_on_this_cpu() {
    if (p256::cpu_supported()) return true;
    PyErr_SetString(PyExc_ImportError,
                    "quarlopro was built for CPUs with the BMI2 and ADX instructions only (QRL_ENGINE_ADX=ON), "
                    "which this CPU lacks; install a build made with the default QRL_ENGINE_ADX=AUTO");
    return false;
}

bool exec_jwt_es256(PyObject* module, State& s) {
    if (!engine_runs_on_this_cpu()) return false;
    if (PyErr_Occurred() || !qrl::require_runtime() || !make_constants(s.constants, s.names)) return false;
    for (const char* std_module : {"base64", "hmac", "hashlib", "json", "secrets", "time"}) {
        if (!qrl::import_into(module, std_module)) return false;
    }
    if (!bind_constants(module, s)) return false;
    p256::init_tables();  // the base point tables, built once, read-only afterwards
    // The engine variants chosen for this CPU, e.g. "bmi2-adx+sha-ni".
    if (!qrl::bind(module, "__engine__", qrl::steal(PyUnicode_FromString(p256::implementation())))) return false;
    if (!qrl::add_functions(module, kFunctions, &s)) return false;
    if (!s.originals.record(module, {&kCurveCheckRoute, &kScalarMultRoute, &kSignTailRoute, &kNonceBoundRoute,
                                     &kOwnNonceRoute, &kVerifyRoute, &kSha256Route, &kHmacRoute, &kCanonicalJsonRoute,
                                     &kB64urlEncodeRoute, &kOwnSignerRoute}) ||
        !s.base64.record(s.originals, module))
        return false;
    CanonicalJson json = make_canonical_json(s);
    s.canonical_encoder = json.encoder;
    s.c_encoder_args = json.c_encoder_args;
    s.default_header_b64 = default_header_segment(s, module);
    s.originals.seal(module);  // the module is complete
    return true;
}

qrl::Module<State> definition("quarlopro.jwt_es256", "jwt_es256", "ES256 signatures and compact JSON Web Tokens on P-256.",
                              exec_jwt_es256);

}  // namespace

}  // namespace jwt

PyMODINIT_FUNC PyInit_jwt_es256(void) { return qrl::module_init<jwt::definition>(); }
