// The state of quarlopro.decodekey, and how its functions reach each other.
//
// The module behaves as its Python source would: every function resolves the
// constants (OID_EC_PUBLIC_KEY, CURVES, CURVES_BY_NAME), its sibling helpers
// and the standard modules (base64, re) through the module's globals when it
// runs. A sibling that is still the function bound at import, given
// arguments of its declared types, runs natively without a Python call;
// anything else is called as the Python object the global now holds.
#pragma once

#include "qrl.h"

namespace decodekey {

using qrl::Held;
using qrl::name;
using qrl::Ref;

struct Names {
    // Module globals.
    Held base64 = name("base64"), re = name("re"), OID_EC_PUBLIC_KEY = name("OID_EC_PUBLIC_KEY"),
         CURVES = name("CURVES"), CURVES_BY_NAME = name("CURVES_BY_NAME");
    // Attributes, methods and JWK members.
    Held search = name("search"), sub = name("sub"), S = name("S"), group = name("group"), rjust = name("rjust"),
         decode = name("decode");
    Held kty = name("kty"), crv = name("crv"), x = name("x"), y = name("y"), d = name("d"), kid = name("kid"),
         EC = name("EC");
};

// Immutable objects made once.
struct Constants {
    Held zero, one, two;               // 0, 1, 2
    Held byte_00, byte_01, byte_04;    // b"\x00", b"\x01", b"\x04"
    Held empty, newline, ascii;        // "", "\n", "ascii"
    Held whitespace;                   // the pattern \s+
    Held public_block, private_block;  // the block patterns of the PEM readers
    Held markers[3][2];                // BEGIN and END lines: PUBLIC KEY, PRIVATE KEY, EC PRIVATE KEY
    Held public_label, private_label;  // "PUBLIC KEY", "PRIVATE KEY"
    Held begin, dashes_newline, end;   // "-----BEGIN ", "-----\n", "\n-----END "
    Held kw_flags, kw_kid, kw_curve_name_kid;
};

struct State {
    Names names;
    Constants constants;
    qrl::Originals originals;
    qrl::Base64Calls base64;
};

inline const State& state(qrl::Call& call) { return call.state<State>(); }

inline Ref global(qrl::Call& call, PyObject* name) { return qrl::global(call.globals(), name); }

// A sibling helper that runs natively while its global is still the
// function the module bound at import.
struct Sibling {
    const char* name;
    qrl::Route route;
};

inline constexpr Sibling kB64u{"_b64u", {"_b64u"}};
inline constexpr Sibling kB64uDecode{"_b64u_decode", {"_b64u_decode"}};
inline constexpr Sibling kReadTlv{"_read_tlv", {"_read_tlv"}};
inline constexpr Sibling kPemPrivateKeyToDer{"pem_private_key_to_der", {"pem_private_key_to_der"}};
inline constexpr Sibling kCurveNameFromOid{"_curve_name_from_oid", {"_curve_name_from_oid"}};
inline constexpr Sibling kCurveSizeFromName{"_curve_size_from_name", {"_curve_size_from_name"}};
inline constexpr Sibling kSec1ToJwk{"_der_ec_private_key_to_jwk_sec1", {"_der_ec_private_key_to_jwk_sec1"}};
inline constexpr Sibling kDerEcPrivateKeyToJwk{"der_ec_private_key_to_jwk", {"der_ec_private_key_to_jwk"}};
inline constexpr Sibling kDerLen{"_der_len", {"_der_len"}};
inline constexpr Sibling kDerTlv{"_der_tlv", {"_der_tlv"}};
inline constexpr Sibling kPemArmor{"_pem_armor", {"_pem_armor"}};
inline constexpr Sibling kJwkPublicKeyToPem{"jwk_public_key_to_pem", {"jwk_public_key_to_pem"}};
inline constexpr Sibling kJwkPrivateKeyToPem{"jwk_private_key_to_pem", {"jwk_private_key_to_pem"}};

inline constexpr const Sibling* kSiblings[] = {
    &kB64u,     &kB64uDecode, &kReadTlv,  &kPemPrivateKeyToDer, &kCurveNameFromOid,  &kCurveSizeFromName, &kSec1ToJwk,
    &kDerEcPrivateKeyToJwk, &kDerLen, &kDerTlv, &kPemArmor, &kJwkPublicKeyToPem, &kJwkPrivateKeyToPem,
};

inline bool untouched(qrl::Call& call, const Sibling& sibling) {
    return state(call).originals.unchanged(call.globals(), sibling.route);
}

// Calls whatever the sibling's global now holds.
template <typename... Args>
Ref call_sibling(qrl::Call& call, const Sibling& sibling, Args... args) {
    Ref fn = global(call, qrl::name(sibling.name));
    return fn ? qrl::call(fn.get(), args...) : Ref();
}

// ValueError(message) when a check failed (1); the error raised while
// checking stays (-1). Always null.
inline Ref reject(int failed, const char* message) { return failed > 0 ? qrl::value_error(message) : Ref(); }

// `not truth` for a C truth value, keeping -1 for an error.
inline int negate(int truth) { return truth < 0 ? -1 : !truth; }

}  // namespace decodekey
