// The state of quarlopro.jwt_es256: everything the module makes at import
// and its functions read afterwards (never write).
#pragma once

#include "qrl.h"

namespace jwt {

using qrl::Held;
using qrl::name;
using qrl::Ref;

// Interned names: module globals, attributes, dict keys and texts.
struct Names {
    // Module globals.
    Held base64 = name("base64"), hmac = name("hmac"), hashlib = name("hashlib"), json = name("json"),
         secrets = name("secrets"), time = name("time");
    Held _P256_P = name("_P256_P"), _P256_A = name("_P256_A"), _P256_B = name("_P256_B"), _P256_N = name("_P256_N"),
         _P256_GX = name("_P256_GX"), _P256_GY = name("_P256_GY"), _INF = name("_INF");
    Held _b64url_decode = name("_b64url_decode"), _b64url_encode = name("_b64url_encode"), _mod_inv = name("_mod_inv"),
         _is_on_curve = name("_is_on_curve"), _point_add = name("_point_add"), _scalar_mult = name("_scalar_mult"),
         _verify_ecdsa_p256_sha256 = name("_verify_ecdsa_p256_sha256"),
         _der_ecdsa_signature_to_raw64 = name("_der_ecdsa_signature_to_raw64"),
         _rfc6979_k_p256_sha256 = name("_rfc6979_k_p256_sha256"),
         _sign_ecdsa_p256_sha256 = name("_sign_ecdsa_p256_sha256"),
         private_key_d_from_jwk = name("private_key_d_from_jwk"), _int_to_b64url_32 = name("_int_to_b64url_32"),
         generate_es256_keypair = name("generate_es256_keypair"), sign_es256_jwt = name("sign_es256_jwt");
    // Attributes and methods.
    Held sha256 = name("sha256"), digest = name("digest"), new_ = name("new"), dumps = name("dumps"),
         loads = name("loads"), randbelow = name("randbelow"), encode = name("encode"), get = name("get");
    // Dict keys and texts.
    Held kty = name("kty"), crv = name("crv"), x = name("x"), y = name("y"), d = name("d"), kid = name("kid"),
         alg = name("alg"), typ = name("typ"), exp = name("exp"), nbf = name("nbf"), iat = name("iat"),
         iss = name("iss"), aud = name("aud");
    Held EC = name("EC"), P_256 = name("P-256"), ES256 = name("ES256"), JWT = name("JWT"), dot = name("."),
         ascii = name("ascii"), utf_8 = name("utf-8");
};

// Other immutable objects made once.
struct Constants {
    Held zero, one, two, three, minus_one;
    Held empty_text;               // ""
    Held byte_00, byte_01;         // b"\x00", b"\x01"
    Held typ_allowed;              // (None, "JWT")
    Held separators;               // (",", ":")
    Held kw_separators_sort_keys;  // ("separators", "sort_keys")
    Held kw_deterministic;         // ("deterministic",)
    Held kw_header;                // ("header",)
};

struct State {
    Names names;
    Constants constants;
    // The objects the module bound at import, and those of the standard
    // library its shortcuts rely on (see the routes beside each shortcut).
    qrl::Originals originals;
    qrl::Base64Calls base64;
    Held inf;                // _INF as bound at import
    Held n;                  // _P256_N as bound at import
    Held canonical_encoder;  // json.JSONEncoder(separators=(",", ":"), sort_keys=True), or null
    Held c_encoder_args;     // (default, encode_basestring_ascii, None, ":", ",", True, skipkeys, allow_nan), or null
    Held default_header_b64; // the first segment of a token with the default header, or null
};

inline const State& state(qrl::Call& call) { return call.state<State>(); }

// A module global, looked up at call time.
inline Ref global(qrl::Call& call, PyObject* name) { return qrl::global(call.globals(), name); }

// `name(args...)` for a module global.
template <typename... Args>
Ref call_global(qrl::Call& call, PyObject* name, Args... args) {
    return qrl::call_global(call.globals(), name, args...);
}

// Whether everything on `route` is as the module found it at import.
inline bool unchanged(qrl::Call& call, const qrl::Route& route) {
    return state(call).originals.unchanged(call.globals(), route);
}
inline bool unchanged(qrl::Call& call, std::initializer_list<const qrl::Route*> routes) {
    return state(call).originals.unchanged(call.globals(), routes);
}

}  // namespace jwt
